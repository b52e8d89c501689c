// Request documents: refused requests, which of several principal
// requests runs, environment entries, the style-sheet instruction,
// procedure calls, transactions, and the driver's failures.

#include "e2e.h"

namespace {

class Requests : public QueryTest {};

std::string transaction(const std::vector<std::string> &statements)
{
    std::string t = "<Transaction>";
    for (const std::string &s : statements) t += "<Sql>" + xml_text(s) + "</Sql>";
    return t + "</Transaction>";
}

TEST_F(Requests, RefusedRequestsAnswerWithTheirMessage)
{
    const std::string conn =
        "<ConnectionString>Driver=SQLite3;Database=:memory:</ConnectionString>";
    const std::string sql = "<Sql>SELECT 1</Sql>";
    auto param = [](const std::string &attrs) {
        return "<Procedure><ProcedureName>p</ProcedureName><Parameter " + attrs +
               ">1</Parameter></Procedure>";
    };
    const std::string not_understood = "qx_get_request: Request not understood - ";
    const std::pair<std::string, std::string> cases[] = {
        {sql, not_understood + "missing ConnectionString"},
        {"<ConnectionString/>" + sql, not_understood + "missing ConnectionString"},
        {conn, not_understood + "missing Sql/Tables/Transaction/Procedure"},
        {conn + "<Sql/>", not_understood + "missing Sql/Tables/Transaction/Procedure"},
        {conn + "<Transaction><Sql>SELECT 1</Sql><Sql/></Transaction>",
         "Missing SQL data in transaction"},
        {"<Environment>A=1</Environment><Environment/>" + conn + sql, "Missing Environment data"},
        {conn + sql + "<Format><Long>yes</Long></Format>", not_understood + "Format not known"},
        {conn + sql + "<Format><TruncateTrailingBlanks/></Format>",
         not_understood + "Format not known"},
        // The message carries its own line feed.
        {conn + sql + "<Format><Long/><Standard/></Format>",
         "Multiple Format subelement - Standard\n"},
        {conn + sql + "<Format><Short/><Data Type=\"CDATA\"/></Format>",
         not_understood + "Data Type attribute not known"},
        {conn + sql + "<Format><Short/><Binary Output=\"hex\"/></Format>",
         not_understood + "Binary attribute not known"},
        {conn + sql + "<StyleSheet><Type>text/xsl</Type></StyleSheet>",
         not_understood + "missing StyleSheet name"},
        {conn + sql + "<StyleSheet><Name>a.xsl</Name><Type/></StyleSheet>",
         not_understood + "missing StyleSheet type"},
        {conn + "<Procedure><Parameter Index=\"1\" Direction=\"In\"/></Procedure>",
         "get_procedure_args: Request not understood - missing ProcedureName"},
        {conn + param("Direction=\"In\""), "get_procedure_args: Missing Index for Parameter"},
        {conn + param("Index=\"1\""), "get_procedure_args: Missing Direction for Parameter"},
        {conn + param("Index=\"1\" Direction=\"in\""),
         "get_procedure_args: Invalid Direction \"in\" for Parameter"},
        {conn + param("Index=\"1\" Direction=\"&lt;&amp;\""),
         "get_procedure_args: Invalid Direction \"&lt;&amp;\" for Parameter"},
        {conn + param("Index=\"1\" Direction=\"In\" Type=\"int\""),
         "get_procedure_args: Invalid value \"int\" for Parameter Type"},
        {conn + param("Index=\"1\" Direction=\"In\" Length=\"\""),
         "get_procedure_args: Empty Parameter Length"},
        {conn + param("Index=\"1\" Direction=\"In\" Length=\"12abc\""),
         "get_procedure_args: Invalid Length \"12abc\" for Parameter"},
    };
    for (const auto &[inner, message] : cases) {
        SCOPED_TRACE(inner);
        const Answer a = ask("<Request>" + inner + "</Request>");
        EXPECT_EQ(a.status, 1);
        EXPECT_EQ(a.comment, "");
        EXPECT_EQ(a.body, error_body(message));
    }
}

TEST_F(Requests, OnePrincipalRequestRunsByPrecedence)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite("CREATE TABLE u (a INTEGER);");
    const std::string null = "isnull=\"yes\" />\n";
    const std::string table_list =
        "<Result State=\"00000\">\n<Row>\n    <Column Name=\"TABLE_QUALIFIER\" " + null +
        "    <Column Name=\"TABLE_OWNER\" " + null + "    <Column Name=\"TABLE_NAME\">u</Column>\n"
        "    <Column Name=\"TABLE_TYPE\">TABLE</Column>\n    <Column Name=\"REMARKS\" " + null +
        "</Row>\n</Result>\n";
    const std::string f_noargs = "<ProcedureName>f_noargs</ProcedureName>";
    const struct {
        std::string conn, inner, body;
    } cases[] = {
        {lite.conn(),
         "<Tables/><Sql>SELECT 1 AS a</Sql><Transaction><Sql>SELECT 2</Sql></Transaction>",
         EMPTY_RESULT},
        {lite.conn(), "<Tables/><Procedure/><Sql>SELECT 1 AS a</Sql>", one_value("a", "1")},
        {lite.conn(), "<Sql/><Tables/>", table_list},
        {pg::conn(), "<Tables/><Procedure>" + f_noargs + "</Procedure>",
         one_value("f_noargs", "7") + "<Procedure>\n    " + f_noargs + "\n</Procedure>\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.inner);
        const Answer a = ask(request(c.conn, c.inner));
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.body, c.body);
    }
    // A transaction without statements still wins, runs nothing and
    // writes nothing at all.
    const std::string empty_transaction = request(lite.conn(), "<Transaction/><Sql>SELECT 1</Sql>");
    EXPECT_EQ(run_server({"pipe"}, with_input(empty_transaction)), CLEAN_EXIT);
}

