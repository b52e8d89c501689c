// ODBC failures: the error result with the driver's diagnostic, escaped,
// from connecting, executing and fetching.

#include "query_test.h"

namespace {

class OdbcErrors : public QueryTest {};

TEST_F(OdbcErrors, FailuresAnswerWithTheDriversDiagnostic)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite;
    const std::string pg_exec = ";\nError while executing the query";
    const struct {
        std::string conn, sql, state;
        long native;
        std::string text;
    } cases[] = {
        // The driver manager fails to load the driver with a warning state.
        {"Driver=NoSuchDriver", "SELECT 1", "01000", 0,
         "[unixODBC][Driver Manager]Can't open lib 'NoSuchDriver' : file not found"},
        {"DSN=nosuch", "SELECT 1", "IM002", 0,
         "[unixODBC][Driver Manager]Data source name not found and no default driver specified"},
        {"Driver=SQLite3;Database=/nonexistent/dir/x.db", "SELECT 1", "S1000", 14,
         "[SQLite]connect failed"},
        // The later Username overrides the first.
        {pg::conn(";Username=nobody"), "SELECT 1", "08001", 101,
         "connection to server at \"127.0.0.1\", port " + std::to_string(pg::port()) +
             " failed: FATAL:  role \"nobody\" does not exist\n"},
        // SQLite reports every failure as S1000, PostgreSQL with its own states.
        {lite.conn(), "SELECT <", "S1000", 1, "[SQLite]near \"&lt;\": syntax error (1)"},
        {pg::conn(), "SELECT <", "42601", 1, "ERROR: syntax error at or near \"&lt;\"" + pg_exec},
        {lite.conn(), "SELECT * FROM \"a&<b\"", "S1000", 1,
         "[SQLite]no such table: a&amp;&lt;b (1)"},
        {pg::conn(), "SELECT * FROM \"a&<b\"", "42P01", 1,
         "ERROR: relation \"a&amp;&lt;b\" does not exist" + pg_exec},
        {lite.conn(), "SELECT 1; SELECT 2", "S1000", -1, "[SQLite]only one SQL statement allowed"},
        {pg::conn(), "SELECT 1/(x-3) FROM generate_series(1,5) x", "22012", 1,
         "ERROR: division by zero" + pg_exec},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.conn + " " + c.sql);
        const Answer a = ask(sql_request(c.conn, c.sql));
        // pipe ends with status 1 after a failed request, answered or not.
        EXPECT_EQ(a.status, 1);
        EXPECT_EQ(a.comment, "");
        EXPECT_EQ(a.body, odbc_error_body(c.state, c.native, c.text));
    }
}

TEST_F(OdbcErrors, FailedFetchClosesTheResultAndReports)
{
    ASSERT_TRUE(pg::ready());
    // Fetching two rows at a time moves the error of the third to SQLFetch.
    const Answer a = ask(sql_request(pg::conn(";UseDeclareFetch=1;Fetch=2"),
                                     "SELECT 1/(x-3) AS q FROM generate_series(1,5) x"));
    EXPECT_EQ(a.status, 1);
    const std::string rows =
        "<Result State=\"00000\">\n"
        "<Row>\n    <Column Name=\"q\">0</Column>\n</Row>\n"
        "<Row>\n    <Column Name=\"q\">-1</Column>\n</Row>\n"
        "</Result>\n";
    ASSERT_EQ(a.body.substr(0, rows.size()), rows);
    // The error result follows with a prolog of its own.
    std::string error;
    ASSERT_TRUE(split_prolog(a.body.substr(rows.size()), &error));
    EXPECT_EQ(error, odbc_error_body("22012", 1,
                                     "ERROR: division by zero;\n"
                                     "Error while fetching the next result"));
}

}  // namespace
