// Line breaks are indentation except in SQL and parameter values.

#include "unit_support.h"


TEST(ElementText, LineBreaksStayOnlyInSqlAndParameterValues)
{
    // CR LF and a lone CR reach the tree as LF, as XML reads them.
    std::string text = "<Request>\r\n"
                       "  <ConnectionString>DSN=a;\r\nUID=b</ConnectionString>\n"
                       "  <Environment>A=\n1</Environment>\n"
                       "  <Sql>SELECT 1 AS a -- one\r\n, 2 AS b\rFROM t</Sql>\n"
                       "  <Transaction><sql>UPDATE t\n  SET n = 1</sql>"
                       "<SQL><![CDATA[DELETE\nFROM t]]></SQL></Transaction>\n"
                       "  <Procedure><ProcedureName>p\nq</ProcedureName>"
                       "<Parameter Index=\"1\" Direction=\"In\">two\nlines\n</Parameter></Procedure>\n"
                       "  <StyleSheet><Name>a\nb</Name></StyleSheet>\n"
                       "</Request>\n";
    const std::pair<const char *, std::string> cases[] = {
        {"Request/Sql", "SELECT 1 AS a -- one\n, 2 AS b\nFROM t"},
        {"Request/Transaction/Sql", "UPDATE t\n  SET n = 1"},
        {"Request/Procedure/Parameter", "two\nlines\n"},
        {"Request/ConnectionString", "DSN=a;UID=b"},
        {"Request/Environment", "A=1"},
        {"Request/Procedure/ProcedureName", "pq"},
        {"Request/StyleSheet/Name", "ab"},
    };
    const Parsed doc(text);
    ASSERT_EQ(doc.result, 0);
    for (const auto &[path, expected] : cases) EXPECT_EQ(doc.value(path), expected) << path;
    EXPECT_EQ(doc.value("Request/Transaction/Sql", 2), "DELETE\nFROM t");
}