TEST_F(Requests, EnvironmentEntriesReachTheDriverAndStay)
{
    ASSERT_TRUE(pg::ready());
    // libpq takes the application name from the environment; the entry
    // must still be there for the next request on the same connection.
    const std::string sql = "<Sql>SELECT current_setting('application_name') AS a</Sql>";
    const std::string requests[] = {
        "<Request><Environment>PGAPPNAME=q&amp;a</Environment><ConnectionString>" +
            xml_text(pg::conn()) + "</ConnectionString>" + sql + "</Request>",
        request(pg::conn(), sql),
    };
    InetdSession session;
    for (const std::string &req : requests)
        EXPECT_EQ(result_of(session.exchange(req)), one_value("a", "q&amp;a"));
    EXPECT_EQ(session.finish(), CLEAN_EXIT);
}

TEST_F(Requests, StyleSheetInstructionIsEscapedAndOnlyOnAnswers)
{
    const std::string conn = "Driver=SQLite3;Database=:memory:",
                      style = "<StyleSheet><Name>a&amp;b&lt;.xsl</Name>"
                              "<Type>text/\"x'</Type></StyleSheet>";
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<?xml-stylesheet "
                             "href=\"a&amp;b&lt;.xsl\" type=\"text/&quot;x'\"?>\r\n<!--\r\n";
    const std::string out =
        run_server({"pipe"}, with_input(sql_request(conn, "SELECT 1", style))).out;
    EXPECT_EQ(out.substr(0, head.size()), head);
    // An error result has the plain prolog.
    EXPECT_EQ(ask(sql_request(conn, "SELECT <", style)).status, 1);
}

// A Parameter of the answer; every one carries its Length, 1024 unless given.
std::string parameter(std::string_view attrs, std::string_view value,
                      std::string_view length = "1024")
{
    return "    <Parameter " + std::string(attrs) + " Length=\"" + std::string(length) + "\"" +
           (value.empty() ? " isnull=\"yes\"" : "") + " >" + std::string(value) + "</Parameter>\n";
}

