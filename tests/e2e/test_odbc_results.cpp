// Results on both drivers: layouts, column names, statements with and
// without result sets, several result sets, the table list; and column
// values: character references and CDATA chunks, non-ASCII text whatever
// the caller's locale, binary columns, blank trimming, long values.

#include <regex>

#include "e2e.h"

namespace {

const std::string SHORT = "<Format><Short/></Format>";
const std::string CDATA = "<Format><Short/><Data Type=\"cdata\"/></Format>";

class Results : public QueryTest {
protected:
    void SetUp() override { ASSERT_TRUE(pg::ready()); }

    // The Short answer for one column `name` holding `content` in one row.
    static std::string short_value(std::string_view name, std::string_view content,
                                   bool cdata = false)
    {
        const std::string heading =
            cdata ? "<![CDATA[" + std::string(name) + "]]>" : std::string(name);
        return "<Result State=\"00000\">\n<Columns>\n  <Column>" + heading +
               "</Column>\n</Columns>\n<Row>\n    <Column>" + std::string(content) +
               "</Column>\n</Row>\n</Result>\n";
    }

    // The same rows as the people table of the shared PostgreSQL database.
    SqliteDb lite{"CREATE TABLE people (id INTEGER, name VARCHAR(40));"
                  "INSERT INTO people VALUES (1, 'Smith & Co'), (2, NULL);"};
};

const std::string LONG_BODY =
    "<Result State=\"00000\">\n"
    "<Row>\n    <Column Name=\"ID\">1</Column>\n    <Column Name=\"NAME\">Smith &amp; Co</Column>\n"
    "</Row>\n"
    "<Row>\n    <Column Name=\"ID\">2</Column>\n    <Column Name=\"NAME\" isnull=\"yes\" />\n"
    "</Row>\n"
    "</Result>\n";
const std::string SHORT_HEAD = "<Result State=\"00000\">\n<Columns>\n  <Column>ID</Column>\n"
                               "  <Column>NAME</Column>\n</Columns>\n";
const std::string SHORT_BODY = SHORT_HEAD +
    "<Row>\n    <Column>1</Column>\n    <Column>Smith &amp; Co</Column>\n</Row>\n"
    "<Row>\n    <Column>2</Column>\n    <Column isnull=\"yes\" />\n</Row>\n"
    "</Result>\n";
// With the driver's cursor name replaced by "Table".
const std::string TABLETAGS_BODY =
    "<Result State=\"00000\">\n"
    "<Table>\n    <ID>1</ID>\n    <NAME>Smith &amp; Co</NAME>\n</Table>\n"
    "<Table>\n    <ID>2</ID>\n    <NAME/>\n</Table>\n"
    "</Result>\n";

// Without rows a layout keeps its head and tail.
TEST_F(Results, LayoutsAreByteExact)
{
    // TableTags names rows after the cursor, which embeds a handle address.
    const struct {
        std::string conn;
        std::regex comment, cursor;
    } sources[] = {
        {lite.conn(),
         std::regex("<!--\r\n  Driver: sqlite3odbc\\.so \\(\\S+\\)\r\n  DBMS: SQLite \\(\\S+\\)\r\n"
                    "  Database: " + lite.path() + "\r\n-->\r\n"),
         std::regex("CUR_[0-9A-F]{16}")},
        {pg::conn(),
         std::regex("<!--\r\n  Driver: psqlodbcw\\.so \\(\\S+\\)\r\n"
                    "  DBMS: PostgreSQL \\(\\S+\\)\r\n  Database: quillet\r\n-->\r\n"),
         std::regex("SQL_CUR0x[0-9a-f]+")},
    };
    const struct {
        const char *format;
        const std::string &rows;
        std::string none;
    } layouts[] = {
        {"", LONG_BODY, EMPTY_RESULT},
        {"<Format><Long/></Format>", LONG_BODY, EMPTY_RESULT},
        {"<Format><Standard/></Format>", LONG_BODY, EMPTY_RESULT},
        {"<Format><Short/><Data/></Format>", SHORT_BODY, SHORT_HEAD + "</Result>\n"},
        {"<Format><TableTags/></Format>", TABLETAGS_BODY, EMPTY_RESULT},
    };
    const std::string sql = "SELECT id AS \"ID\", name AS \"NAME\" FROM people";
    for (const auto &src : sources) {
        for (const auto &l : layouts) {
            SCOPED_TRACE(src.conn + " " + l.format);
            const Answer a = ask(sql_request(src.conn, sql + " ORDER BY id", l.format));
            EXPECT_EQ(a.status, 0);
            EXPECT_TRUE(std::regex_match(a.comment, src.comment)) << a.comment;
            EXPECT_EQ(std::regex_search(a.body, src.cursor),
                      std::string_view(l.format).find("TableTags") != std::string_view::npos)
                << a.body;
            EXPECT_EQ(std::regex_replace(a.body, src.cursor, "Table"), l.rows);
            EXPECT_EQ(ask(sql_request(src.conn, sql + " WHERE id < 0", l.format)).body, l.none);
        }
    }
}

TEST_F(Results, ColumnNamesAreEscapedForTheirPlace)
{
    // SQLite allows an empty column name; the answer numbers it instead.
    const std::string sql = "SELECT 1 AS \"a\"\"b\", 2 AS \"x<y\", 3 AS \"\"";
    const std::pair<const char *, std::string> cases[] = {
        {"<Format><Long/></Format>",
         "<Result State=\"00000\">\n<Row>\n    <Column Name='a\"b'>1</Column>\n"
         "    <Column Name=\"x&lt;y\">2</Column>\n    <Column Name=\"Column3\">3</Column>\n"
         "</Row>\n</Result>\n"},
        {"<Format><Short/></Format>",
         "<Result State=\"00000\">\n<Columns>\n  <Column>a\"b</Column>\n"
         "  <Column>x&lt;y</Column>\n  <Column>Column3</Column>\n</Columns>\n"},
        {"<Format><Short/><Data Type=\"cdata\"/></Format>",
         "<Result State=\"00000\">\n<Columns>\n  <Column><![CDATA[a\"b]]></Column>\n"
         "  <Column><![CDATA[x<y]]></Column>\n  <Column><![CDATA[Column3]]></Column>\n"
         "</Columns>\n"},
    };
    for (const auto &[format, expected] : cases) {
        SCOPED_TRACE(format);
        // The head, for Short: the rows are the same in every case.
        EXPECT_EQ(ask(sql_request(lite.conn(), sql, format)).body.substr(0, expected.size()),
                  expected);
    }
}

TEST_F(Results, OneResultElementPerResultTheDriverReports)
{
    const std::string a1 = one_value("a", "1"), b2 = one_value("b", "2"), none = EMPTY_RESULT;
    // SQLite runs a text of several statements as one and reports a single
    // result without columns; PostgreSQL reports one result per statement.
    const struct {
        std::string conn, sql, expected;
    } cases[] = {
        {lite.conn(), "UPDATE people SET name = 'x' WHERE id = 2", none},
        {lite.conn(), "CREATE TABLE z (a INTEGER); INSERT INTO z VALUES (1)", none},
        {pg::conn(), "UPDATE people SET name = name WHERE id = 1", none},
        {pg::conn(), "CREATE TEMP TABLE z (a int); INSERT INTO z VALUES (1)", none + none},
        {pg::conn(), "SELECT 1 AS a; SELECT 2 AS b", a1 + b2},
        {pg::conn(), "CREATE TEMP TABLE y (a int); SELECT 1 AS a", none + a1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sql);
        const Answer a = ask(sql_request(c.conn, c.sql));
        EXPECT_EQ(a.status, 0);
        EXPECT_NE(a.comment, "");
        EXPECT_EQ(a.body, c.expected);
    }
}

TEST_F(Results, TableListHasTheDriversColumns)
{
    SqliteDb tables("CREATE TABLE u (a INTEGER); CREATE VIEW v AS SELECT a FROM u;");
    auto column = [](const std::string &v) { return "    <Column>" + v + "</Column>\n"; };
    const std::string null = "    <Column isnull=\"yes\" />\n";
    auto row = [&](const std::string &qualifier, const std::string &owner, const char *name,
                   const char *type, const std::string &remarks) {
        return "<Row>\n" + qualifier + owner + column(name) + column(type) + remarks + "</Row>\n";
    };
    const std::string head =
        "<Result State=\"00000\">\n<Columns>\n  <Column>TABLE_QUALIFIER</Column>\n"
        "  <Column>TABLE_OWNER</Column>\n  <Column>TABLE_NAME</Column>\n"
        "  <Column>TABLE_TYPE</Column>\n  <Column>REMARKS</Column>\n</Columns>\n";
    // SQLite has neither catalogs nor schemas nor remarks; PostgreSQL gives
    // its database, schema and an empty remark.
    const std::string db = column("tablelist"), schema = column("public"), remark = column("");
    const std::pair<std::string, std::string> cases[] = {
        {tables.conn(), row(null, null, "u", "TABLE", null) + row(null, null, "v", "VIEW", null)},
        {pg::conn("", "tablelist"),
         row(db, schema, "t", "TABLE", remark) + row(db, schema, "w", "VIEW", remark)},
    };
    for (const auto &[conn, rows] : cases) {
        SCOPED_TRACE(conn);
        const Answer a = ask(request(conn, "<Tables/><Format><Short/></Format>"));
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.body, head + rows + "</Result>\n");
    }
}

