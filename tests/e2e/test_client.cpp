// quilletclient against the real server and a real inetd, and failed exchanges.

#include <poll.h>
#include <pwd.h>

#include "e2e.h"

namespace {

class Client : public NetTest {
protected:
    // `status`, `body` (empty: no output) and, unless 0, one line naming the program.
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

// A request from a file or standard input; an error answer with status 2.
TEST_F(Client, RequestsAndFailedExchanges)
{
    ASSERT_TRUE(start());
    const std::string req = work.file("req.xml");
    write_file(req, sql("SELECT sum(n) AS v FROM t"));
    EXPECT_TRUE(gives(run_client({at(port), req}), one_value("v", "6")));
    EXPECT_TRUE(gives(run_client({"--timeout", "5", at(port), "-"}, sql("SELECT * FROM missing")),
                      odbc_error_body("S1000", 1, "[SQLite]no such table: missing (1)"), 2));

    // Failed exchanges end soon, with status 1 (the silent port never answers).
    int silent_port = 0, closed_port = 0;
    const Fd silent = listen_on(&silent_port);
    listen_on(&closed_port);
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{at(closed_port)}, "cannot connect to 127.0.0.1:"},
        {{"--timeout", "0.5", at(silent_port)}, "timed out"},
    };
    for (const auto &[args, says] : cases) {
        SCOPED_TRACE(says);
        const auto t0 = std::chrono::steady_clock::now();
        const ProcResult failed = run_client(args, sql("SELECT 1"));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
        EXPECT_TRUE(gives(failed, "", 1) && holds(failed.err, {says}));
    }
}

// A reset before any byte of an answer is tried again, a few times at most.
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
        const ProcResult r = run_client({at(peer_port)}, sql("SELECT 1"));
        peer.join();
        if (resets == 2)
            EXPECT_EQ(r, (ProcResult{0, false, EMPTY_RESULT, ""}));
        else
            EXPECT_TRUE(gives(r, "", 1) && holds(r.err, {"Connection reset by peer"}));
    }
}

// A real inetd, on the request port and on the control port as "inetd x".
TEST_F(Client, RealInetd)
{
    const std::string inetd = "/usr/sbin/inetd";
    ASSERT_TRUE(fs::exists(inetd)) << "install the Debian package openbsd-inetd";
    const std::string conf = work.file("inetd.conf"), service = " stream tcp4 nowait " +
        std::string(getpwuid(getuid())->pw_name) + " " + QUILLET_BINARY + " quilletserver inetd";
    write_file(conf, at(port) + service + "\n" + at(control_port) + service + " x\n");
    // -d: in the foreground; -E: our environment (sanitizer options) passed on.
    Child super({inetd, "-d", "-E", conf}, with_input("", 30s));
    ASSERT_TRUE(eventually([&] { return listening(port) && listening(control_port); }, NET_LIMIT));
    // Answered without a half-close; config.xml then holds the settings in force.
    Fd ctl = connect_port(control_port);
    ASSERT_TRUE(send_all(ctl.get(), "<Request><Configuration/></Request>"));
    const std::string written = body_of(read_until_eof(ctl.get()));
    EXPECT_TRUE(holds(written, {"<LogDir>" + logdir.path() + "</LogDir>"}));
    EXPECT_TRUE(eventually([&] { return body_of(read_file(CONFIG_XML)) == written; }, 2s));
    EXPECT_FALSE(fs::exists(INSTALL_DIR + "/tmp_config.xml"));
    // A configuration refused at its third value changes and saves nothing.
    Fd refused = connect_port(control_port);
    ASSERT_TRUE(send_all(refused.get(), config_doc("<Port>1</Port><ControlPort>2</ControlPort>"
                                               "<MaxClientConnect>x</MaxClientConnect>")));
    EXPECT_EQ(body_of(read_until_eof(refused.get())),
              error_body("xml2config: invalid value x for MaxClientConnect"));
    EXPECT_EQ(body_of(read_file(CONFIG_XML)), written);
    EXPECT_TRUE(serves(3));
    kill(super.pid(), SIGTERM);
    EXPECT_FALSE(super.finish().timed_out);
}

}  // namespace