TEST_F(Requests, ProcedureElementFollowsTheResults)
{
    ASSERT_TRUE(pg::ready());
    const std::string out0 = "Index=\"0\" Direction=\"Out\" Type=\"integer\"",
                      in1 = "Index=\"1\" Direction=\"In\" Type=\"integer\"";
    // The driver turns {? = call f(?)} into SELECT f(?) and hands the value
    // back through the output parameter, leaving a result without columns.
    const struct {
        // The name is written the same in the request and in the answer.
        std::string what, name, request_parameters, results, parameters;
    } cases[] = {
        {"return value and input", "getbalance",
         "<Parameter " + out0 + "/><Parameter " + in1 + ">42</Parameter>", EMPTY_RESULT,
         parameter(out0, "420") + parameter(in1, "42")},
        {"null return value", "nobalance",
         "<Parameter " + out0 + " Length=\"0x10\"/><Parameter " + in1 + ">42</Parameter>",
         EMPTY_RESULT, parameter(out0, "", "16") + parameter(in1, "42")},
        {"input and output in one parameter", "f_inout",
         "<Parameter Index=\"1\" Direction=\"InOut\" Type=\"integer\">5</Parameter>",
         one_value("x", "105"),
         parameter("Index=\"1\" Direction=\"InOut\" Type=\"integer\"", "105")},
        {"no parameters", "f_noargs", "", one_value("f_noargs", "7"), ""},
        // Values are written as UTF-8 text, not as character references.
        {"markup and non-ASCII text in name and values", "\"f&amp;x\"",
         "<Parameter Index=\"0\" Direction=\"Out\" Type=\"varchar\"/>"
         "<Parameter Index=\"1\" Direction=\"In\">a&lt;&amp;b \u00e9\u20ac</Parameter>",
         EMPTY_RESULT,
         parameter("Index=\"0\" Direction=\"Out\" Type=\"varchar\"", "a&lt;&amp;b \u00e9\u20ac!") +
             parameter("Index=\"1\" Direction=\"In\" Type=\"char\"", "a&lt;&amp;b \u00e9\u20ac")},
    };
    // In the C locale: the driver converts parameter text with the locale
    // of the environment, so the server has to provide a UTF-8 one.
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const Answer a =
            ask(request(pg::conn(), "<Procedure><ProcedureName>" + c.name + "</ProcedureName>" +
                                        c.request_parameters + "</Procedure>"),
                {"", {"LC_ALL=C"}});
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.body, c.results + "<Procedure>\n    <ProcedureName>" + c.name +
                              "</ProcedureName>\n" + c.parameters + "</Procedure>\n");
    }
}

// All statements commit together, or the first failure answers and rolls
// back the rest. The SELECT's open cursor must not block the statement
// after it; a sequence, not transactional, shows whether the statement
// after a failure ran even though its effect would be rolled back.
TEST_F(Requests, TransactionCommitsTogetherOrRollsBack)
{
    ASSERT_TRUE(pg::ready());
    pg::psql("DROP TABLE IF EXISTS tx; CREATE TABLE tx (n int);"
             "DROP SEQUENCE IF EXISTS tx_seq; CREATE SEQUENCE tx_seq;");
    SqliteDb lite("CREATE TABLE tx (n INTEGER);");
    const std::string ok = transaction(
        {"INSERT INTO tx VALUES (1)", "SELECT n FROM tx", "INSERT INTO tx VALUES (2)"});
    const auto failing = [](const std::string &third) {
        return transaction({"INSERT INTO tx VALUES (3)", "INSERT INTO nosuch VALUES (4)", third});
    };
    const struct {
        std::string conn, statements;
        int status;
        std::string body;
    } cases[] = {
        {lite.conn(), ok, 0, EMPTY_RESULT},
        {pg::conn(), ok, 0, EMPTY_RESULT},
        {lite.conn(), failing("INSERT INTO tx VALUES (5)"), 1,
         odbc_error_body("S1000", 1, "[SQLite]no such table: nosuch (1)")},
        {pg::conn(), failing("SELECT nextval('tx_seq')"), 1,
         odbc_error_body("42P01", 1, "ERROR: relation \"nosuch\" does not exist;\n"
                                     "Error while executing the query")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.conn + " " + c.statements);
        const Answer a = ask(request(c.conn, c.statements));
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.comment.empty(), c.status != 0);
        EXPECT_EQ(a.body, c.body);
    }
    EXPECT_EQ(lite.query("SELECT group_concat(n) FROM tx;"), "1,2\n");
    EXPECT_EQ(pg::psql("SELECT string_agg(n::text, ',' ORDER BY n) FROM tx;"), "1,2\n");
    EXPECT_EQ(pg::psql("SELECT is_called FROM tx_seq;"), "f\n");
}

