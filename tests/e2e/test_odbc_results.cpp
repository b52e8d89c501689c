// Results on both drivers. test_examples pins every layout byte for byte on
// SQLite; here PostgreSQL has to give the same bytes, and what depends on
// the driver or on the size of a value is checked on both: several results,
// the table list, non-ASCII text whatever the caller's locale, binary
// columns, blank trimming and long values in chunks.

#include <regex>

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

// The Short answer of one row with one column v holding `content`.
std::string short_value(std::string_view content, bool cdata = false)
{
    return std::string("<Result State=\"00000\">\n<Columns>\n  <Column>") +
           (cdata ? "<![CDATA[v]]>" : "v") + "</Column>\n</Columns>\n<Row>\n    <Column>" +
           std::string(content) + "</Column>\n</Row>\n</Result>\n";
}
const std::string SHORT = "<Format><Short/></Format>",
                  CDATA = "<Format><Short/><Data Type=\"cdata\"/></Format>";

TEST_F(Results, EveryLayoutIsTheSameOnBothDrivers)
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
}

// SQLite runs a text of several statements as one and reports a single
// result without columns; PostgreSQL reports one result per statement. Its
// table list has catalog, schema and remarks, SQLite's (in test_examples) none.
TEST_F(Results, ResultsAndTableListAsTheDriverReportsThem)
{
    EXPECT_EQ(query(sql_request(lite.conn(), "CREATE TABLE z (a int); INSERT INTO z VALUES (1)")),
              exited(0, EMPTY_RESULT));
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

TEST_F(Results, NonAsciiTextWhateverTheCallersLocale)
{
    // The SQLite driver takes SQL text in the process's character set and
    // the PostgreSQL driver converts with LC_CTYPE: the server must set
    // both right itself. PostgreSQL reports the untyped literal as long text.
    const std::string sql =
        "SELECT 'h\u00e9llo \u20ac & <>' AS t, CAST('\u00fc' AS VARCHAR(10)) AS v";
    const std::string rows =
        "<Result State=\"00000\">\n<Row>\n    <Column Name=\"t\">h&#xe9;llo &#x20ac; &amp; "
        "&lt;&gt;</Column>\n    <Column Name=\"v\">&#xfc;</Column>\n</Row>\n</Result>\n";
    for (const std::string &conn : {lite.conn(), pg::conn()}) {
        for (const std::vector<std::string> &env : {std::vector<std::string>{},
                                                    {"LANG", "LC_ALL", "LC_CTYPE"}, {"LC_ALL=C"}}) {
            SCOPED_TRACE(conn + (env.empty() ? "" : " " + env.back()));
            EXPECT_EQ(query(sql_request(conn, sql), {"", env}), exited(0, rows));
        }
    }
}

TEST_F(Results, BinaryColumnsAndBlankTrimmingByDriver)
{
    // Each block of 1024 bytes is encoded on its own (1024 = 3 * 341 + 1).
    const std::string zeros = repeat("AAAA", 341) + "AA==" + repeat("AAAA", 158) + "AAA=";
    const std::string pad = "CAST('ab' AS CHAR(10)) AS v";
    const struct {
        bool pg;
        std::string columns, format, content;
    } cases[] = {
        // The "sql" form is the driver's own text.
        {false, "X'00FF10AB7F' AS v", "<Binary Output=\"sql\"/>", "X&apos;00FF10AB7F&apos;"},
        {true, "'\\x00ff10ab7f'::bytea AS v", "<Binary Output=\"sql\"/>", "00ff10ab7f"},
        {false, "zeroblob(1500) AS v", "<Binary Output=\"base64\"/>", zeros},
        {true, "decode(repeat('00', 1500), 'hex') AS v", "<Binary Output=\"base64\"/>", zeros},
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
    // Ten megabytes arrive whole, chunk after chunk (PostgreSQL only: the
    // SQLite driver converts the whole rest of a value for every chunk).
    const std::string big(10u << 20, 'x');
    const ProcResult r = query(sql_request(pg::conn(), "SELECT repeat('x', 10485760) AS v", SHORT),
                               with_input("", 60s));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == short_value(big)) << r.out.size() << " bytes";  // never print 10 MB
}

}  // namespace
