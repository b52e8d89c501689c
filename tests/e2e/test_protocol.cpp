// The request protocol on the wire: SQL keeps its line breaks.

#include "e2e.h"

namespace {

class Protocol : public NetTest {};

// Line breaks in SQL separate words and end "--" comments; in a procedure's
// parameter they are part of the value.
TEST_F(Protocol, SqlAndParameterValuesKeepTheirLineBreaks)
{
    EXPECT_EQ(query(sql_request(db.conn(), "SELECT n\nFROM t WHERE n = 2")),
              exited(0, one_value("n", "2")));
    EXPECT_EQ(query(sql_request(db.conn(), "SELECT 1 AS a -- one\r\n, 2 AS b")),
              exited(0, "<Result State=\"00000\">\n<Row>\n    <Column Name=\"a\">1</Column>\n"
                        "    <Column Name=\"b\">2</Column>\n</Row>\n</Result>\n"));
    EXPECT_EQ(query(request(db.conn(), "<Transaction><Sql>UPDATE t SET n = 5\nWHERE n = 1</Sql>"
                                       "</Transaction>")),
              exited(0, EMPTY_RESULT));
    EXPECT_EQ(db.query("SELECT n FROM t ORDER BY n;"), "2\n3\n5\n");

    ASSERT_TRUE(pg::ready());
    const std::string name = "<ProcedureName>\"f&amp;x\"</ProcedureName>",
                      out = "Index=\"0\" Direction=\"Out\" Type=\"varchar\"",
                      in = "Index=\"1\" Direction=\"In\" Type=\"char\"";
    EXPECT_EQ(query(request(pg::conn(), "<Procedure>" + name + "<Parameter " + out +
                                            "/><Parameter Index=\"1\" Direction=\"In\">two\n"
                                            "lines</Parameter></Procedure>")),
              exited(0, EMPTY_RESULT + "<Procedure>\n    " + name + "\n    <Parameter " + out +
                            " Length=\"1024\" >two\nlines!</Parameter>\n    <Parameter " + in +
                            " Length=\"1024\" >two\nlines</Parameter>\n</Procedure>\n"));
}

}  // namespace
