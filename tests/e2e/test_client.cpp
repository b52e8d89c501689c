// quilletclient against the real server: standalone (request and control
// ports), tcpip_listen, a real inetd, and the ways an exchange fails.

#include <filesystem>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>

#include "net_support.h"

namespace {

namespace fs = std::filesystem;

ProcResult client(const std::vector<std::string> &args, std::string input = "")
{
    std::vector<std::string> argv{QUILLET_CLIENT_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcOptions opts = with_input(std::move(input));
    opts.limit = 20s;
    Child c(argv, opts);
    return c.finish();
}

// One line on standard error, starting with the program's name.
::testing::AssertionResult one_line_error(const ProcResult &r)
{
    if (r.err.rfind("quilletclient: ", 0) == 0 && r.err.find('\n') == r.err.size() - 1)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "standard error: \"" << r.err << "\"";
}

class Client : public NetTest {
protected:
    std::string at(int p) const { return "127.0.0.1:" + std::to_string(p); }
};

TEST_F(Client, RequestsAgainstStandalone)
{
    ASSERT_TRUE(start());
    const std::string file = work.file("req.xml");
    write_file(file, sql("SELECT sum(n) AS v FROM t"));

    ProcResult r = client({at(port), file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result_of(r.out), one_value("v", "6"));
    EXPECT_EQ(r.err, "");

    r = client({"--timeout", "5", at(port)}, sql("SELECT max(n) AS v FROM t"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result_of(r.out), one_value("v", "3"));

    // An ODBC error and an unreadable request are error answers: printed, status 2.
    r = client({at(port), "-"}, sql("SELECT * FROM missing"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(result_of(r.out), odbc_error_body("S1000", 1, "[SQLite]no such table: missing (1)"));
    EXPECT_TRUE(one_line_error(r));
    r = client({at(port)}, "<Request><Sql></Request>");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("mismatched tag"), std::string::npos) << r.out;
    EXPECT_TRUE(one_line_error(r));
}

TEST_F(Client, ControlPort)
{
    ASSERT_TRUE(start());
    ProcResult r = client({"--control", at(control_port), "--config"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(body_of(r.out), written_config(port, control_port, logdir.path()));

    r = client({"--control", at(control_port), "--stats"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("<UpTime>"), std::string::npos) << r.out;

    const std::string file = work.file("config.xml");
    write_file(file, config_doc(settings_with_ports("<Client Allow=\"no\">10.9.9.9</Client>")));
    r = client({"--control", at(control_port), "--set-config", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(body_of(r.out), "<Result Status=\"00000\">\n</Result>\n");
    EXPECT_EQ(body_of(read_file(InstallDir::config_path())),
              written_config(port, control_port, logdir.path(),
                             "    <Client Allow=\"No\">10.9.9.9</Client>\n"));

    // A configuration the server refuses is an error answer.
    write_file(file, config_doc("<Port>many</Port>"));
    r = client({"--control", at(control_port), "--set-config", file});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("invalid value many for Port"), std::string::npos) << r.out;
}

TEST_F(Client, TcpipListenAndRealInetd)
{
    {
        Child server1(server_argv({"tcpip_listen", std::to_string(port)}), {});
        ASSERT_TRUE(eventually([&] { return listening(port); }, NET_LIMIT));
        const ProcResult r = client({at(port)}, sql("SELECT count(*) AS v FROM t"));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(result_of(r.out), one_value("v", "3"));
        EXPECT_EQ(server1.finish().status, 0);
    }
    const std::string inetd = "/usr/sbin/inetd";
    ASSERT_TRUE(fs::exists(inetd)) << "install the Debian package openbsd-inetd";
    const passwd *user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    const std::string conf = work.file("inetd.conf");
    write_file(conf, "127.0.0.1:" + std::to_string(port) + " stream tcp4 nowait " +
                         user->pw_name + " " + QUILLET_BINARY + " quilletserver inetd\n" +
                     "127.0.0.1:" + std::to_string(control_port) + " stream tcp4 nowait " +
                         user->pw_name + " " + QUILLET_BINARY + " quilletserver inetd x\n");
    ProcOptions opts;
    opts.limit = 30s;
    // -d keeps it in the foreground; -E passes our environment on to the
    // server (the sanitizer options among it).
    Child super({inetd, "-d", "-E", conf}, opts);
    ASSERT_TRUE(eventually([&] { return listening(port) && listening(control_port); }, NET_LIMIT));
    ProcResult r = client({at(port)}, sql("SELECT min(n) AS v FROM t"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result_of(r.out), one_value("v", "1"));
    r = client({"--control", at(control_port), "--config"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("<LogDir>" + logdir.path() + "</LogDir>"), std::string::npos) << r.out;
    // One process per connection, serving several requests on it.
    Fd conn = connect_loopback(port, NET_LIMIT);
    EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT count(*) AS v FROM t"))), one_value("v", "3"));
    EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT max(n) AS v FROM t"))), one_value("v", "3"));
    shutdown(conn.get(), SHUT_WR);
    EXPECT_EQ(read_until_eof(conn.get(), NET_LIMIT), "") << "the server did not end with the connection";
    kill(super.pid(), SIGTERM);
    EXPECT_FALSE(super.finish().timed_out);
}

// Failures of the exchange itself: status 1 and one line, no output.
TEST_F(Client, ExchangeFailures)
{
    // A peer that accepts the connection (in the kernel) but never answers.
    Fd silent(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(control_port));
    ASSERT_EQ(bind(silent.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(silent.get(), 4), 0);

    const std::string req = sql("SELECT 1");
    const struct {
        const char *what;
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {"nothing listens", {at(port)}, "cannot connect to 127.0.0.1:"},
        {"no answer in time", {"--timeout", "0.5", at(control_port)}, "timed out"},
        {"missing file", {at(port), work.file("none.xml")}, "cannot read"},
        {"bad address", {"localhost"}, "expected HOST:PORT"},
        {"port out of range", {"127.0.0.1:65536"}, "invalid port"},
        {"control without action", {"--control", at(port)}, "--control needs"},
        {"action without control", {at(port), "--stats"}, "--stats needs --control"},
        {"unknown option", {"--verbose", at(port)}, "unknown option --verbose"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto t0 = std::chrono::steady_clock::now();
        const ProcResult r = client(c.args, req);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(one_line_error(r));
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

}  // namespace
