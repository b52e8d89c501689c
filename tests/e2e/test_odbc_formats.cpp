// Result layouts, column names, statements with and without result sets,
// several result sets and the table list, on both drivers.

#include <regex>

#include "query_test.h"

namespace {

constexpr const char *PEOPLE_SQL = "SELECT id AS \"ID\", name AS \"NAME\" FROM people ORDER BY id";
// The same rows as the people table of the shared PostgreSQL database.
constexpr const char *SQLITE_PEOPLE =
    "CREATE TABLE people (id INTEGER, name VARCHAR(40));"
    "INSERT INTO people VALUES (1, 'Smith & Co'), (2, NULL);";

class Formats : public QueryTest {};

const std::string LONG =
    "<Result State=\"00000\">\n"
    "<Row>\n"
    "    <Column Name=\"ID\">1</Column>\n"
    "    <Column Name=\"NAME\">Smith &amp; Co</Column>\n"
    "</Row>\n"
    "<Row>\n"
    "    <Column Name=\"ID\">2</Column>\n"
    "    <Column Name=\"NAME\" isnull=\"yes\" />\n"
    "</Row>\n"
    "</Result>\n";
const std::string SHORT_HEAD =
    "<Result State=\"00000\">\n"
    "<Columns>\n"
    "  <Column>ID</Column>\n"
    "  <Column>NAME</Column>\n"
    "</Columns>\n";
const std::string SHORT = SHORT_HEAD +
                          "<Row>\n"
                          "    <Column>1</Column>\n"
                          "    <Column>Smith &amp; Co</Column>\n"
                          "</Row>\n"
                          "<Row>\n"
                          "    <Column>2</Column>\n"
                          "    <Column isnull=\"yes\" />\n"
                          "</Row>\n"
                          "</Result>\n";
// With the driver's cursor name replaced by "Table".
const std::string TABLETAGS =
    "<Result State=\"00000\">\n"
    "<Table>\n"
    "    <ID>1</ID>\n"
    "    <NAME>Smith &amp; Co</NAME>\n"
    "</Table>\n"
    "<Table>\n"
    "    <ID>2</ID>\n"
    "    <NAME/>\n"
    "</Table>\n"
    "</Result>\n";

TEST_F(Formats, LayoutsAreByteExact)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite(SQLITE_PEOPLE);
    // TableTags names rows after the cursor, which embeds a handle address.
    const struct {
        std::string conn;
        std::regex comment, cursor;
    } sources[] = {
        {lite.conn(),
         std::regex("<!--\r\n  Driver: sqlite3odbc\\.so \\(\\S+\\)\r\n  DBMS: SQLite \\(\\S+\\)\r\n"
                    "  Database: " +
                    lite.path() + "\r\n-->\r\n"),
         std::regex("CUR_[0-9A-F]{16}")},
        {pg::conn(),
         std::regex(
             "<!--\r\n  Driver: psqlodbcw\\.so \\(\\S+\\)\r\n  DBMS: PostgreSQL \\(\\S+\\)\r\n"
             "  Database: quillet\r\n-->\r\n"),
         std::regex("SQL_CUR0x[0-9a-f]+")},
    };
    const std::pair<const char *, const std::string &> layouts[] = {
        {"", LONG},
        {"<Format><Long/></Format>", LONG},
        {"<Format><Standard/></Format>", LONG},
        {"<Format><Short/><Data/></Format>", SHORT},
        {"<Format><TableTags/></Format>", TABLETAGS},
    };
    for (const auto &src : sources) {
        for (const auto &[format, expected] : layouts) {
            SCOPED_TRACE(src.conn + " " + format);
            const Answer a = ask(sql_request(src.conn, PEOPLE_SQL, format));
            EXPECT_EQ(a.status, 0);
            EXPECT_TRUE(std::regex_match(a.comment, src.comment)) << a.comment;
            std::string body = a.body;
            if (std::string_view(format).find("TableTags") != std::string_view::npos) {
                EXPECT_TRUE(std::regex_search(body, src.cursor)) << body;
                body = std::regex_replace(body, src.cursor, "Table");
            }
            EXPECT_EQ(body, expected);
        }
    }
}

TEST_F(Formats, NoRowsGiveHeadAndTail)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite(SQLITE_PEOPLE);
    const std::string sql = "SELECT id AS \"ID\", name AS \"NAME\" FROM people WHERE id < 0";
    const std::pair<const char *, std::string> layouts[] = {
        {"<Format><Long/></Format>", EMPTY_RESULT},
        {"<Format><Short/></Format>", SHORT_HEAD + "</Result>\n"},
        {"<Format><TableTags/></Format>", EMPTY_RESULT},
    };
    for (const std::string &conn : {lite.conn(), pg::conn()}) {
        for (const auto &[format, expected] : layouts) {
            SCOPED_TRACE(conn + " " + format);
            const Answer a = ask(sql_request(conn, sql, format));
            EXPECT_EQ(a.status, 0);
            EXPECT_EQ(a.body, expected);
        }
    }
}