TEST_F(Results, NonAsciiTextWhateverTheCallersLocale)
{
    // The SQLite driver takes SQL text in the process's character set and
    // the PostgreSQL driver converts with the environment's LC_CTYPE: the
    // server must get this right on its own. Both an untyped literal and a
    // VARCHAR go through (PostgreSQL reports the first as long text).
    const std::string sql =
        "SELECT 'h\u00e9llo \u20ac & <>' AS t, CAST('\u00fc' AS VARCHAR(10)) AS v";
    const std::string rows =
        "<Result State=\"00000\">\n<Row>\n    <Column Name=\"t\">h&#xe9;llo &#x20ac; &amp; &lt;&gt;"
        "</Column>\n    <Column Name=\"v\">&#xfc;</Column>\n</Row>\n</Result>\n";
    const std::vector<std::string> locales[] = {{}, {"LANG", "LC_ALL", "LC_CTYPE"}, {"LC_ALL=C"}};
    for (const std::string &conn : {lite.conn(), pg::conn()}) {
        for (const auto &env : locales) {
            SCOPED_TRACE(conn + (env.empty() ? "" : " " + env.back()));
            const Answer a = ask(sql_request(conn, sql), {"", env});
            EXPECT_EQ(a.status, 0);
            EXPECT_EQ(a.body, rows);
        }
    }
}

