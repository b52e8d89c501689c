// Character conversions and Base64 decoding. Output buffers are heap
// vectors of the exact size under test, so ASan sees any overrun.

#include <sqlext.h>

#include "conv.h"
#include "unit_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Wide = std::vector<SQLWCHAR>;

const unsigned char *u8(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}
std::string text(const Bytes &b, std::size_t n) { return std::string(b.data(), b.data() + n); }

// "" stands for failure; each fitting row has a twin one byte short.
TEST(Conv, EightBitConversionsStayInsideTheBuffer)
{
    using Fn = std::size_t (*)(const unsigned char *, std::size_t, unsigned char *, std::size_t);
    const struct { Fn fn; std::string in; std::size_t size; std::string expected; } cases[] = {
        // UTF-8 keeps two bytes spare.
        {qx_8bits2utf8s, "\xE9" "A", 5, "\xC3\xA9" "A"}, {qx_8bits2utf8s, "\xE9" "A", 4, ""},
        {qx_8bits2utf8s, "\x7F\x80\xFF", 7, "\x7F\xC2\x80\xC3\xBF"},
        {qx_8bits2chrrefs, "'<'", 16, "&apos;&lt;&apos;"}, {qx_8bits2chrrefs, "'<'", 15, ""},
        {qx_8bits2chrrefs, std::string("a\x7F\x80\0", 4), 9, std::string("a\x7F&#x80;\0", 9)},
        // U+FFFD for a control character counts against the buffer.
        {qx_8bits2chrrefs, std::string("\x01\0", 2), 9, std::string("&#xfffd;\0", 9)},
        {qx_8bits2chrrefs, std::string("\x01\0", 2), 8, ""},
        {qx_8bits2utf8s, std::string("\x01\0", 2), 6, std::string("\xEF\xBF\xBD\0", 4)},
        {qx_8bits2utf8s, std::string("\x01\0", 2), 5, ""},
    };
    for (const auto &c : cases) {
        Bytes out(c.size);
        EXPECT_EQ(text(out, c.fn(u8(c.in), c.in.size(), out.data(), c.size)), c.expected)
            << c.in << " in " << c.size;
    }
}

TEST(Conv, WideSurrogatesAndBufferSize)
{
    const struct { Wide in; std::size_t size; std::string expected; } refs[] = {
        {{0x41, 0xFF, 0x100}, 15, "A&#xff;&#x0100;"}, {{0x41, 0xFF, 0x100}, 14, ""},
        // A surrogate pair is one character; a lone surrogate is not XML.
        {{0xD83D, 0xDE00, 0xDE00}, 17, "&#x1f600;&#xfffd;"},
        {{0x01, 0}, 9, std::string("&#xfffd;\0", 9)}, {{0x01, 0}, 8, ""},
    }, utf8[] = {
        {{0x7F, 0x80, 0x7FF, 0x800}, 8, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
        {{0x7F, 0x80, 0x7FF, 0x800}, 7, ""},
        {{0xFFFD, 0xD800}, 6, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {{0xD83D, 0xDE00}, 4, "\xF0\x9F\x98\x80"}, {{0xD83D, 0xDE00}, 3, ""}, {{0x01, 0}, 3, ""},
    };
    for (const auto &c : refs) {
        Bytes out(c.size);
        const std::size_t n = qx_wides2chrrefs(c.in.data(), int(c.in.size()), out.data(), c.size);
        EXPECT_EQ(text(out, n), c.expected) << c.size;
    }
    for (const auto &c : utf8) {
        Bytes out(c.size);
        const int n = qx_wides2utf8s(c.in.data(), int(c.in.size()), out.data(), int(c.size));
        EXPECT_EQ(text(out, std::size_t(n)), c.expected) << c.size;
    }
}

TEST(Conv, IllFormedUtf8ToWide)
{
    const struct { std::string in; int len; Wide expected; } cases[] = {
        {"\x80" "A", 2, {0x80, 0x41}},  // a stray continuation byte stands for itself
        // A sequence cut short must not swallow the terminator or the next character.
        {"\xC3", SQL_NTS, {0xC0, 0}},
        {"a\xF0\x9F\x98\x80", SQL_NTS, {0x61, 0xD83D, 0xDE00, 0}},
        {"\xF0\x9F" "A", 3, {0xFFFD, 0x41}},
    };
    for (const auto &c : cases) {
        c_ptr<SQLWCHAR> w(qx_utf8s2wides(u8(c.in), c.len));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(Wide(w.get(), w.get() + c.expected.size()), c.expected) << c.in;
    }
}

// Base64 as clients send it: wrapped lines fine, anything else refused.
TEST(Conv, Base64DecodingAcceptsOnlyBase64)
{
    const struct { std::string in; bool ok; std::string out; } cases[] = {
        {"", true, ""},
        {"AP8Q", true, std::string("\x00\xFF\x10", 3)},
        {"+//+", true, "\xFB\xFF\xFE"},
        {" QU\nJD\r\nRA==\t", true, "ABCD"},
        {"QUI=", true, "AB"},
        {"QQ==", true, "A"},
        {"QQ", false, ""},       // padding is required
        {"QUJD=", false, ""},    // padding after a whole group
        {"Q===", false, ""},     // one digit cannot make a byte
        {"QQ=A", false, ""},     // a digit after padding
        {"QQ===", false, ""},
        {"QUJ-", false, ""},     // the URL alphabet is not accepted
        {"QU&D", false, ""},
    };
    for (const auto &c : cases) {
        std::string out = "stale";
        EXPECT_EQ(qx_base64decode(c.in, &out), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
}

}  // namespace
