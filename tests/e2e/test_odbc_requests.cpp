// Request kinds beyond a single statement (procedure calls, transactions)
// and the driver's failures. test_examples and test_odbc_results have the
// others; the parser's refusals are for the unit tests.

#include "e2e.h"

namespace {

class Requests : public ServerTest {
protected:
    void SetUp() override { ASSERT_TRUE(pg::ready()); }
};

std::string transaction(const std::vector<std::string> &statements)
{
    std::string t = "<Transaction>";
    for (const std::string &s : statements) t += "<Sql>" + xml_text(s) + "</Sql>";
    return t + "</Transaction>";
}

TEST_F(Requests, ProcedureElementFollowsTheResults)
{
    // Every Parameter of the answer carries its Length, 1024 unless given.
    auto param = [](std::string_view attrs, std::string_view value) {
        return "    <Parameter " + std::string(attrs) + " Length=\"1024\" >" + std::string(value) +
               "</Parameter>\n";
    };
    const std::string out0 = "Index=\"0\" Direction=\"Out\" Type=\"integer\"",
                      in1 = "Index=\"1\" Direction=\"In\" Type=\"integer\"",
                      inout = "Index=\"1\" Direction=\"InOut\" Type=\"integer\"",
                      text = "a&lt;&amp;b \u00e9\u20ac";
    // The driver turns {? = call f(?)} into SELECT f(?) and hands the value
    // back through the output parameter, leaving a result without columns.
    // Values are UTF-8 text, not character references.
    const struct {
        std::string name, parameters, results, answered;
    } cases[] = {
        {"getbalance", "<Parameter " + out0 + "/><Parameter " + in1 + ">42</Parameter>",
         EMPTY_RESULT, param(out0, "420") + param(in1, "42")},
        {"f_inout", "<Parameter " + inout + ">5</Parameter>", one_value("x", "105"),
         param(inout, "105")},
        {"\"f&amp;x\"",
         "<Parameter Index=\"0\" Direction=\"Out\" Type=\"varchar\"/>"
         "<Parameter Index=\"1\" Direction=\"In\">" + text + "</Parameter>",
         EMPTY_RESULT,
         param("Index=\"0\" Direction=\"Out\" Type=\"varchar\"", text + "!") +
             param("Index=\"1\" Direction=\"In\" Type=\"char\"", text)},
    };
    // In the C locale: the driver converts parameter text with the
    // environment's locale, so the server has to provide a UTF-8 one.
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "<ProcedureName>" + c.name + "</ProcedureName>";
        EXPECT_EQ(query(request(pg::conn(), "<Procedure>" + name + c.parameters + "</Procedure>"),
                        {"", {"LC_ALL=C"}}),
                  exited(0, c.results + "<Procedure>\n    " + name + "\n" + c.answered +
                                "</Procedure>\n"));
    }
}

