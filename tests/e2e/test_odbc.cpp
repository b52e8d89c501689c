// Both drivers: PostgreSQL gives the bytes test_examples pins on SQLite;
// what depends on the driver or on a value's size is checked on both; and
// procedure calls, transactions and the drivers' failures.

#include "e2e.h"

namespace {

using namespace std::string_literals;

class Results : public ServerTest {
protected:
    void SetUp() override { ASSERT_TRUE(pg::ready()); }

    // The same rows as the people table of the shared PostgreSQL database.
    SqliteDb lite{"CREATE TABLE people (id INTEGER, name VARCHAR(40));"
                  "INSERT INTO people VALUES (1, 'Smith & Co'), (2, NULL);"};
};
using Requests = Results;

// The Short answer of one row with one column v holding `content`.
std::string short_value(std::string_view content, bool cdata = false)
{
    return std::string("<Result State=\"00000\">\n<Columns>\n  <Column>") +
           (cdata ? "<![CDATA[v]]>" : "v") + "</Column>\n</Columns>\n<Row>\n    <Column>" +
           std::string(content) + "</Column>\n</Row>\n</Result>\n";
}
const std::string SHORT = "<Format><Short/></Format>",
                  CDATA = "<Format><Short/><Data Type=\"cdata\"/></Format>";

TEST_F(Results, LayoutsResultsAndTableListOnBothDrivers)
{
    // TableTags names rows after the cursor, which embeds a handle address.
    const std::regex cursor("CUR_[0-9A-F]{16}|SQL_CUR0x[0-9a-f]+");
    for (const std::string &format : {std::string(), "<Format><Standard/></Format>"s, SHORT,
                                      CDATA, "<Format><TableTags/></Format>"s}) {
        for (const std::string where : {"", " WHERE id < 0"}) {
            const std::string sql = "SELECT id AS \"ID\", name AS \"NAME\" FROM people" + where;
            SCOPED_TRACE(sql + " " + format);
            const ProcResult a = query(sql_request(lite.conn(), sql + " ORDER BY id", format)),
                             b = query(sql_request(pg::conn(), sql + " ORDER BY id", format));
            EXPECT_EQ(where.empty(), holds(a.out, {"Smith &"}));
            const auto same = [&](ProcResult r) {
                return r.out = std::regex_replace(r.out, cursor, "C"), r;
            };
            EXPECT_EQ(same(b), exited(0, same(a).out));
        }
    }
    // PostgreSQL answers each statement; its table list has schema and remarks.
    EXPECT_EQ(query(sql_request(pg::conn(), "CREATE TEMP TABLE z (a int); SELECT 1 AS a; "
                                            "INSERT INTO z VALUES (1)")),
              exited(0, EMPTY_RESULT + one_value("a", "1") + EMPTY_RESULT));
    auto row = [](const char *name, const char *type) {
        return "<Row>\n    <Column>tablelist</Column>\n    <Column>public</Column>\n    <Column>" +
               std::string(name) + "</Column>\n    <Column>" + type + "</Column>\n    <Column>"
               "</Column>\n</Row>\n";
    };
    EXPECT_TRUE(holds(query(request(pg::conn("", "tablelist"), "<Tables/>" + SHORT)).out,
                      {"<Column>REMARKS</Column>\n</Columns>\n" + row("t", "TABLE") +
                       row("w", "VIEW") + "</Result>\n"}));
}

TEST_F(Results, BinaryColumnsAndBlankTrimmingByDriver)
{
    // Each 1024 bytes (3 * 341 + 1) encoded on their own; 0xFBFFFE: "+//+".
    const std::string rest = "AA==" + repeat("AAAA", 158) + "AAA=",
                      base64 = "<Binary Output=\"base64\"/>";
    const std::string pad = "CAST('ab' AS CHAR(10)) AS v";
    const struct { bool pg; std::string columns, format, content; } cases[] = {
        // The "sql" form, the driver's own text: test_examples.
        {false, "zeroblob(1500) AS v", base64, repeat("AAAA", 341) + rest},
        {true, "decode('fbfffe' || repeat('00', 1497), 'hex') AS v", base64,
         "+//+" + repeat("AAAA", 340) + rest},
        {true, "1 AS v, '\\x00'::bytea AS b", "<Binary Output=\"none\"/>", "1"},
        // Only PostgreSQL pads CHAR(10).
        {true, pad, "", "ab        "},
        {true, pad, "<TruncateTrailingBlanks/>", "ab"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.columns + " " + c.format);
        EXPECT_EQ(query(sql_request(c.pg ? pg::conn() : lite.conn(), "SELECT " + c.columns,
                                    "<Format><Short/>" + c.format + "</Format>")),
                  exited(0, short_value(c.content)));
    }
}

// Chunks hold characters, not bytes: none is split, and a character beyond
// U+FFFF, two units in the driver's text, stays whole across an edge.
TEST_F(Results, LongValuesArriveInChunksOf1023Characters)
{
    const std::string euro = "\u20ac", cdata = "<![CDATA[", end = "]]>";
    const std::string chunks = cdata + repeat(euro, 1023) + end + cdata + repeat(euro, 1023) + end +
                               cdata + repeat(euro, 54) + end;
    for (const auto &[conn, sql] : {
             std::pair{lite.conn(), "SELECT replace(substr(hex(zeroblob(2100)), 1, 2100), '0', '" +
                                        euro + "') AS v"},
             {pg::conn(), "SELECT repeat('" + euro + "', 2100) AS v"}}) {
        EXPECT_EQ(query(sql_request(conn, sql, CDATA)), exited(0, short_value(chunks, true)));
        EXPECT_EQ(query(sql_request(conn, sql, SHORT)),
                  exited(0, short_value(repeat("&#x20ac;", 2100))));
    }
    const std::string edge = "SELECT repeat('a', 1022) || chr(128512) || 'b' AS v";
    EXPECT_EQ(query(sql_request(pg::conn(), edge, CDATA)).out,
              short_value(cdata + repeat("a", 1022) + end + cdata + "\U0001F600b" + end, true));
    // Ten megabytes whole (PostgreSQL: SQLite converts the rest every chunk).
    const ProcResult r = query(sql_request(pg::conn(), "SELECT repeat('x', 10485760) AS v", SHORT),
                               with_input("", 60s));
    // Never print 10 MB.
    EXPECT_TRUE(r.status == 0 && r.out == short_value(std::string(10u << 20, 'x')))
        << "status " << r.status << ", " << r.out.size() << " bytes";
}

std::string transaction(const std::vector<std::string> &statements)
{
    std::string t = "<Transaction>";
    for (const std::string &s : statements) t += "<Sql>" + xml_text(s) + "</Sql>";
    return t + "</Transaction>";
}

// An InOut parameter's value after SELECT f(?)'s result; Length 1024 unless given.
TEST_F(Requests, ProcedureElementFollowsTheResults)
{
    const std::string name = "<ProcedureName>f_inout</ProcedureName>",
                      inout = "Index=\"1\" Direction=\"InOut\" Type=\"integer\"";
    EXPECT_EQ(query(request(pg::conn(), "<Procedure>" + name + "<Parameter " + inout +
                                            ">5</Parameter></Procedure>")),
              exited(0, one_value("x", "105") + "<Procedure>\n    " + name + "\n    <Parameter " +
                            inout + " Length=\"1024\" >105</Parameter>\n</Procedure>\n"));
}

// All statements commit together, or the first failure answers and rolls
// back the rest (a sequence shows that nothing after it ran).
TEST_F(Requests, TransactionCommitsTogetherOrRollsBack)
{
    pg::psql("DROP TABLE IF EXISTS tx; CREATE TABLE tx (n int);"
             "DROP SEQUENCE IF EXISTS tx_seq; CREATE SEQUENCE tx_seq;");
    lite.query("CREATE TABLE tx (n INTEGER);");
    const std::string ok = transaction(
        {"INSERT INTO tx VALUES (1)", "SELECT n FROM tx", "INSERT INTO tx VALUES (2)"});
    const std::string failing = transaction(
        {"INSERT INTO tx VALUES (3)", "INSERT INTO nosuch VALUES (4)", "SELECT nextval('tx_seq')"});
    const std::string pg_error = "ERROR: relation \"nosuch\" does not exist;\n"
                                 "Error while executing the query";
    for (const auto &[conn, error] :
         {std::pair{lite.conn(), odbc_error_body("S1000", 1, "[SQLite]no such table: nosuch (1)")},
          {pg::conn(), odbc_error_body("42P01", 1, pg_error)}}) {
        EXPECT_EQ(query(request(conn, ok)), exited(0, EMPTY_RESULT));
        EXPECT_EQ(query(request(conn, failing)), exited(1, error));
    }
    EXPECT_EQ(lite.query("SELECT group_concat(n) FROM tx;"), "1,2\n");
    EXPECT_EQ(pg::psql("SELECT string_agg(n::text, ',' ORDER BY n) FROM tx;"), "1,2\n");
    EXPECT_EQ(pg::psql("SELECT is_called FROM tx_seq;"), "f\n");

    // The SQLite driver keeps a failed transaction's write lock: not reused.
    InetdSession session;
    EXPECT_TRUE(holds(ask(session.fd(), request(lite.conn(), failing)), {"nosuch"}));
    EXPECT_EQ(lite.query("INSERT INTO tx VALUES (5); SELECT group_concat(n) FROM tx;"), "1,2,5\n");
    EXPECT_EQ(session.finish(), CLEAN_EXIT);
}

// Every ODBC failure answers with the driver's diagnostic, escaped; status 1.
TEST_F(Requests, FailuresAnswerWithTheDriversDiagnostic)
{
    const std::string pg_exec = ";\nError while executing the query";
    const struct { std::string req, state; long native; std::string text; } cases[] = {
        // The driver manager fails to load the driver with a warning state.
        {sql_request("Driver=NoSuchDriver", "SELECT 1"), "01000", 0,
         "[unixODBC][Driver Manager]Can't open lib 'NoSuchDriver' : file not found"},
        // The later Username overrides the first.
        {sql_request(pg::conn(";Username=nobody"), "SELECT 1"), "08001", 101,
         "connection to server at \"127.0.0.1\", port " + std::to_string(pg::port()) +
             " failed: FATAL:  role \"nobody\" does not exist\n"},
        {sql_request(lite.conn(), "SELECT * FROM \"a&<b\""), "S1000", 1,
         "[SQLite]no such table: a&amp;&lt;b (1)"},
        // A failed call has no Procedure element.
        {request(pg::conn(), "<Procedure><ProcedureName>nosuch</ProcedureName>"
                             "<Parameter Index=\"1\" Direction=\"In\">1</Parameter></Procedure>"),
         "42883", 1, "ERROR: function nosuch(unknown) does not exist" + pg_exec},
    };
    for (const auto &c : cases)
        EXPECT_EQ(query(c.req), exited(1, odbc_error_body(c.state, c.native, c.text))) << c.req;

    // Two rows per fetch: the third's error follows them with its own prolog.
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
