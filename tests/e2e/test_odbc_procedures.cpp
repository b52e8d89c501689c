// Procedure calls on PostgreSQL: the Procedure element after the results,
// with the values sent and the values the database returned.

#include "query_test.h"

namespace {

class Procedures : public QueryTest {};

std::string parameter(const char *attrs, std::string_view value)
{
    return "    <Parameter " + std::string(attrs) + " >" + std::string(value) + "</Parameter>\n";
}

TEST_F(Procedures, ProcedureElementFollowsTheResults)
{
    ASSERT_TRUE(pg::ready());
    const std::string no_rows = EMPTY_RESULT;
    // The driver turns {? = call f(?)} into SELECT f(?) and hands the value
    // back through the output parameter, leaving a result without columns.
    const struct {
        // The name is written the same in the request and in the answer.
        std::string what, name, request_parameters, results, parameters;
    } cases[] = {
        {"return value and input", "getbalance",
         "<Parameter Index=\"0\" Direction=\"Out\" Type=\"integer\"/>"
         "<Parameter Index=\"1\" Direction=\"In\" Type=\"integer\">42</Parameter>",
         no_rows,
         parameter("Index=\"0\" Direction=\"Out\" Type=\"integer\" Length=\"1024\"", "420") +
             parameter("Index=\"1\" Direction=\"In\" Type=\"integer\" Length=\"1024\"", "42")},
        {"null return value", "nobalance",
         "<Parameter Index=\"0\" Direction=\"Out\" Type=\"integer\" Length=\"0x10\"/>"
         "<Parameter Index=\"1\" Direction=\"In\" Type=\"integer\">42</Parameter>",
         no_rows,
         parameter("Index=\"0\" Direction=\"Out\" Type=\"integer\" Length=\"16\" isnull=\"yes\"",
                   "") +
             parameter("Index=\"1\" Direction=\"In\" Type=\"integer\" Length=\"1024\"", "42")},
        {"input and output in one parameter", "f_inout",
         "<Parameter Index=\"1\" Direction=\"InOut\" Type=\"integer\">5</Parameter>",
         "<Result State=\"00000\">\n<Row>\n    <Column "
         "Name=\"x\">105</Column>\n</Row>\n</Result>\n",
         parameter("Index=\"1\" Direction=\"InOut\" Type=\"integer\" Length=\"1024\"", "105")},
        {"no parameters", "f_noargs", "",
         "<Result State=\"00000\">\n<Row>\n    <Column "
         "Name=\"f_noargs\">7</Column>\n</Row>\n</Result>\n",
         ""},
        // Values are written as UTF-8 text, not as character references.
        {"markup and non-ASCII text in name and values", "\"f&amp;x\"",
         "<Parameter Index=\"0\" Direction=\"Out\" Type=\"varchar\"/>"
         "<Parameter Index=\"1\" Direction=\"In\">a&lt;&amp;b \u00e9\u20ac</Parameter>",
         no_rows,
         parameter("Index=\"0\" Direction=\"Out\" Type=\"varchar\" Length=\"1024\"",
                   "a&lt;&amp;b \u00e9\u20ac!") +
             parameter("Index=\"1\" Direction=\"In\" Type=\"char\" Length=\"1024\"",
                       "a&lt;&amp;b \u00e9\u20ac")},
    };
    // In the C locale: the driver converts parameter text with the locale
    // of the environment, so the server has to provide a UTF-8 one.
    ProcOptions c_locale;
    c_locale.env = {"LC_ALL=C"};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const Answer a =
            ask(request(pg::conn(), "<Procedure><ProcedureName>" + c.name + "</ProcedureName>" +
                                        c.request_parameters + "</Procedure>"),
                c_locale);
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.body, c.results + "<Procedure>\n    <ProcedureName>" + c.name +
                              "</ProcedureName>\n" + c.parameters + "</Procedure>\n");
    }
}

TEST_F(Procedures, FailedCallHasNoProcedureElement)
{
    ASSERT_TRUE(pg::ready());
    const Answer a = ask(request(pg::conn(),
                                 "<Procedure><ProcedureName>nosuch</ProcedureName>"
                                 "<Parameter Index=\"1\" Direction=\"In\">1</Parameter>"
                                 "</Procedure>"));
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.body.find("<Procedure>"), std::string::npos) << a.body;
    EXPECT_TRUE(a.body.starts_with("<Result State=\"42883\">\n")) << a.body;
}

}  // namespace
