// One connection per process: tcpip_listen, and inetd over an inherited
// connection (request mode and control mode).

#include <cstdio>
#include <filesystem>
#include <sys/socket.h>

#include "e2e.h"

namespace {

class SingleConnection : public NetTest {};

// The port as a hexadecimal argument; one connection is served, and no second.
TEST_F(SingleConnection, TcpipListenServesOneConnectionThenEnds)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", port);
    write_config(config_doc(settings_with_ports("")));
    Child child(server_argv({"tcpip_listen", hex}), {});
    EXPECT_TRUE(answers(connect_port(port, NET_LIMIT).get(), 6));
    EXPECT_EQ(child.finish(), CLEAN_EXIT);
    EXPECT_LT(connect_port(port).get(), 0) << "a second connection was accepted";
}

// Requests are answered in order on one connection, a failed statement
// included; the connection ends by the peer's close (status 0), by an
// unreadable request (its error document, status 1), or by a peer that
// leaves in the middle of a large answer (status 0, not a signal).
TEST_F(SingleConnection, InetdServesRequestAfterRequest)
{
    const std::string big = sql_request(db.conn() + ";StepAPI=1",
                                        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                                        "FROM c WHERE x < 1000000) SELECT x FROM c");
    for (const auto &[last, status] :
         {std::pair{std::string(), 0}, {"<Request><Sql></Request>", 1}, {big, 0}}) {
        SCOPED_TRACE(last.substr(0, 30));
        InetdSession session;
        EXPECT_TRUE(answers(session.fd(), 1));
        EXPECT_EQ(result_of(session.exchange(sql("SELECT * FROM missing"))),
                  odbc_error_body("S1000", 1, "[SQLite]no such table: missing (1)"));
        EXPECT_TRUE(answers(session.fd(), 2));
        char start[4096];
        ASSERT_TRUE(send_all(session.fd(), last));
        if (status == 1) {
            EXPECT_EQ(body_of(read_until_eof(session.fd())),
                      error_body("error on line 1 of input request, mismatched tag"));
        }
        EXPECT_TRUE(status == 1 || last.empty() || recv(session.fd(), start, 4096, 0) > 0);
        EXPECT_EQ(session.finish(), (ProcResult{status, false, "", ""}));
    }
}

// Each control request is answered once its document is complete, whether
// or not the peer has stopped sending, and leaves config.xml in the
// written form of the settings in force; a configuration refused at its
// third value changes and saves nothing. The session ends with its one
// answer, with nothing on standard error.
TEST_F(SingleConnection, InetdControlRequests)
{
    const std::string written = written_config(port, control_port, logdir.path());
    const struct {
        std::string doc, answer, saved;
        bool half_close = true;
    } cases[] = {
        {"<Request><Configuration/></Request>", written, written, false},
        {config_doc(settings_with_ports("<Client Allow=\"no\">127.0.0.1</Client>"
                                        "<Client>10.1.2.3</Client>")),
         "<Result Status=\"00000\">\n</Result>\n",
         written_config(port, control_port, logdir.path(),
                        "    <Client Allow=\"No\">127.0.0.1</Client>\n"
                        "    <Client Allow=\"Yes\">10.1.2.3</Client>\n")},
        {config_doc("<Port>1</Port><ControlPort>2</ControlPort><MaxClientConnect>x"
                    "</MaxClientConnect>"),
         error_body("xml2config: invalid value x for MaxClientConnect"),
         body_of(config_doc(settings_with_ports("")))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.doc);
        write_config(config_doc(settings_with_ports("")));
        InetdSession session({"inetd", "x"});
        ASSERT_TRUE(send_all(session.fd(), c.doc));
        if (c.half_close) shutdown(session.fd(), SHUT_WR);
        EXPECT_EQ(body_of(read_until_eof(session.fd())), c.answer);
        EXPECT_EQ(session.finish(), (ProcResult{0, false, "", ""}));
        EXPECT_EQ(body_of(read_file(CONFIG_XML)), c.saved);
        EXPECT_FALSE(std::filesystem::exists(INSTALL_DIR + "/tmp_config.xml"));
    }
}

}  // namespace
