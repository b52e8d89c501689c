// What XML 1.0 cannot carry reaches the client as U+FFFD, in every format
// and text of an answer; characters beyond U+FFFF reach the driver whole.

#include <filesystem>

#include "e2e.h"

namespace {

const std::string FFFD = "\xEF\xBF\xBD", FFFD_REF = "&#xfffd;";
const std::string LONG_CDATA = "<Format><Long/><Data Type=\"cdata\"/></Format>";

const struct { const char *name; std::string format; } FORMATS[] = {
    {"Long", ""},
    {"Long cdata", LONG_CDATA},
    {"Short", "<Format><Short/></Format>"},
    {"Short cdata", "<Format><Short/><Data Type=\"cdata\"/></Format>"},
    {"TableTags", "<Format><TableTags/></Format>"},
    {"TableTags cdata", "<Format><TableTags/><Data Type=\"cdata\"/></Format>"},
};

// The answer parses as one document (an error after a result set brings a
// declaration of its own).
::testing::AssertionResult parses(const std::string &answer)
{
    static const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
    std::string body = answer;
    for (std::size_t at; (at = body.find(decl)) != std::string::npos;) body.erase(at, decl.size());
    std::string out;
    return run_tool({"xmllint", "--noout", "-"}, decl + "<answer>" + body + "</answer>", &out);
}

class Characters : public ServerTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pg::ready());
        pg::psql("CREATE OR REPLACE FUNCTION chars_ctl(a text) RETURNS text LANGUAGE sql "
                 "AS $$SELECT a || chr(1)$$;");
    }

    // Names, values and messages with characters XML refuses (DATE: 8-bit text).
    SqliteDb lite{"CREATE TABLE names(\"a\x01" "b\" INTEGER, \"c\x1F" "d\" TEXT, "
                  "\"e\xEF\xBF\xBE" "f\" DATE);"
                  "INSERT INTO names VALUES (1, char(2, 11, 12, 65535), char(14) || 'x' || char(8));"
                  "CREATE TABLE chk(n INTEGER CONSTRAINT \"c\x02<\" CHECK (n > 0));"
                  "CREATE TABLE guard(n INTEGER);"
                  "CREATE TRIGGER g BEFORE INSERT ON guard BEGIN "
                  "SELECT RAISE(ABORT, 'no\x01\x0B\xEF\xBF\xBF<&'); END;"
                  "CREATE TABLE nb(v TEXT);"};
};