TEST_F(Formats, ColumnNamesAreEscapedForTheirPlace)
{
    // SQLite allows an empty column name; the answer numbers it instead.
    SqliteDb lite;
    const std::string sql = "SELECT 1 AS \"a\"\"b\", 2 AS \"x<y\", 3 AS \"\"";
    const std::pair<const char *, std::string> cases[] = {
        {"<Format><Long/></Format>",
         "<Result State=\"00000\">\n<Row>\n"
         "    <Column Name='a\"b'>1</Column>\n"
         "    <Column Name=\"x&lt;y\">2</Column>\n"
         "    <Column Name=\"Column3\">3</Column>\n"
         "</Row>\n</Result>\n"},
        {"<Format><Short/></Format>",
         "<Result State=\"00000\">\n<Columns>\n"
         "  <Column>a\"b</Column>\n"
         "  <Column>x&lt;y</Column>\n"
         "  <Column>Column3</Column>\n"
         "</Columns>\n"},
        {"<Format><Short/><Data Type=\"cdata\"/></Format>",
         "<Result State=\"00000\">\n<Columns>\n"
         "  <Column><![CDATA[a\"b]]></Column>\n"
         "  <Column><![CDATA[x<y]]></Column>\n"
         "  <Column><![CDATA[Column3]]></Column>\n"
         "</Columns>\n"},
    };
    for (const auto &[format, expected] : cases) {
        SCOPED_TRACE(format);
        // The head, for Short: the rows are the same in every case.
        EXPECT_EQ(ask(sql_request(lite.conn(), sql, format)).body.substr(0, expected.size()),
                  expected);
    }
}

TEST_F(Formats, OneResultElementPerResultTheDriverReports)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite(SQLITE_PEOPLE);
    const std::string rows_a =
        "<Result State=\"00000\">\n<Row>\n"
        "    <Column Name=\"a\">1</Column>\n</Row>\n</Result>\n";
    const std::string rows_b =
        "<Result State=\"00000\">\n<Row>\n"
        "    <Column Name=\"b\">2</Column>\n</Row>\n</Result>\n";
    const std::string empty = EMPTY_RESULT;
    // SQLite runs a text of several statements as one and reports a single
    // result without columns; PostgreSQL reports one result per statement.
    const struct {
        std::string conn, sql, expected;
    } cases[] = {
        {lite.conn(), "UPDATE people SET name = 'x' WHERE id = 2", empty},
        {lite.conn(), "CREATE TABLE z (a INTEGER); INSERT INTO z VALUES (1)", empty},
        {pg::conn(), "UPDATE people SET name = name WHERE id = 1", empty},
        {pg::conn(), "CREATE TEMP TABLE z (a int); INSERT INTO z VALUES (1)", empty + empty},
        {pg::conn(), "SELECT 1 AS a; SELECT 2 AS b", rows_a + rows_b},
        {pg::conn(), "CREATE TEMP TABLE y (a int); SELECT 1 AS a", empty + rows_a},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sql);
        const Answer a = ask(sql_request(c.conn, c.sql));
        EXPECT_EQ(a.status, 0);
        EXPECT_NE(a.comment, "");
        EXPECT_EQ(a.body, c.expected);
    }
}

TEST_F(Formats, TableListHasTheDriversColumns)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite("CREATE TABLE u (a INTEGER); CREATE VIEW v AS SELECT a FROM u;");
    const std::string head =
        "<Result State=\"00000\">\n<Columns>\n"
        "  <Column>TABLE_QUALIFIER</Column>\n"
        "  <Column>TABLE_OWNER</Column>\n"
        "  <Column>TABLE_NAME</Column>\n"
        "  <Column>TABLE_TYPE</Column>\n"
        "  <Column>REMARKS</Column>\n"
        "</Columns>\n";
    auto row = [](const std::string &qualifier, const std::string &owner, const char *name,
                  const char *type, const std::string &remarks) {
        return "<Row>\n" + qualifier + owner + "    <Column>" + name + "</Column>\n    <Column>" +
               type + "</Column>\n" + remarks + "</Row>\n";
    };
    const std::string null = "    <Column isnull=\"yes\" />\n";
    // SQLite has neither catalogs nor schemas nor remarks; PostgreSQL gives
    // its database, schema and an empty remark.
    const std::string sqlite_rows =
        row(null, null, "u", "TABLE", null) + row(null, null, "v", "VIEW", null);
    const std::string db = "    <Column>tablelist</Column>\n",
                      schema = "    <Column>public</Column>\n", remark = "    <Column></Column>\n";
    const std::string pg_rows =
        row(db, schema, "t", "TABLE", remark) + row(db, schema, "w", "VIEW", remark);
    const std::pair<std::string, std::string> cases[] = {
        {lite.conn(), head + sqlite_rows + "</Result>\n"},
        {pg::conn("", "tablelist"), head + pg_rows + "</Result>\n"},
    };
    for (const auto &[conn, expected] : cases) {
        SCOPED_TRACE(conn);
        const Answer a = ask(request(conn, "<Tables/><Format><Short/></Format>"));
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.body, expected);
    }
}

}  // namespace
