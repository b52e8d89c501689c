// quilletclient against the real server: standalone (request and control
// ports), under a real inetd, and the ways an exchange fails.

#include <csignal>
#include <filesystem>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <thread>

#include "e2e.h"

namespace {

class Client : public NetTest {
protected:
    static ProcResult client(const std::vector<std::string> &args, std::string input = "")
    {
        std::vector<std::string> argv{QUILLET_CLIENT_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return Child(argv, with_input(std::move(input), 20s)).finish();
    }
    // Status 0 and `body`; or status `status`, `body` and one line on
    // standard error naming the program. An empty `body`: no output at all.
    static ::testing::AssertionResult gives(const ProcResult &r, const std::string &body,
                                            int status = 0)
    {
        const bool one_line =
            r.err.starts_with("quilletclient: ") && r.err.find('\n') == r.err.size() - 1;
        if (r.status == status && (body.empty() ? r.out.empty() : result_of(r.out) == body) &&
            (status == 0 ? r.err.empty() : one_line))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << ::testing::PrintToString(r);
    }
    static std::string at(int p) { return "127.0.0.1:" + std::to_string(p); }
};

TEST_F(Client, RequestAndControlPorts)
{
    ASSERT_TRUE(start());
    const std::string req = work.file("req.xml"), good = work.file("good.xml"),
                      ctl = at(control_port);
    write_file(req, sql("SELECT sum(n) AS v FROM t"));
    write_file(good, config_doc(settings_with_ports("<Client Allow=\"no\">10.9.9.9</Client>")));
    // An error answer is printed, with status 2.
    const struct {
        std::vector<std::string> args;
        std::string input, body;
        int status;
    } cases[] = {
        {{at(port), req}, "", one_value("v", "6"), 0},
        {{"--timeout", "5", at(port), "-"}, sql("SELECT * FROM missing"),
         odbc_error_body("S1000", 1, "[SQLite]no such table: missing (1)"), 2},
        {{"--control", ctl, "--set-config", good}, "", "<Result Status=\"00000\">\n</Result>\n", 0},
        {{"--control", ctl, "--config"}, "",
         written_config(port, control_port, logdir.path(),
                        "    <Client Allow=\"No\">10.9.9.9</Client>\n"), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        EXPECT_TRUE(gives(client(c.args, c.input), c.body, c.status));
    }
}

// Failures of the exchange itself: status 1 and one line, no output, soon.
TEST_F(Client, ExchangeFailures)
{
    int silent_port = 0;  // accepts (in the kernel) but never answers
    const Fd silent = listen_on(&silent_port);
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{at(port)}, "cannot connect to 127.0.0.1:"},
        {{"--timeout", "0.5", at(silent_port)}, "timed out"},
    };
    for (const auto &[args, says] : cases) {
        SCOPED_TRACE(says);
        const auto t0 = std::chrono::steady_clock::now();
        const ProcResult r = client(args, sql("SELECT 1"));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
        EXPECT_TRUE(gives(r, "", 1));
        EXPECT_TRUE(holds(r.err, {says}));
    }
}

// A connection reset before any byte of an answer never reached a server
// (a burst overflowing the server's listen queue ends so): the client
// sends the request again, a few times at most.
TEST_F(Client, ResetBeforeAnyAnswerIsTriedAgain)
{
    for (const int resets : {2, 10}) {
        SCOPED_TRACE(std::to_string(resets) + " resets");
        int peer_port = 0;
        const Fd listener = listen_on(&peer_port);
        std::thread peer([&] {
            for (int n = 0;; n++) {
                pollfd p{listener.get(), POLLIN, 0};
                if (poll(&p, 1, 1500) <= 0) return;
                Fd c(accept(listener.get(), nullptr, nullptr));
                // Closing with the request unread makes the kernel reset.
                pollfd r{c.get(), POLLIN, 0};
                poll(&r, 1, 3000);
                if (n < resets) continue;
                read_until_eof(c.get());
                send_all(c.get(), EMPTY_RESULT);
                return;
            }
        });
        const ProcResult r = client({at(peer_port)}, sql("SELECT 1"));
        peer.join();
        if (resets == 2)
            EXPECT_EQ(r, (ProcResult{0, false, EMPTY_RESULT, ""}));
        else
            EXPECT_TRUE(gives(r, "", 1) && holds(r.err, {"Connection reset by peer"}));
    }
}

// The deployment inetd users have: one server process per connection,
// several requests on it, and the control port as "inetd x".
TEST_F(Client, RealInetd)
{
    const std::string inetd = "/usr/sbin/inetd";
    ASSERT_TRUE(std::filesystem::exists(inetd)) << "install the Debian package openbsd-inetd";
    const passwd *user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    const std::string conf = work.file("inetd.conf"), service = " stream tcp4 nowait " +
        std::string(user->pw_name) + " " + QUILLET_BINARY + " quilletserver inetd";
    write_file(conf, at(port) + service + "\n" + at(control_port) + service + " x\n");
    // -d keeps it in the foreground; -E passes our environment on to the
    // server (the sanitizer options among it).
    Child super({inetd, "-d", "-E", conf}, with_input("", 30s));
    ASSERT_TRUE(eventually([&] { return listening(port) && listening(control_port); }, NET_LIMIT));
    const ProcResult r = client({"--control", at(control_port), "--config"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(holds(r.out, {"<LogDir>" + logdir.path() + "</LogDir>"}));
    Fd conn = connect_port(port);
    EXPECT_TRUE(answers(conn.get(), 3));
    EXPECT_TRUE(answers(conn.get(), 4));
    shutdown(conn.get(), SHUT_WR);
    EXPECT_EQ(read_until_eof(conn.get()), "") << "the server did not end with the connection";
    kill(super.pid(), SIGTERM);
    EXPECT_FALSE(super.finish().timed_out);
}

}  // namespace