// Each replacement, with its exact text.
TEST_F(Characters, ForbiddenCharactersAreWrittenAsReplacement)
{
    const std::string F = FFFD, R = FFFD_REF;
    const std::string procedure =
        "<Procedure><ProcedureName>chars_ctl</ProcedureName>"
        "<Parameter Index=\"0\" Direction=\"Out\" Type=\"varchar\"/>"
        "<Parameter Index=\"1\" Direction=\"In\">x</Parameter></Procedure>";
    const struct { std::string req, body; } cases[] = {
        {sql_request(lite.conn(), "SELECT char(1, 65, 11, 12, 65534, 65535, 9) AS v"),
         one_value("v", R + "A" + R + R + R + R + "\t")},
        {sql_request(lite.conn(), "SELECT char(1, 65, 65534) AS v", LONG_CDATA),
         one_value("v", "<![CDATA[" + F + "A" + F + "]]>")},
        {sql_request(lite.conn(), "SELECT * FROM names"),
         "<Result State=\"00000\">\n<Row>\n    <Column Name=\"a" + F + "b\">1</Column>\n"
             "    <Column Name=\"c" + F + "d\">" + R + R + R + R + "</Column>\n"
             "    <Column Name=\"e" + F + "f\">" + R + "x" + R + "</Column>\n</Row>\n</Result>\n"},
        {sql_request(lite.conn(), "INSERT INTO chk VALUES (0)"),
         odbc_error_body("S1000", 19, "[SQLite]CHECK constraint failed: c" + F + "&lt; (19)")},
        {sql_request(pg::conn(), "SELECT chr(1) || 'A' || chr(65534) AS U&\"n\\0001\""),
         one_value("n" + F, R + "A" + R)},
        {request(pg::conn(), procedure),
         EMPTY_RESULT + "<Procedure>\n    <ProcedureName>chars_ctl</ProcedureName>\n"
             "    <Parameter Index=\"0\" Direction=\"Out\" Type=\"varchar\" Length=\"1024\" >x" + F +
             "</Parameter>\n    <Parameter Index=\"1\" Direction=\"In\" Type=\"char\" "
             "Length=\"1024\" >x</Parameter>\n</Procedure>\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.req);
        const ProcResult r = query(c.req);
        EXPECT_EQ(r.out, c.body);
        EXPECT_EQ(r.err, "");
    }
}

// Every character XML refuses, on both drivers and in every format: it parses.
TEST_F(Characters, EveryAnswerParsesInEveryFormat)
{
    std::string all = "char(";
    for (int c : {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                  26, 27, 28, 29, 30, 31, 65534, 65535})
        all += std::to_string(c) + ",";
    all.back() = ')';
    const std::string pg_all = "chr(1) || chr(8) || chr(11) || chr(31) || chr(65534) || chr(65535)";
    const std::string requests[] = {
        sql_request(lite.conn(), "SELECT " + all + " AS v, CAST(x'eda080' AS TEXT) AS s"),
        sql_request(lite.conn(), "SELECT * FROM names"),
        sql_request(lite.conn(), "INSERT INTO chk VALUES (0)"),
        sql_request(lite.conn(), "INSERT INTO guard VALUES (1)"),
        sql_request(pg::conn(), "SELECT " + pg_all + " AS U&\"n\\0001\\001F\\FFFE\\FFFF\""),
        sql_request(pg::conn(), "SELECT U&\"a\\0001\\FFFFb\""),
    };
    for (const std::string &req : requests) {
        for (const auto &f : FORMATS) {
            SCOPED_TRACE(f.name + (": " + req));
            const ProcResult r = run_server({"pipe"}, with_input(req.substr(0, req.size() - 10) +
                                                                 f.format + "</Request>"));
            EXPECT_TRUE(parses(r.out));
            EXPECT_EQ(r.out.find("fffe"), std::string::npos);
        }
    }
}

// The driver manager converts wide text as UCS-2 for a driver without wide
// functions: a character beyond U+FFFF cut SQL text short and garbled a
// connection string. In the C locale: the drivers convert with the
// process's locale, so the server sets its own.
TEST_F(Characters, CharactersBeyondBmpReachTheDriver)
{
    const std::string pair = "\xF0\x9F\x98\x80", pair_ref = "&#x1f600;", eu = "\xC3\xA9\xE2\x82\xAC",
                      eu_ref = "&#xe9;&#x20ac;";
    pg::psql("DROP TABLE IF EXISTS nb; CREATE TABLE nb (v text);");
    if (pg::psql("SELECT count(*) FROM pg_database WHERE datname = 'chars" + pair + "'") == "0\n")
        pg::psql("CREATE DATABASE \"chars" + pair + "\"");
    const std::string lite_file = work.file("d" + pair + eu + ".db");
    // A line break in a parameter value reaches the procedure too.
    const std::string param = "a" + pair + "\n" + eu + "&lt;&amp;";
    const std::string procedure =
        "<Procedure><ProcedureName>\"f&amp;x\"</ProcedureName>"
        "<Parameter Index=\"0\" Direction=\"Out\" Type=\"varchar\"/>"
        "<Parameter Index=\"1\" Direction=\"In\">" + param + "</Parameter></Procedure>";
    const std::string transaction =
        "<Transaction><Sql>INSERT INTO nb VALUES ('t" + pair + "')</Sql></Transaction>";
    std::vector<std::pair<std::string, std::string>> cases = {
        {sql_request("Driver=SQLite3;Database=" + lite_file, "SELECT 'a" + pair + "' AS v"),
         one_value("v", "a" + pair_ref)},
        {sql_request(pg::conn("", "chars" + pair), "SELECT current_database() AS v"),
         one_value("v", "chars" + pair_ref)},
        {request(pg::conn(), procedure),
         EMPTY_RESULT + "<Procedure>\n    <ProcedureName>\"f&amp;x\"</ProcedureName>\n"
             "    <Parameter Index=\"0\" Direction=\"Out\" Type=\"varchar\" Length=\"1024\" >" +
             param + "!</Parameter>\n    <Parameter Index=\"1\" Direction=\"In\" Type=\"char\" "
             "Length=\"1024\" >" + param + "</Parameter>\n</Procedure>\n"},
    };
    for (const std::string &conn : {lite.conn(), pg::conn()}) {
        cases.insert(cases.end(), {
            {sql_request(conn, "SELECT 'a" + pair + "b' AS v, CAST('" + eu + "' AS VARCHAR(10)) AS w"),
             "<Result State=\"00000\">\n<Row>\n    <Column Name=\"v\">a" + pair_ref +
                 "b</Column>\n    <Column Name=\"w\">" + eu_ref +
                 "</Column>\n</Row>\n</Result>\n"},
            {sql_request(conn, "INSERT INTO nb VALUES ('x" + pair + eu + "')"), EMPTY_RESULT},
            {request(conn, transaction), EMPTY_RESULT},
            {sql_request(conn, "SELECT v FROM nb ORDER BY v"),
             "<Result State=\"00000\">\n<Row>\n    <Column Name=\"v\">t" + pair_ref +
                 "</Column>\n</Row>\n<Row>\n    <Column Name=\"v\">x" + pair_ref + eu_ref +
                 "</Column>\n</Row>\n</Result>\n"},
        });
    }
    for (const auto &[req, body] : cases) {
        SCOPED_TRACE(req);
        EXPECT_EQ(query(req, {"", {"LC_ALL=C"}}), exited(0, body));
    }
    // The database file is named as the request wrote it.
    EXPECT_TRUE(std::filesystem::exists(lite_file));
}

}  // namespace