// Chunks hold characters, not bytes: none is split, and a character
// beyond U+FFFF, two units in the driver's text, stays whole across an edge.
TEST_F(Results, LongValuesArriveInChunksOf1023Characters)
{
    auto sections = [](std::string_view ch, std::initializer_list<std::size_t> sizes) {
        std::string s;
        for (const std::size_t n : sizes) s += "<![CDATA[" + repeat(ch, n) + "]]>";
        return s;
    };
    const std::string euro = "\u20ac";
    const struct {
        std::string_view ch;
        std::size_t n;
        bool cdata;
        std::string content;
    } cases[] = {
        {"x", 1023, true, sections("x", {1023})},
        {"x", 1024, true, sections("x", {1023, 1})},
        {"x", 3000, true, sections("x", {1023, 1023, 954})},
        {euro, 1500, true, sections(euro, {1023, 477})},
        {euro, 1500, false, repeat("&#x20ac;", 1500)},
    };
    for (const auto &c : cases) {
        const std::string n = std::to_string(c.n), ch(c.ch);
        const std::pair<std::string, std::string> sources[] = {
            {lite.conn(), "SELECT replace(substr(hex(zeroblob(" + n + ")), 1, " + n + "), '0', '" +
                              ch + "') AS v"},
            {pg::conn(), "SELECT repeat('" + ch + "', " + n + ") AS v"},
        };
        for (const auto &[conn, sql] : sources) {
            SCOPED_TRACE(sql + (c.cdata ? " cdata" : ""));
            const Answer a = ask(sql_request(conn, sql, c.cdata ? CDATA : SHORT));
            EXPECT_EQ(a.body, short_value("v", c.content, c.cdata));
        }
    }
    const std::string sql = "SELECT repeat('a', 1022) || chr(128512) || 'b' AS v";
    EXPECT_EQ(ask(sql_request(pg::conn(), sql, SHORT)).body,
              short_value("v", repeat("a", 1022) + "&#x1f600;b"));
    EXPECT_EQ(ask(sql_request(pg::conn(), sql, CDATA)).body,
              short_value("v", sections("a", {1022}) + "<![CDATA[\U0001F600b]]>", true));
}