TEST_F(Requests, FailedSqliteTransactionLeavesTheFileFree)
{
    // The SQLite driver keeps a failed transaction open, with its write
    // lock, and will not disconnect from it. A server that kept serving
    // the connection with that handle left behind would lock out every
    // other writer.
    SqliteDb lite("CREATE TABLE tx_lock (n INTEGER);");
    InetdSession session;
    EXPECT_EQ(body_of(session.exchange(request(
                  lite.conn(), transaction({"INSERT INTO tx_lock VALUES (1)",
                                            "INSERT INTO nosuch VALUES (2)"})))),
              odbc_error_body("S1000", 1, "[SQLite]no such table: nosuch (1)"));
    // The server still holds the connection open while this writes.
    EXPECT_EQ(lite.query("INSERT INTO tx_lock VALUES (3); SELECT group_concat(n) FROM tx_lock;"),
              "3\n");
    EXPECT_EQ(session.finish(), CLEAN_EXIT);
}

// ODBC failures from connecting, executing, calling and fetching answer
// with the driver's diagnostic, escaped.
TEST_F(Requests, FailuresAnswerWithTheDriversDiagnostic)
{
    ASSERT_TRUE(pg::ready());
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
        {sql_request("DSN=nosuch", "SELECT 1"), "IM002", 0,
         "[unixODBC][Driver Manager]Data source name not found and no default driver specified"},
        {sql_request("Driver=SQLite3;Database=/nonexistent/dir/x.db", "SELECT 1"), "S1000", 14,
         "[SQLite]connect failed"},
        // The later Username overrides the first.
        {sql_request(pg::conn(";Username=nobody"), "SELECT 1"), "08001", 101,
         "connection to server at \"127.0.0.1\", port " + std::to_string(pg::port()) +
             " failed: FATAL:  role \"nobody\" does not exist\n"},
        // SQLite reports every failure as S1000, PostgreSQL with its own states.
        {sql_request(lite.conn(), "SELECT <"), "S1000", 1,
         "[SQLite]near \"&lt;\": syntax error (1)"},
        {sql_request(pg::conn(), "SELECT <"), "42601", 1,
         "ERROR: syntax error at or near \"&lt;\"" + pg_exec},
        {sql_request(lite.conn(), "SELECT * FROM \"a&<b\""), "S1000", 1,
         "[SQLite]no such table: a&amp;&lt;b (1)"},
        {sql_request(pg::conn(), "SELECT * FROM \"a&<b\""), "42P01", 1,
         "ERROR: relation \"a&amp;&lt;b\" does not exist" + pg_exec},
        {sql_request(lite.conn(), "SELECT 1; SELECT 2"), "S1000", -1,
         "[SQLite]only one SQL statement allowed"},
        {sql_request(pg::conn(), "SELECT 1/(x-3) FROM generate_series(1,5) x"), "22012", 1,
         "ERROR: division by zero" + pg_exec},
        // A failed call has no Procedure element.
        {request(pg::conn(), "<Procedure><ProcedureName>nosuch</ProcedureName>"
                             "<Parameter Index=\"1\" Direction=\"In\">1</Parameter></Procedure>"),
         "42883", 1, "ERROR: function nosuch(unknown) does not exist" + pg_exec},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.req);
        const Answer a = ask(c.req);
        // pipe ends with status 1 after a failed request, answered or not.
        EXPECT_EQ(a.status, 1);
        EXPECT_EQ(a.comment, "");
        EXPECT_EQ(a.body, odbc_error_body(c.state, c.native, c.text));
    }
}

TEST_F(Requests, FailedFetchClosesTheResultAndReports)
{
    ASSERT_TRUE(pg::ready());
    // Fetching two rows at a time moves the error of the third to SQLFetch.
    const Answer a = ask(sql_request(pg::conn(";UseDeclareFetch=1;Fetch=2"),
                                     "SELECT 1/(x-3) AS q FROM generate_series(1,5) x"));
    EXPECT_EQ(a.status, 1);
    const std::string rows =
        "<Result State=\"00000\">\n<Row>\n    <Column Name=\"q\">0</Column>\n</Row>\n"
        "<Row>\n    <Column Name=\"q\">-1</Column>\n</Row>\n</Result>\n";
    ASSERT_EQ(a.body.substr(0, rows.size()), rows);
    // The error result follows with a prolog of its own.
    EXPECT_EQ(body_of(a.body.substr(rows.size())),
              odbc_error_body("22012", 1, "ERROR: division by zero;\n"
                                          "Error while fetching the next result"));
}

}  // namespace
