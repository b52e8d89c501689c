// One connection per process: tcpip_listen, and inetd over an inherited
// socket (request mode and control mode; a real inetd is in test_client).

#include <cstdio>
#include <filesystem>
#include <sys/socket.h>

#include "e2e.h"

namespace {

class SingleConnection : public NetTest {};

// The port as a decimal argument, as a hexadecimal one, and from the Port
// setting; one connection is served, by its answer or an error document.
TEST_F(SingleConnection, TcpipListenServesOneConnectionThenEnds)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", port);
    const struct {
        std::vector<std::string> args;
        std::string req;
        int status;
        std::string answer;
    } cases[] = {
        {{"tcpip_listen", std::to_string(port)}, sql("SELECT sum(n) AS v FROM t"), 0,
         one_value("v", "6")},
        {{"tcpip_listen", hex}, "<Request>\n<Sql>\n</Request>", 1,
         error_body("error on line 3 of input request, mismatched tag")},
        {{"tcpip_listen"}, sql("SELECT 4 AS v"), 0, one_value("v", "4")},
    };
    write_config(config_doc(settings_with_ports("")));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        Child child(server_argv(c.args), {});
        Fd conn = connect_port(port, NET_LIMIT);
        ASSERT_TRUE(send_all(conn.get(), c.req));
        EXPECT_EQ(result_of(read_until_eof(conn.get())), c.answer);
        EXPECT_EQ(child.finish(), (ProcResult{c.status, false, "", ""}));
        EXPECT_LT(connect_port(port).get(), 0) << "a second connection was accepted";
    }
}

// Requests are answered in order on one connection, a failed statement
// included; the connection then ends by the peer's close (status 0) or by
// an unreadable request (its error document, status 1).
TEST_F(SingleConnection, InetdServesRequestAfterRequest)
{
    const struct {
        const char *what;
        bool requests;     // the good requests go first
        std::string last;  // sent after them; empty: close instead
        int status;
    } endings[] = {
        {"peer closes at once", false, "", 0},
        {"peer closes", true, "", 0},
        {"malformed request", true, "<Request><Sql></Request>", 1},
    };
    for (const auto &e : endings) {
        SCOPED_TRACE(e.what);
        InetdSession session;
        if (e.requests) {
            EXPECT_TRUE(answers(session.fd(), 1));
            EXPECT_TRUE(answers(session.fd(), 2));
            EXPECT_EQ(result_of(session.exchange(sql("SELECT * FROM missing"))),
                      odbc_error_body("S1000", 1, "[SQLite]no such table: missing (1)"));
            EXPECT_TRUE(answers(session.fd(), 3));
        }
        if (!e.last.empty()) {
            ASSERT_TRUE(send_all(session.fd(), e.last));
            EXPECT_EQ(body_of(read_until_eof(session.fd())),
                      error_body("error on line 1 of input request, mismatched tag"));
        }
        EXPECT_EQ(session.finish(), (ProcResult{e.status, false, "", ""}));
    }
    // A peer that leaves in the middle of a large answer ends the work and
    // the process as a close would, not by a signal.
    InetdSession session;
    ASSERT_TRUE(send_all(session.fd(),
                         sql_request(db.conn() + ";StepAPI=1",
                                     "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                                     "FROM c WHERE x < 1000000) SELECT x FROM c")));
    char start[4096];
    ASSERT_GT(recv(session.fd(), start, sizeof start, 0), 0);
    EXPECT_EQ(session.finish(), (ProcResult{0, false, "", ""}));
}

// Each control request that parses is answered and leaves config.xml in
// the written form of the settings in force.
TEST_F(SingleConnection, InetdControlRequests)
{
    const std::string written = written_config(port, control_port, logdir.path());
    const std::string denied = "    <Client Allow=\"No\">127.0.0.1</Client>\n"
                               "    <Client Allow=\"Yes\">10.1.2.3</Client>\n";
    // A request is answered when its document is complete, whether or not
    // the peer has stopped sending.
    const struct {
        const char *what;
        std::string doc, answer, saved;
        bool half_close = true;
    } cases[] = {
        {"configuration", "<Request><Configuration/></Request>", written, written, false},
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
        write_config(config_doc(settings_with_ports("")));
        InetdSession session({"inetd", "x"});
        ASSERT_TRUE(send_all(session.fd(), c.doc));
        if (c.half_close) shutdown(session.fd(), SHUT_WR);
        EXPECT_EQ(body_of(read_until_eof(session.fd())), c.answer);
        const ProcResult r = session.finish();
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(body_of(read_file(CONFIG_XML)), c.saved);
        EXPECT_FALSE(std::filesystem::exists(INSTALL_DIR + "/tmp_config.xml"));
    }
}

}  // namespace
