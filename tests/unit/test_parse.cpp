// XML parse tree: reading one document from a channel, lookups by path.

#include <algorithm>
#include <chrono>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "parse.h"
#include "unit_support.h"

namespace {

// Parses `pieces`, one read per piece: a SOCK_SEQPACKET pair keeps the
// writer's record boundaries (pieces of 1..2048 bytes).
void feed(Parsed &p, const std::vector<std::string> &pieces)
{
    quilletlog = 0;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    std::thread writer([&] {
        for (const std::string &piece : pieces)
            if (send(sv[1], piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
        shutdown(sv[1], SHUT_WR);
    });
    io_in_t in = socket_in(sv[0]);
    p.result = qx_parse_xml(p.d.get(), &in, &p.tree);
    close(sv[0]);  // releases a writer whose later pieces are not wanted
    writer.join();
    close(sv[1]);
}

}  // namespace

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
        Parsed p;
        std::vector<std::string> pieces;
        for (std::size_t i = 0; i < doc.size(); i += n) pieces.push_back(doc.substr(i, n));
        feed(p, pieces);
        ASSERT_EQ(p.result, 0);
        EXPECT_EQ(p.value("request/sql"), "SELECT \xC3\xA9");
        EXPECT_EQ(p.value("Request/Sql", 2), "1 < 2");
        EXPECT_EQ(p.value("Request/Long"), text);
        EXPECT_STREQ(p.attr("Request/Sql", "name"), "q&1");
    }
    // A document cut short by the end of input is no document.
    Parsed p;
    feed(p, {"<request><Sql>SELECT", " 1"});
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(messages(p.d.get()), Msgs{"error on line 1 of input request, no element found"});
}

TEST(ParseHostile, LongTokenCostsLinearTime)
{
    // One 4 MiB attribute value: rescanning the unfinished token on every
    // 2048-byte read took many seconds.
    const std::string value(4u << 20, 'v');
    const std::string doc = "<Request><Sql P=\"" + value + "\">1</Sql></Request>";
    std::vector<std::string> reads;
    for (std::size_t i = 0; i < doc.size(); i += 2048) reads.push_back(doc.substr(i, 2048));
    Parsed p;
    const auto start = std::chrono::steady_clock::now();
    feed(p, reads);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(p.result, 0);
    const char *got = p.attr("Request/Sql", "P");
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(got == value);
}
