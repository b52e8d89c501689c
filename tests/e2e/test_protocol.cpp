// The request protocol on the wire: where a request ends, what follows
// it, a document cut short, and SQL's line breaks.

#include <sys/socket.h>

#include "e2e.h"

namespace {

const std::string NO_ELEMENT = "error on line 1 of input request, no element found";
const std::string NOT_UNDERSTOOD =
    error_body("qx_get_request: Request not understood - missing ConnectionString");

// The result parts of the next `n` answers (fewer if the peer closes).
std::vector<std::string> read_answers(int fd, std::size_t n)
{
    std::string got;
    char buf[65536];
    while (occurrences(got, "</Result>\n") < n) {
        const ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        got.append(buf, static_cast<std::size_t>(r));
    }
    std::vector<std::string> answers;
    for (std::size_t at = 0; at < got.size();) {
        const std::size_t next = got.find("<?xml", at + 1);
        answers.push_back(result_of(got.substr(at, next - at)));
        at = next;
    }
    return answers;
}

class Protocol : public NetTest {
protected:
    std::string v(int n, std::string_view more = "") const
    {
        return sql_request(db.conn(), "SELECT " + std::to_string(n) + " AS v", more);
    }
    static std::string answer(int n) { return one_value("v", std::to_string(n)); }

    // Each write of `writes`, then the answers to it.
    void exchange(int fd, const std::vector<std::pair<std::string, std::vector<int>>> &writes)
    {
        for (const auto &[bytes, values] : writes) {
            SCOPED_TRACE(bytes.substr(0, 60));
            ASSERT_TRUE(send_all(fd, bytes));
            std::vector<std::string> expected;
            for (int n : values) expected.push_back(answer(n));
            EXPECT_EQ(read_answers(fd, values.size()), expected);
        }
    }
};

// On a kept-open connection a request is answered once its root element
// closes, also across a full read, and requests sent together in order; a
// request that cannot be understood is answered before the hang-up.
TEST_F(Protocol, ConnectionAnswersEveryRequestWhereverItEnds)
{
    InetdSession session;
    std::string straddling = v(1);  // "</Request>" across the first 2048-byte read
    straddling.insert(straddling.size() - 10, 2053 - straddling.size(), ' ');
    exchange(session.fd(), {{straddling, {1}}, {v(4) + "\n" + v(5) + "  " + v(6) + "\r\n", {4, 5, 6}}});
    ASSERT_TRUE(send_all(session.fd(), "<Request></Request >"));
    EXPECT_EQ(read_answers(session.fd(), 2), std::vector{NOT_UNDERSTOOD});
    EXPECT_EQ(session.finish(), exited(1));
}

// A close between requests is quiet; one mid-request is answered.
TEST_F(Protocol, ConnectionClosedInTheMiddleOfARequestIsAnswered)
{
    const std::string open_sql = v(9).substr(0, v(9).size() - 16);  // no "</Sql></Request>"
    const struct { std::string tail; std::vector<std::string> answers; int status; } cases[] = {
        {"", {}, 0},
        {"\n \r\n", {}, 0},
        {open_sql, {error_body(NO_ELEMENT)}, 1},
        {"<Req", {error_body("error on line 1 of input request, unclosed token")}, 1},
        {v(7) + "\n" + open_sql, {answer(7), error_body(NO_ELEMENT)}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tail);
        InetdSession session;
        exchange(session.fd(), {{v(1), {1}}});
        ASSERT_TRUE(send_all(session.fd(), c.tail));
        shutdown(session.fd(), SHUT_WR);
        EXPECT_EQ(read_answers(session.fd(), 3), c.answers);
        EXPECT_EQ(session.finish(), exited(c.status));
    }
}

// pipe and tcpip_listen (port in hexadecimal) answer one request and one connection.
TEST_F(Protocol, SingleRequestMethodsAnswerTheFirstDocumentOnly)
{
    const std::string two = v(1) + "\n" + v(2);
    EXPECT_EQ(query(two), exited(0, answer(1)));

    configure("");
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", port);
    Child child(command({"tcpip_listen", hex}), {});
    Fd conn = connect_port(port, NET_LIMIT);
    ASSERT_TRUE(send_all(conn.get(), two));
    EXPECT_EQ(read_answers(conn.get(), 2), std::vector{answer(1)});
    EXPECT_EQ(child.finish(), CLEAN_EXIT);
    EXPECT_LT(connect_port(port).get(), 0) << "a second connection was accepted";
}

// A request cut short runs nothing, not even the statements that arrived whole.
TEST_F(Protocol, CutShortRequestRunsNothing)
{
    const std::string deletes = "<Sql>DELETE FROM t WHERE n = 1</Sql><Sql>DELETE FROM t</Sql>";
    const std::pair<std::string, std::string_view> cases[] = {
        {request(db.conn(), "<Sql>DELETE FROM t</Sql>"), "</Request>"},
        {request(db.conn(), "<Transaction>" + deletes + "</Transaction>"),
         "</Transaction></Request>"},
    };
    for (const auto &[whole, missing] : cases) {
        const std::string req = whole.substr(0, whole.size() - missing.size());
        SCOPED_TRACE(req);
        EXPECT_EQ(query(req), exited(1, error_body(NO_ELEMENT)));
        EXPECT_EQ(db.query("SELECT count(*) FROM t;"), "3\n");
    }
}

// Line breaks in SQL separate words and end "--" comments.
TEST_F(Protocol, SqlKeepsItsLineBreaks)
{
    EXPECT_EQ(query(sql_request(db.conn(), "SELECT 1 AS a -- one\r\n, 2 AS b")),
              exited(0, "<Result State=\"00000\">\n<Row>\n    <Column Name=\"a\">1</Column>\n"
                        "    <Column Name=\"b\">2</Column>\n</Row>\n</Result>\n"));
    EXPECT_EQ(query(request(db.conn(), "<Transaction><Sql>UPDATE t SET n = 5\nWHERE n = 1</Sql>"
                                       "</Transaction>")),
              exited(0, EMPTY_RESULT));
    EXPECT_EQ(db.query("SELECT n FROM t ORDER BY n;"), "2\n3\n5\n");
}

}  // namespace