// All statements commit together, or the first failure answers and rolls
// back the rest. The SELECT's open cursor must not block the statement
// after it; a sequence, not transactional, shows whether the statement
// after a failure ran.
TEST_F(Requests, TransactionCommitsTogetherOrRollsBack)
{
    pg::psql("DROP TABLE IF EXISTS tx; CREATE TABLE tx (n int);"
             "DROP SEQUENCE IF EXISTS tx_seq; CREATE SEQUENCE tx_seq;");
    SqliteDb lite("CREATE TABLE tx (n INTEGER);");
    const std::string ok = transaction(
        {"INSERT INTO tx VALUES (1)", "SELECT n FROM tx", "INSERT INTO tx VALUES (2)"});
    const std::string failing = transaction(
        {"INSERT INTO tx VALUES (3)", "INSERT INTO nosuch VALUES (4)", "SELECT nextval('tx_seq')"});
    const struct {
        std::string conn, statements, body;
    } cases[] = {
        {lite.conn(), ok, EMPTY_RESULT},
        {pg::conn(), ok, EMPTY_RESULT},
        {lite.conn(), failing, odbc_error_body("S1000", 1, "[SQLite]no such table: nosuch (1)")},
        {pg::conn(), failing,
         odbc_error_body("42P01", 1, "ERROR: relation \"nosuch\" does not exist;\n"
                                     "Error while executing the query")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(query(request(c.conn, c.statements)), exited(c.statements == ok ? 0 : 1, c.body));
    EXPECT_EQ(lite.query("SELECT group_concat(n) FROM tx;"), "1,2\n");
    EXPECT_EQ(pg::psql("SELECT string_agg(n::text, ',' ORDER BY n) FROM tx;"), "1,2\n");
    EXPECT_EQ(pg::psql("SELECT is_called FROM tx_seq;"), "f\n");

    // The SQLite driver keeps a failed transaction open, with its write
    // lock: a server that kept serving the connection with that handle would
    // lock out every other writer.
    InetdSession session;
    EXPECT_TRUE(holds(session.exchange(request(lite.conn(), failing)), {"nosuch"}));
    EXPECT_EQ(lite.query("INSERT INTO tx VALUES (5); SELECT group_concat(n) FROM tx;"), "1,2,5\n");
    EXPECT_EQ(session.finish(), CLEAN_EXIT);
}

// ODBC failures from loading, connecting, executing, calling and fetching
// answer with the driver's diagnostic, escaped, and status 1.
TEST_F(Requests, FailuresAnswerWithTheDriversDiagnostic)
{
    SqliteDb lite;
    const std::string pg_exec = ";\nError while executing the query";
    const struct {
        std::string req, state;
        long native;
        std::string text;
    } cases[] = {
        // The driver manager fails to load the driver with a warning state.
        {sql_request("Driver=NoSuchDriver", "SELECT 1"), "01000", 0,
         "[unixODBC][Driver Manager]Can't open lib 'NoSuchDriver' : file not found"},
        // The later Username overrides the first.
        {sql_request(pg::conn(";Username=nobody"), "SELECT 1"), "08001", 101,
         "connection to server at \"127.0.0.1\", port " + std::to_string(pg::port()) +
             " failed: FATAL:  role \"nobody\" does not exist\n"},
        {sql_request(lite.conn(), "SELECT * FROM \"a&<b\""), "S1000", 1,
         "[SQLite]no such table: a&amp;&lt;b (1)"},
        {sql_request(pg::conn(), "SELECT 1/(x-3) FROM generate_series(1,5) x"), "22012", 1,
         "ERROR: division by zero" + pg_exec},
        // A failed call has no Procedure element.
        {request(pg::conn(), "<Procedure><ProcedureName>nosuch</ProcedureName>"
                             "<Parameter Index=\"1\" Direction=\"In\">1</Parameter></Procedure>"),
         "42883", 1, "ERROR: function nosuch(unknown) does not exist" + pg_exec},
    };
    for (const auto &c : cases)
        EXPECT_EQ(query(c.req), exited(1, odbc_error_body(c.state, c.native, c.text))) << c.req;

    // Fetching two rows at a time moves the error of the third to SQLFetch:
    // the rows so far close their result, and the error follows with a
    // prolog of its own.
    const ProcResult r = query(sql_request(pg::conn(";UseDeclareFetch=1;Fetch=2"),
                                           "SELECT 1/(x-3) AS q FROM generate_series(1,5) x"));
    const std::string rows =
        "<Result State=\"00000\">\n<Row>\n    <Column Name=\"q\">0</Column>\n</Row>\n"
        "<Row>\n    <Column Name=\"q\">-1</Column>\n</Row>\n</Result>\n";
    EXPECT_EQ(r, exited(1, r.out));
    ASSERT_EQ(r.out.substr(0, rows.size()), rows);
    EXPECT_EQ(body_of(r.out.substr(rows.size())),
              odbc_error_body("22012", 1, "ERROR: division by zero;\n"
                                          "Error while fetching the next result"));
}

}  // namespace
