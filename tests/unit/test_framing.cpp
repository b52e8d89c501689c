// A document ends where its root element ends, wherever the reads fall;
// one cut short by the end of input is refused.

#include <chrono>
#include <ctime>

#include "unit_support.h"

using namespace std::chrono_literals;

namespace {

// 2,053 bytes: "</Request>" straddles the first 2048-byte read.
const std::string STRADDLING =
    "<Request><Sql>2053</Sql>" + std::string(2053 - 24 - 10, ' ') + "</Request>";

}  // namespace

TEST(Framing, DocumentEndsWithItsRootWhereverTheReadsFall)
{
    // UTF-8 lines over three reads, their breaks indentation.
    std::string lines;
    for (int i = 0; i < 100; i++) lines += "line " + std::to_string(i) + "....\xE2\x82\xAC\n";
    const std::string head = "<Request><Sql>\xC3\xA9</Sql><Long>" + lines + "</Long>";
    std::erase(lines, '\n');
    const struct { std::string doc, path, value; } cases[] = {
        {"<Request/>", "Request/Sql", "<0>"},
        {"<Request><Sql>a</Sql></Request >", "Request/Sql", "a"},
        {"<request><Sql>b</Sql></request>", "Request/Sql", "b"},
        {"<Configuration><Port>1</Port></Configuration>", "Configuration/Port", "1"},
        // An end tag inside a CDATA section or a comment is no end tag.
        {"<Request><Sql><![CDATA[</Request>]]></Sql></Request>", "Request/Sql", "</Request>"},
        {"<Request><!-- </Request> --><Sql>c</Sql></Request>", "Request/Sql", "c"},
        {STRADDLING, "Request/Sql", "2053"},
        {head + std::string(3 * 2048 - 2 - head.size(), ' ') + "</Request>", "request/long", lines},
    };
    for (const auto &c : cases) {
        for (std::size_t n : {1u, 7u, 2047u, 2048u}) {
            SCOPED_TRACE(c.doc.substr(0, 40) + " in reads of " + std::to_string(n));
            Feed feed(split(c.doc, n), false);
            Parsed doc(&feed.in);
            ASSERT_EQ(doc.result, 0) << messages(doc.d.get())[0];
            EXPECT_EQ(doc.value(c.path.c_str()), c.value);
            EXPECT_EQ(feed.in.state, 0u) << "read on past the document";
        }
    }
}

// Documents in turn; a close between them reads as nothing.
TEST(Framing, DocumentsFollowingEachOtherAreReadInTurn)
{
    const std::string stream = "<Request><Sql>1</Sql></Request>\n  <?xml version=\"1.0\"?>\n" +
                               STRADDLING + "<Request/>\r\n \n";
    for (std::size_t n : {1u, 3u, 2047u, 2048u}) {
        SCOPED_TRACE(n);
        Feed feed(split(stream, n), true);
        feed.in.many_documents = true;
        for (const char *sql : {"1", "2053", "<0>"}) {
            Parsed doc(&feed.in);
            ASSERT_EQ(doc.result, 0) << messages(doc.d.get())[0];
            EXPECT_EQ(doc.value("Request/Sql"), sql);
        }
        Parsed none(&feed.in);
        EXPECT_EQ(none.result, -1);
        EXPECT_EQ(messages(none.d.get()), Msgs{"Empty request"});
        EXPECT_EQ(feed.in.state, IO_STATE_EOF);
    }
}

// The size limit applies to each document, not to what follows it.
TEST(Framing, SizeLimitCountsOneDocument)
{
    const std::string doc60 = "<Request><Sql>" + std::string(30, 'x') + "</Sql></Request>";
    Feed feed({doc60 + doc60 + doc60 + "<Request>" + std::string(60, ' ') + "</Request>"}, true);
    feed.in.many_documents = true;
    for (int i = 0; i < 3; i++) EXPECT_EQ(Parsed(&feed.in, 60).result, 0) << i;
    Parsed over(&feed.in, 60);
    EXPECT_EQ(messages(over.d.get()), Msgs{"Request too large - more than 60 bytes"});
}

// The only document of pipe, file and tcpip_listen: what follows is
// ignored; one that ends before its root closes is refused whole.
TEST(Framing, OnlyDocumentIsReadWholeOrRefused)
{
    const std::string line1 = "error on line 1 of input request, ";
    const std::pair<std::string, std::string> cases[] = {
        {"<Request><Sql>1</Sql></Request>junk", ""},
        {"<Request><Sql>1</Sql></Request><Request/>", ""},
        {"<Request><Sql>1</Sql></Request></Request>", ""},
        {"<Request><Sql>1</Sql></Request> <", ""},
        {"<Request><Sql>DELETE FROM orders", line1 + "no element found"},
        {"<Request>\n<Sql>SELECT 1</Sql", "error on line 2 of input request, unclosed token"},
        {"<Configuration><Port>1", line1 + "no element found"},
        {"<Request><Sql><![CDATA[x", line1 + "unclosed CDATA section"},
        {STRADDLING.substr(0, 2050), line1 + "unclosed token"},
        {"<?xml version=\"1.0\"?>\n<!-- nothing -->\n", "Empty request"},
        {" \n", "Empty request"},
    };
    for (const auto &[text, message] : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        Feed feed(split(text, 2048), !message.empty());
        const Parsed file(text), socket(&feed.in);
        for (const Parsed *doc : {&file, &socket}) {
            if (message.empty()) {
                ASSERT_EQ(doc->result, 0) << messages(doc->d.get())[0];
                EXPECT_EQ(doc->value("Request/Sql"), "1");
            } else {
                EXPECT_EQ(doc->result, -1);
                EXPECT_EQ(doc->tree, nullptr);
                EXPECT_EQ(messages(doc->d.get()), Msgs{message});
            }
        }
    }
}

// Reads are held back while the parser sits in an unfinished token (each
// rescan costs), yet the bytes that end the document reach it at once.
TEST(FramingHostile, LongTokensCostLinearTimeAndNeverStallTheEnd)
{
    std::string markup;  // '>', '=' and quotes that end none of the tokens below
    while (markup.size() < (4u << 20)) markup += "a > b = 'c' - ? " + std::string(80, 'x');
    const struct { const char *what; std::string head, tail; } cases[] = {
        {"attribute value", "<Request><Sql P=\"" + markup, "\">1</Sql></Request>"},
        {"comment", "<Request><Sql>1</Sql><!--" + markup, "--></Request>"},
        {"processing instruction", "<Request><Sql>1</Sql><?pi " + markup, "?></Request>"},
        {"entity value",
         "<!DOCTYPE Request [<!ENTITY e \"" + markup,
         "\">]><Request><Sql>1</Sql></Request>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> pieces = split(c.head, 2048);
        pieces.push_back(c.tail);
        Feed feed(pieces, false, true);
        timespec start{}, end{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        Parsed doc(&feed.in);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        const double cpu = static_cast<double>(end.tv_sec - start.tv_sec) +
                           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
        ASSERT_EQ(doc.result, 0) << messages(doc.d.get())[0];
        EXPECT_EQ(doc.value("Request/Sql"), "1");
        EXPECT_LT(cpu, 1.0) << "seconds of parsing";  // rescanning took 2 to 6
    }
}
