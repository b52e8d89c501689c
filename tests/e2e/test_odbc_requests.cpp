// Request documents: refused requests, which of several principal
// requests runs, environment entries and the style-sheet instruction.

#include "query_test.h"

namespace {

class Requests : public QueryTest {};

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
        {conn + sql + "<Format><Short/><TableTags/></Format>",
         "Multiple Format subelement - TableTags\n"},
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
    const std::string rows =
        "<Result State=\"00000\">\n<Row>\n    <Column Name=\"a\">1</Column>\n"
        "</Row>\n</Result>\n";
    const std::string table_list =
        "<Result State=\"00000\">\n<Row>\n"
        "    <Column Name=\"TABLE_QUALIFIER\" isnull=\"yes\" />\n"
        "    <Column Name=\"TABLE_OWNER\" isnull=\"yes\" />\n"
        "    <Column Name=\"TABLE_NAME\">u</Column>\n"
        "    <Column Name=\"TABLE_TYPE\">TABLE</Column>\n"
        "    <Column Name=\"REMARKS\" isnull=\"yes\" />\n"
        "</Row>\n</Result>\n";
    const std::string procedure = "<Procedure><ProcedureName>f_noargs</ProcedureName></Procedure>";
    const std::string procedure_answer =
        "<Result State=\"00000\">\n<Row>\n"
        "    <Column Name=\"f_noargs\">7</Column>\n</Row>\n</Result>\n"
        "<Procedure>\n    <ProcedureName>f_noargs</ProcedureName>\n"
        "</Procedure>\n";
    const struct {
        std::string conn, inner, body;
    } cases[] = {
        {lite.conn(),
         "<Tables/><Sql>SELECT 1 AS a</Sql><Transaction><Sql>SELECT 2</Sql></Transaction>",
         EMPTY_RESULT},
        {lite.conn(), "<Tables/><Procedure/><Sql>SELECT 1 AS a</Sql>", rows},
        {lite.conn(), "<Sql/><Tables/>", table_list},
        {pg::conn(), "<Tables/>" + procedure, procedure_answer},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.inner);
        const Answer a = ask(request(c.conn, c.inner));
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.body, c.body);
    }
    // A transaction without statements still wins, runs nothing and
    // writes nothing at all.
    const ProcResult r =
        run_server({"pipe"}, with_input(request(lite.conn(), "<Transaction/><Sql>SELECT 1</Sql>")));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
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
    for (const std::string &req : requests) {
        std::string body;
        ASSERT_TRUE(split_prolog(session.exchange(req), &body));
        EXPECT_EQ(body.substr(body.find("-->\r\n") + 5),
                  "<Result State=\"00000\">\n<Row>\n    <Column Name=\"a\">q&amp;a</Column>\n"
                  "</Row>\n</Result>\n");
    }
    EXPECT_EQ(session.finish(), (ProcResult{0, false, "", ""}));
}

TEST_F(Requests, StyleSheetInstructionIsEscapedAndOnlyOnAnswers)
{
    SqliteDb lite;
    const std::string style =
        "<StyleSheet><Name>a&amp;b&lt;.xsl</Name><Type>text/\"x'</Type></StyleSheet>";
    const ProcResult r =
        run_server({"pipe"}, with_input(sql_request(lite.conn(), "SELECT 1", style)));
    EXPECT_TRUE(
        r.out.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                          "<?xml-stylesheet href=\"a&amp;b&lt;.xsl\" type=\"text/&quot;x'\"?>\r\n"
                          "<!--\r\n"))
        << r.out;
    // An error result has the plain prolog.
    EXPECT_EQ(ask(sql_request(lite.conn(), "SELECT <", style)).status, 1);
}

}  // namespace
