// One connection per process: tcpip_listen, and inetd over an inherited
// socket (request mode, control mode, and under a real inetd).

#include <csignal>
#include <filesystem>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net_support.h"

namespace {

namespace fs = std::filesystem;

class SingleConnection : public NetTest {
protected:
    // `inetd args...` with `theirs` as standard input and output.
    std::unique_ptr<Child> inetd(const std::vector<std::string> &args, Fd &theirs)
    {
        ProcOptions opts;
        opts.socket = theirs.release();
        return std::make_unique<Child>(server_argv(args), opts);
    }
};

TEST_F(SingleConnection, TcpipListenAnswersOneRequestThenEnds)
{
    Child child(server_argv({"tcpip_listen", std::to_string(port)}), {});
    Fd conn = connect_loopback(port, NET_LIMIT);
    ASSERT_GE(conn.get(), 0);
    ASSERT_TRUE(send_all(conn.get(), sql("SELECT sum(n) AS v FROM t")));
    EXPECT_EQ(result_of(read_until_eof(conn.get(), NET_LIMIT)), one_value("v", "6"));
    EXPECT_EQ(child.finish(), (ProcResult{0, false, "", ""}));
    EXPECT_LT(connect_bounded(port, 1s).get(), 0) << "a second connection was accepted";
}

// Requests are answered in order on one connection, a failed statement
// included; the connection then ends by the peer's close (status 0) or by
// an unreadable request (its error document, status 1).
TEST_F(SingleConnection, InetdServesRequestAfterRequest)
{
    const struct {
        const char *what;
        std::string last;  // sent after the good requests; empty: close instead
        int status;
        std::string answer;
    } endings[] = {
        {"peer closes", "", 0, ""},
        {"malformed request", "<Request><Sql></Request>", 1,
         error_body("error on line 1 of input request, mismatched tag")},
    };
    for (const auto &e : endings) {
        SCOPED_TRACE(e.what);
        Fd mine, theirs;
        make_socket_pair(mine, theirs);
        auto child = inetd({"inetd"}, theirs);
        for (int n = 3; n >= 1; n--)
            EXPECT_EQ(result_of(ask(mine.get(), sql("SELECT n * 10 AS v FROM t WHERE n = " +
                                                    std::to_string(n)))),
                      one_value("v", std::to_string(n * 10)));
        EXPECT_EQ(result_of(ask(mine.get(), sql("SELECT * FROM missing"))),
                  odbc_error_body("S1000", 1, "[SQLite]no such table: missing (1)"));
        EXPECT_EQ(result_of(ask(mine.get(), sql("SELECT max(n) AS v FROM t"))), one_value("v", "3"));
        if (e.last.empty()) {
            mine.reset();
        } else {
            ASSERT_TRUE(send_all(mine.get(), e.last));
            EXPECT_EQ(body_of(read_until_eof(mine.get(), NET_LIMIT)), e.answer);
        }
        EXPECT_EQ(child->finish(), (ProcResult{e.status, false, "", ""}));
    }
}

// Each control request that parses is answered and leaves config.xml in
// the written form of the settings in force.
TEST_F(SingleConnection, InetdControlRequests)
{
    const std::string written = written_config(port, control_port, logdir.path());
    const std::string denied =
        "    <Client Allow=\"No\">127.0.0.1</Client>\n    <Client Allow=\"Yes\">10.1.2.3</Client>\n";
    const struct {
        const char *what;
        std::string doc, answer, saved;
    } cases[] = {
        {"configuration", "<Request><Configuration/></Request>", written, written},
        {"statistics", "<Request><Statistics/></Request>",
         error_body("Statistics not available in this configuration"), written},
        {"new configuration",
         config_doc(settings_with_ports("<Client Allow=\"no\">127.0.0.1</Client>"
                                        "<Client>10.1.2.3</Client>")),
         "<Result Status=\"00000\">\n</Result>\n",
         written_config(port, control_port, logdir.path(), denied)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        InstallDir::write_config(config_doc(settings_with_ports("")));
        Fd mine, theirs;
        make_socket_pair(mine, theirs);
        auto child = inetd({"inetd", "x"}, theirs);
        ASSERT_TRUE(send_all(mine.get(), c.doc));
        shutdown(mine.get(), SHUT_WR);
        EXPECT_EQ(body_of(read_until_eof(mine.get(), NET_LIMIT)), c.answer);
        const ProcResult r = child->finish();
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(body_of(read_file(InstallDir::config_path())), c.saved);
        EXPECT_FALSE(fs::exists(InstallDir::path() + "/tmp_config.xml"));
    }
}

// The server under the system's own inetd: one process per connection,
// several requests on it.
TEST_F(SingleConnection, UnderRealInetd)
{
    const std::string inetd_binary = "/usr/sbin/inetd";
    ASSERT_TRUE(fs::exists(inetd_binary))
        << "inetd is missing: install the Debian package openbsd-inetd (scripts/setup.sh)";
    const passwd *user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    const std::string conf = work.file("inetd.conf");
    write_file(conf, "127.0.0.1:" + std::to_string(port) + " stream tcp4 nowait " +
                         user->pw_name + " " + QUILLET_BINARY + " quilletserver inetd\n");
    ProcOptions opts;
    opts.limit = 30s;
    // -d keeps it in the foreground; -E passes our environment on to the
    // server (the sanitizer options among it).
    Child super({inetd_binary, "-d", "-E", conf}, opts);
    Fd conn = connect_loopback(port, NET_LIMIT);
    ASSERT_GE(conn.get(), 0) << "inetd did not listen on port " << port;
    EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT count(*) AS v FROM t"))), one_value("v", "3"));
    EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT min(n) AS v FROM t"))), one_value("v", "1"));
    shutdown(conn.get(), SHUT_WR);
    EXPECT_EQ(read_until_eof(conn.get(), NET_LIMIT), "") << "the server did not end with the connection";
    kill(super.pid(), SIGTERM);
    EXPECT_FALSE(super.finish().timed_out);
}

}  // namespace