TEST_F(Results, BinaryColumnsInEachOutputForm)
{
    // The "sql" form is the driver's own text: SQLite writes a quoted
    // literal, PostgreSQL bare lower-case hexadecimal digits. A long value
    // of zero bytes shows that each block of 1024 bytes is encoded on its
    // own (1024 = 3 * 341 + 1).
    const std::string zeros = repeat("AAAA", 341) + "AA==" + repeat("AAAA", 158) + "AAA=";
    const struct {
        std::string conn, five, long_zeros, sql_form;
    } sources[] = {
        {lite.conn(), "X'00FF10AB7F'", "zeroblob(1500)", "X&apos;00FF10AB7F&apos;"},
        {pg::conn(), "'\\x00ff10ab7f'::bytea", "decode(repeat('00', 1500), 'hex')", "00ff10ab7f"},
    };
    for (const auto &src : sources) {
        // Output "none" leaves binary columns out; with none left the
        // result is empty, not missing.
        const struct {
            std::string value, output, body;
        } cases[] = {
            {src.five, "sql", short_value("b", src.sql_form)},
            {src.five, "base64", short_value("b", "AP8Qq38=")},
            {src.long_zeros, "base64", short_value("b", zeros)},
            {"1 AS id, " + src.five, "none", short_value("id", "1")},
            {src.five, "none", EMPTY_RESULT},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(src.conn + " " + c.value + " " + c.output);
            const std::string format =
                "<Format><Short/><Binary Output=\"" + c.output + "\"/></Format>";
            EXPECT_EQ(ask(sql_request(src.conn, "SELECT " + c.value + " AS b", format)).body,
                      c.body);
        }
    }
}

TEST_F(Results, TrailingBlanksAreTrimmedFromFixedLengthTextOnly)
{
    // PostgreSQL pads CHAR(10) with blanks; SQLite does not, so only
    // PostgreSQL shows the difference.
    const std::string sql =
        "SELECT CAST('ab' AS CHAR(10)) AS c, CAST('ab        ' AS VARCHAR(10)) AS v";
    for (const auto &[format, c] : {std::pair{"<Long/>", "ab        "},
                                    {"<Long/><TruncateTrailingBlanks/>", "ab"}}) {
        SCOPED_TRACE(format);
        const std::string layout = "<Format>" + std::string(format) + "</Format>";
        EXPECT_EQ(ask(sql_request(pg::conn(), sql, layout)).body,
                  "<Result State=\"00000\">\n<Row>\n    <Column Name=\"c\">" + std::string(c) +
                      "</Column>\n    <Column Name=\"v\">ab        </Column>\n</Row>\n</Result>\n");
    }
}

TEST_F(Results, TenMegabyteValueIsStreamedWhole)
{
    // PostgreSQL only: the SQLite driver converts the whole rest of a value
    // for every chunk, so ten megabytes would take minutes there.
    constexpr std::size_t size = 10u << 20;
    const std::string sql = "SELECT repeat('x', " + std::to_string(size) + ") AS v";
    const Answer a = ask(sql_request(pg::conn(), sql, SHORT), with_input("", 60s));
    EXPECT_EQ(a.status, 0);
    // Compared without printing ten megabytes on failure.
    const std::string expected = short_value("v", std::string(size, 'x'));
    EXPECT_EQ(a.body.size(), expected.size());
    EXPECT_TRUE(a.body == expected) << a.body.substr(0, 200);
}

}  // namespace
