// Every writer of answer text puts U+FFFD in place of what XML 1.0 cannot
// carry; tab, line feed and carriage return stay.

#include <sqlext.h>

#include "conv.h"
#include "odbc_util.h"
#include "unit_support.h"
#include "xml.h"

namespace {

const std::string FFFD = "\xEF\xBF\xBD";

struct Char {
    std::vector<SQLWCHAR> units;
    std::string ref, utf8;  // as the answer writes it
};

// Every kind of character XML refuses, and its allowed neighbours.
const Char CHARS[] = {
    {{0x0000}, "&#xfffd;", FFFD},  // a NUL inside the text, not its terminator
    {{0x0001}, "&#xfffd;", FFFD},
    {{0x0008}, "&#xfffd;", FFFD},
    {{0x0009}, "\t", "\t"},
    {{0x000A}, "\n", "\n"},
    {{0x000B}, "&#xfffd;", FFFD},
    {{0x000C}, "&#xfffd;", FFFD},
    {{0x000D}, "\r", "\r"},
    {{0x000E}, "&#xfffd;", FFFD},
    {{0x001F}, "&#xfffd;", FFFD},
    {{0x007F}, "\x7F", "\x7F"},
    {{0xD7FF}, "&#xd7ff;", "\xED\x9F\xBF"},
    {{0xD800}, "&#xfffd;", FFFD},  // surrogates on their own
    {{0xDFFF}, "&#xfffd;", FFFD},
    {{0xD83D, 0xDE00}, "&#x1f600;", "\xF0\x9F\x98\x80"},
    {{0xDBFF, 0xDFFF}, "&#x10ffff;", "\xF4\x8F\xBF\xBF"},  // six digits, not the last five
    {{0xE000}, "&#xe000;", "\xEE\x80\x80"},
    {{0xFFFD}, "&#xfffd;", FFFD},
    {{0xFFFE}, "&#xfffd;", FFFD},
    {{0xFFFF}, "&#xfffd;", FFFD},
};

TEST(XmlChars, ConvertersWriteReplacementForWhatXmlCannotCarry)
{
    for (const Char &c : CHARS) {
        // "A", the character, "B" and the caller's terminator.
        std::vector<SQLWCHAR> in{'A'};
        in.insert(in.end(), c.units.begin(), c.units.end());
        in.insert(in.end(), {'B', 0});
        const int len = static_cast<int>(in.size());
        std::vector<unsigned char> out(64);
        const auto got = [&](std::size_t n) { return std::string(out.begin(), out.begin() + n); };
        const std::string ref = "A" + c.ref + "B" + '\0', utf8 = "A" + c.utf8 + "B" + '\0';
        SCOPED_TRACE(c.units[0]);
        EXPECT_EQ(got(qx_wides2chrrefs(in.data(), len, out.data(), out.size())), ref);
        EXPECT_EQ(got(std::size_t(qx_wides2utf8s(in.data(), len, out.data(), 64))), utf8);
        if (c.units[0] >= 0x80) continue;
        // The same control characters as 8-bit text.
        const unsigned char eight[] = {'A', static_cast<unsigned char>(c.units[0]), 'B', 0};
        EXPECT_EQ(got(qx_8bits2chrrefs(eight, 4, out.data(), out.size())), ref);
        EXPECT_EQ(got(qx_8bits2utf8s(eight, 4, out.data(), out.size())), utf8);
    }
}

// Text the server did not convert: one U+FFFD per refused character or bad byte.
TEST(XmlChars, EscapedTextCarriesOnlyXmlCharacters)
{
    const struct { std::string in, expected; } cases[] = {
        {"a\x01" "b\x1F<", "a" + FFFD + "b" + FFFD + "&lt;"},
        {std::string("\0", 1), FFFD},
        {"\t\r\n\x7F", "\t\r\n\x7F"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"x\xEF\xBF\xBEy\xEF\xBF\xBF", "x" + FFFD + "y" + FFFD},
        {"\xED\xA0\x80", FFFD},                           // an encoded surrogate
        {"\xC3", FFFD},                                   // cut short
        {"\xE9t\xE9", FFFD + "t" + FFFD},                 // Latin-1, not UTF-8
        {"\xC0\xAF", FFFD + FFFD},                        // overlong
        {"\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},  // beyond U+10FFFF
    };
    for (const auto &c : cases) {
        MemOut out;
        qx_write_escaped(&out.out, nullptr, c.in);
        EXPECT_EQ(out.text(), c.expected) << c.in;
    }
}

// The error result and the driver comment let no refused character through.
TEST(XmlChars, ErrorResultAndDriverCommentCarryReplacement)
{
    quilletlog = 0;
    {
        diagstk_ptr d(diagstk_new());
        diagstk_add(d.get(), 3, "bad \x01 and \xEF\xBF\xBF");
        MemOut out;
        qx_output_error_result(d.get(), &out.out);
        EXPECT_NE(out.text().find("<Text>bad " + FFFD + " and " + FFFD + "</Text>"),
                  std::string::npos)
            << out.text();
    }
    char driver[] = "d\x02--x", ver[] = "1\x0B", dbms[] = "db", dbms_ver[] = "\xEF\xBF\xBE",
         database[] = "\xE9";
    const odbc_info_t info{database, dbms, dbms_ver, driver, ver};
    MemOut out;
    qx_output_odbc_info(nullptr, &out.out, &info);
    EXPECT_EQ(out.text(), "<!--\r\n  Driver: d" + FFFD + "- -x (1" + FFFD + ")\r\n  DBMS: db (" +
                              FFFD + ")\r\n  Database: " + FFFD + "\r\n-->\r\n");
}

}  // namespace
