// Transactions: all statements commit together, or the first failure
// answers and rolls back the rest, on both drivers.

#include "query_test.h"

namespace {

class Transactions : public QueryTest {
protected:
    static std::string transaction(const std::vector<std::string> &statements)
    {
        std::string t = "<Transaction>";
        for (const std::string &s : statements) t += "<Sql>" + xml_text(s) + "</Sql>";
        return t + "</Transaction>";
    }
};

TEST_F(Transactions, AllSucceedAndCommit)
{
    ASSERT_TRUE(pg::ready());
    pg::psql("DROP TABLE IF EXISTS tx_commit; CREATE TABLE tx_commit (n int);");
    SqliteDb lite("CREATE TABLE tx_commit (n INTEGER);");
    // The SELECT's open cursor must not block the statement after it.
    const std::vector<std::string> statements = {"INSERT INTO tx_commit VALUES (1)",
                                                 "SELECT n FROM tx_commit",
                                                 "INSERT INTO tx_commit VALUES (2)"};
    for (const std::string &conn : {lite.conn(), pg::conn()}) {
        SCOPED_TRACE(conn);
        const Answer a = ask(request(conn, transaction(statements)));
        EXPECT_EQ(a.status, 0);
        EXPECT_NE(a.comment, "");
        EXPECT_EQ(a.body, EMPTY_RESULT);
    }
    EXPECT_EQ(lite.query("SELECT group_concat(n) FROM tx_commit;"), "1,2\n");
    EXPECT_EQ(pg::psql("SELECT string_agg(n::text, ',' ORDER BY n) FROM tx_commit;"), "1,2\n");
}

TEST_F(Transactions, FailureAnswersRollsBackAndStops)
{
    ASSERT_TRUE(pg::ready());
    // A sequence is not transactional: it shows whether the third
    // statement ran even though its effect would be rolled back.
    pg::psql(
        "DROP TABLE IF EXISTS tx_fail; CREATE TABLE tx_fail (n int);"
        "DROP SEQUENCE IF EXISTS tx_fail_seq; CREATE SEQUENCE tx_fail_seq;");
    SqliteDb lite("CREATE TABLE tx_fail (n INTEGER);");
    const struct {
        std::string conn, third, error;
    } cases[] = {
        {lite.conn(), "INSERT INTO tx_fail VALUES (3)",
         odbc_error_body("S1000", 1, "[SQLite]no such table: nosuch (1)")},
        {pg::conn(), "SELECT nextval('tx_fail_seq')",
         odbc_error_body("42P01", 1,
                         "ERROR: relation \"nosuch\" does not exist;\n"
                         "Error while executing the query")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.conn);
        const Answer a =
            ask(request(c.conn, transaction({"INSERT INTO tx_fail VALUES (1)",
                                             "INSERT INTO nosuch VALUES (2)", c.third})));
        EXPECT_EQ(a.status, 1);
        EXPECT_EQ(a.comment, "");
        EXPECT_EQ(a.body, c.error);
    }
    EXPECT_EQ(lite.query("SELECT count(*) FROM tx_fail;"), "0\n");
    EXPECT_EQ(pg::psql("SELECT count(*) FROM tx_fail;"), "0\n");
    EXPECT_EQ(pg::psql("SELECT is_called FROM tx_fail_seq;"), "f\n");
}

TEST_F(Transactions, FailedSqliteTransactionLeavesTheFileFree)
{
    // The SQLite driver keeps a failed transaction open, with its write
    // lock, and will not disconnect from it. A server that kept serving
    // the connection with that handle left behind would lock out every
    // other writer.
    SqliteDb lite("CREATE TABLE tx_lock (n INTEGER);");
    InetdSession session;
    std::string body;
    ASSERT_TRUE(split_prolog(
        session.exchange(request(lite.conn(), transaction({"INSERT INTO tx_lock VALUES (1)",
                                                           "INSERT INTO nosuch VALUES (2)"}))),
        &body));
    EXPECT_EQ(body, odbc_error_body("S1000", 1, "[SQLite]no such table: nosuch (1)"));
    // The server still holds the connection open while this writes.
    EXPECT_EQ(lite.query("INSERT INTO tx_lock VALUES (3); SELECT group_concat(n) FROM tx_lock;"),
              "3\n");
    EXPECT_EQ(session.finish(), (ProcResult{0, false, "", ""}));
}

}  // namespace
