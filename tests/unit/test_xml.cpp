// Character data and escaping.

#include "unit_support.h"
#include "xml.h"

TEST(XmlOut, CdataSplitsTheEndMarker)
{
    // "]]>" in the data is split so that the section reads back whole.
    MemOut out;
    xml_out(&out.out, nullptr, reinterpret_cast<const unsigned char *>("a]]>b]]>"), CDATA_cdata, 0);
    EXPECT_EQ(out.text(), "<![CDATA[a]]]]><![CDATA[>b]]]]><![CDATA[>]]>");
}

TEST(Escape, WrittenEscapedAndWhole)
{
    // Longer than one formatted write: must not be cut.
    const std::string run(3000, 'x');
    const struct { std::string in; char quote; std::string expected; } cases[] = {
        {"a<b>&c'\"", '\0', "a&lt;b&gt;&amp;c'\""},
        {"a<b>&c'\"", '"', "a&lt;b&gt;&amp;c'&quot;"},
        {run + "&" + run, '\0', run + "&amp;" + run},
    };
    for (const auto &c : cases) {
        MemOut out;
        qx_write_escaped(&out.out, nullptr, c.in, c.quote);
        EXPECT_EQ(out.text(), c.expected);
    }
}
