// XML parse tree: reading one document from a channel, lookups by path.

#include <algorithm>

#include "unit_support.h"

TEST(ParseReads, SameTreeWhateverTheReadBoundariesAndWhereReadingEnds)
{
    std::string text;
    for (int i = 0; i < 100; i++) text += "line " + std::to_string(i) + "....\xE2\x82\xAC\n";
    const std::string head = "<Request>\n  <Sql Name=\"q&amp;1\">SELECT \xC3\xA9</Sql>\n"
                             "  <Sql><![CDATA[1 < 2]]></Sql>\n  <Long>" + text + "</Long>";
    // "</Request>" straddles the third 2048-byte boundary.
    const std::string doc = head + std::string(3 * 2048 - 2 - head.size(), ' ') + "</Request>";
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    for (std::size_t n : {1u, 7u, 2047u, 2048u}) {
        SCOPED_TRACE(n);
        Feed feed(split(doc, n), true);
        const Parsed p(&feed.in);
        ASSERT_EQ(p.result, 0);
        EXPECT_EQ(p.value("request/sql"), "SELECT \xC3\xA9");
        EXPECT_EQ(p.value("Request/Sql", 2), "1 < 2");
        EXPECT_EQ(p.value("Request/Long"), text);
        EXPECT_STREQ(p.attr("Request/Sql", "name"), "q&1");
    }
}
