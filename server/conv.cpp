// conv.cpp - conversions between 8-bit, UTF-8 and wide text, character
// references, and Base64. One pass over caller buffers; every piece is
// bounds-checked before it is written, so a short buffer is reported (0),
// never overrun.

#include "conv.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sqlext.h>

#include "log.h"

namespace {

// The reference for one markup character, or empty when it needs none.
constexpr std::string_view markup_ref(unsigned c)
{
    switch (c) {
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '&': return "&amp;";
    case '\'': return "&apos;";
    case '"': return "&quot;";
    default: return {};
    }
}

// XML 1.0 has no way to write most control characters, the two
// non-characters U+FFFE and U+FFFF, or a surrogate on its own: an answer
// carries U+FFFD in their place. Tab, line feed and carriage return stay.
constexpr unsigned REPLACEMENT = 0xFFFD;
constexpr bool xml_char(unsigned c)
{
    if (c < 0x20) return c == '\t' || c == '\n' || c == '\r';
    return c < 0xD800 || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}
constexpr unsigned for_xml(unsigned c) { return xml_char(c) ? c : REPLACEMENT; }

// ASCII that stands for itself in character data, looked up once per
// character: most of any text, copied without the general logic.
constexpr auto PLAIN_ASCII = [] {
    std::array<bool, 0x80> t{};
    for (unsigned c = 0; c < 0x80; c++) t[c] = xml_char(c) && markup_ref(c).empty();
    return t;
}();
constexpr bool plain_ascii(unsigned c) { return c < 0x80 && PLAIN_ASCII[c]; }
// Printable ASCII, which stands for itself in UTF-8 (CDATA), markup
// characters too: one comparison a character. Tab, line feed and carriage
// return take the general way and come out unchanged.
constexpr bool plain_utf8(unsigned c) { return c - 0x20u < 0x60u; }

// The converters are handed the caller's terminator as the last unit of
// their input: that NUL ends the text and is written as NUL, once per
// chunk and outside the loop. Anywhere else a NUL is a character of the
// text, and XML cannot carry it. The units before the terminator.
template <class Unit, class Len>
Len text_units(const Unit *in, Len len)
{
    return len > 0 && in[len - 1] == 0 ? len - 1 : len;
}

// Writes the terminator when the input had one. False when it does not fit.
template <class Index>
bool put_terminator(bool terminated, unsigned char *out, Index *pos, Index size)
{
    if (!terminated) return true;
    if (*pos >= size) return false;
    out[(*pos)++] = 0;
    return true;
}

constexpr char HEX[] = "0123456789abcdef";

// Appends the reference of `c` (ASCII, entity or &#x..;) to out at *pos.
// False when it does not fit within `size`.
bool put_chrref(unsigned c, unsigned char *out, std::size_t *pos, std::size_t size)
{
    std::size_t at = *pos;
    if (std::string_view ref = markup_ref(c); !ref.empty()) {
        if (at + ref.size() > size) return false;
        std::memcpy(out + at, ref.data(), ref.size());
        *pos = at + ref.size();
        return true;
    }
    if (c < 0x80) {
        if (at + 1 > size) return false;
        out[at] = static_cast<unsigned char>(c);
        *pos = at + 1;
        return true;
    }
    const int digits = c <= 0xFF ? 2 : c <= 0xFFFF ? 4 : c <= 0xFFFFF ? 5 : 6;
    if (at + 4 + digits > size) return false;
    out[at++] = '&';
    out[at++] = '#';
    out[at++] = 'x';
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out[at++] = HEX[(c >> shift) & 0xF];
    out[at++] = ';';
    *pos = at;
    return true;
}

// Appends the UTF-8 form of `c` to out at *pos. False when it does not fit
// within `size`.
template <class Index>
bool put_utf8(unsigned c, unsigned char *out, Index *pos, Index size)
{
    const Index n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (*pos + n > size) return false;
    unsigned char *p = out + *pos;
    if (n == 1) {
        p[0] = static_cast<unsigned char>(c);
    } else if (n == 2) {
        p[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        p[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (n == 3) {
        p[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        p[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        p[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
        p[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
        p[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        p[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        p[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    *pos += n;
    return true;
}

// Input lengths given as SQL_NTS cover the string and its terminator.
std::size_t nts_length(const unsigned char *s, long len)
{
    return len == SQL_NTS ? std::strlen(reinterpret_cast<const char *>(s)) + 1
                          : static_cast<std::size_t>(len);
}

constexpr bool high_surrogate(unsigned u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool low_surrogate(unsigned u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The character at instr[*i]: a surrogate pair is one character beyond
// U+FFFF; a surrogate on its own becomes U+FFFD. Advances *i past what it
// read.
unsigned next_char(const SQLWCHAR *instr, int len, int *i)
{
    const unsigned u = instr[(*i)++];
    if (high_surrogate(u) && *i < len && low_surrogate(instr[*i]))
        return 0x10000 + ((u - 0xD800) << 10) + (instr[(*i)++] - 0xDC00u);
    if (high_surrogate(u) || low_surrogate(u)) return REPLACEMENT;
    return u;
}

// Wide text to UTF-8, every character as it is (`for_answer` false) or as
// an answer may carry it. Bytes written; 0 when it does not fit.
template <bool for_answer>
int wides_to_utf8(const SQLWCHAR *instr, int instr_len, unsigned char *outstr, int outstr_size)
{
    const int end = for_answer ? text_units(instr, instr_len) : instr_len;
    int pos = 0;
    for (int i = 0; i < end;) {
        if (plain_utf8(instr[i])) {  // most of any text: one byte
            if (pos >= outstr_size) return 0;
            outstr[pos++] = static_cast<unsigned char>(instr[i++]);
            continue;
        }
        const unsigned c = next_char(instr, end, &i);
        if (!put_utf8(for_answer ? for_xml(c) : c, outstr, &pos, outstr_size)) return 0;
    }
    return put_terminator(end < instr_len, outstr, &pos, outstr_size) ? pos : 0;
}

constexpr char basis_64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

int qx_8bit2utf8(int src, unsigned char **dstpp)
{
    const unsigned b = static_cast<unsigned char>(src);
    unsigned char *dst = *dstpp;
    if (b < 0x80) {
        *dst++ = static_cast<unsigned char>(b);
    } else {
        *dst++ = static_cast<unsigned char>(0xC0 | (b >> 6));
        *dst++ = static_cast<unsigned char>(0x80 | (b & 0x3F));
    }
    const int n = static_cast<int>(dst - *dstpp);
    *dstpp = dst;
    return n;
}

std::size_t qx_8bits2utf8s(const unsigned char *inbuf, std::size_t inbuf_len,
                           unsigned char *outbuf, std::size_t outbuf_size)
{
    // Two bytes stay free after every character: a character that would
    // leave fewer is not written, and the conversion fails.
    const std::size_t end = text_units(inbuf, inbuf_len);
    const std::size_t room = outbuf_size >= 2 ? outbuf_size - 2 : 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < end; i++) {
        const unsigned b = inbuf[i];
        if (plain_utf8(b)) {
            if (count >= room) return 0;
            outbuf[count++] = static_cast<unsigned char>(b);
        } else if (!put_utf8(for_xml(b), outbuf, &count, room)) {
            return 0;
        }
    }
    return put_terminator(end < inbuf_len, outbuf, &count, room) ? count : 0;
}

std::size_t qx_8bits2chrrefs(const unsigned char *inbuf, std::size_t inbuf_len,
                             unsigned char *outbuf, std::size_t outbuf_size)
{
    const std::size_t end = text_units(inbuf, inbuf_len);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < end; i++) {
        const unsigned c = inbuf[i];
        if (plain_ascii(c)) {
            if (pos >= outbuf_size) return 0;
            outbuf[pos++] = static_cast<unsigned char>(c);
        } else if (!put_chrref(for_xml(c), outbuf, &pos, outbuf_size)) {
            return 0;
        }
    }
    return put_terminator(end < inbuf_len, outbuf, &pos, outbuf_size) ? pos : 0;
}

std::size_t qx_wides2chrrefs(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                             std::size_t outstr_size)
{
    const int end = text_units(instr, instr_len);
    std::size_t pos = 0;
    for (int i = 0; i < end;) {
        const unsigned u = instr[i];
        if (plain_ascii(u)) {
            if (pos >= outstr_size) return 0;
            outstr[pos++] = static_cast<unsigned char>(u);
            i++;
        } else if (!put_chrref(for_xml(next_char(instr, end, &i)), outstr, &pos, outstr_size)) {
            return 0;
        }
    }
    return put_terminator(end < instr_len, outstr, &pos, outstr_size) ? pos : 0;
}

int qx_wides2asciis(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                    int outstr_size)
{
    if (qx_tracing(QX_LOG_CONVERT))
        qx_log("qx_wides2asciis(%p,%d,%p,%d)\n", static_cast<const void *>(instr), instr_len,
               static_cast<void *>(outstr), outstr_size);
    // Never write past the buffer, even for a caller that got the size wrong.
    const int n = instr_len < outstr_size ? instr_len : outstr_size;
    for (int i = 0; i < n; i++) outstr[i] = static_cast<unsigned char>(instr[i] & 0xFF);
    return instr_len;
}

int qx_wides2utf8s(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                   int outstr_size)
{
    if (qx_tracing(QX_LOG_CONVERT))
        qx_log("qx_wides2utf8s(%p,%d,%p,%d)\n", static_cast<const void *>(instr), instr_len,
               static_cast<void *>(outstr), outstr_size);
    return wides_to_utf8<true>(instr, instr_len, outstr, outstr_size);
}

std::size_t qx_utf8_char_len(std::string_view text, bool *xml_allowed)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(0);
    *xml_allowed = false;
    if (lead < 0x80) {
        *xml_allowed = xml_char(lead);
        return 1;
    }
    // The shortest form only: no overlong sequences, nothing beyond U+10FFFF.
    const std::size_t n = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (n == 0 || text.size() < n) return 0;
    unsigned c = lead & (0x7F >> n);
    for (std::size_t i = 1; i < n; i++) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(i) & 0x3F);
    }
    if (c < (n == 2 ? 0x80u : n == 3 ? 0x800u : 0x10000u) || c > 0x10FFFF) return 0;
    *xml_allowed = xml_char(c);
    return n;
}

char *qx_wides2utf8_text(const SQLWCHAR *instr)
{
    std::size_t units = 0;
    while (instr[units] != 0) units++;
    // At most three bytes a unit: a pair of units is one four-byte sequence.
    const std::size_t size = units * 3 + 1;
    auto *out = static_cast<unsigned char *>(std::malloc(size));
    if (out == nullptr) return nullptr;
    const int n =
        wides_to_utf8<false>(instr, static_cast<int>(units) + 1, out, static_cast<int>(size));
    if (n == 0) out[0] = 0;  // cannot happen with this size
    return reinterpret_cast<char *>(out);
}

std::size_t qx_utf8_to_wides(std::string_view utf8, SQLWCHAR *out)
{
    const auto *instr = reinterpret_cast<const unsigned char *>(utf8.data());
    const std::size_t len = utf8.size();
    // A four-byte sequence becomes a surrogate pair. Ill-formed input: a
    // stray continuation byte stands for itself, a two- or three-byte
    // sequence cut short (by the end or by a byte that is no continuation,
    // such as the terminator) takes what is there and missing bits are 0, a
    // broken four-byte one becomes U+FFFD. Every byte is consumed; nothing is
    // read past `len` and never more units are written than bytes consumed.
    std::size_t i = 0, n = 0;
    while (i < len) {
        const unsigned lead = instr[i];
        const std::size_t want = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        unsigned cont[3] = {0, 0, 0};
        std::size_t got = 0;
        while (got < want && i + 1 + got < len && (instr[i + 1 + got] & 0xC0) == 0x80) {
            cont[got] = instr[i + 1 + got] & 0x3Fu;
            got++;
        }
        if (want == 0) {
            out[n++] = static_cast<SQLWCHAR>(lead);
        } else if (want == 1) {
            out[n++] = static_cast<SQLWCHAR>(((lead & 0x1F) << 6) | cont[0]);
        } else if (want == 2) {
            out[n++] = static_cast<SQLWCHAR>(((lead & 0x0F) << 12) | (cont[0] << 6) | cont[1]);
        } else if (const unsigned cp = ((lead & 0x07u) << 18) | (cont[0] << 12) | (cont[1] << 6) | cont[2];
                   got == 3 && cp >= 0x10000 && cp <= 0x10FFFF) {
            // Beyond U+FFFF: a surrogate pair, two units for four bytes.
            out[n++] = static_cast<SQLWCHAR>(0xD800 + ((cp - 0x10000) >> 10));
            out[n++] = static_cast<SQLWCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out[n++] = static_cast<SQLWCHAR>(REPLACEMENT);
        }
        i += 1 + got;
    }
    return n;
}

SQLWCHAR *qx_utf8s2wides(const unsigned char *instr, int instr_len)
{
    if (qx_tracing(QX_LOG_CONVERT))
        qx_log("qx_utf8s2wides(%p,%d)\n", static_cast<const void *>(instr), instr_len);
    const std::size_t len = nts_length(instr, instr_len);
    auto *out = static_cast<SQLWCHAR *>(std::malloc((len ? len : 1) * sizeof(SQLWCHAR)));
    if (out == nullptr) return nullptr;
    qx_utf8_to_wides({reinterpret_cast<const char *>(instr), len}, out);
    return out;
}

SQLWCHAR *qx_ascii_to_wide(const unsigned char *instr, std::size_t instr_len)
{
    const std::size_t len =
        instr_len == static_cast<std::size_t>(SQL_NTS) ? std::strlen(reinterpret_cast<const char *>(instr)) + 1
                                                       : instr_len;
    auto *out = static_cast<SQLWCHAR *>(std::malloc((len ? len : 1) * sizeof(SQLWCHAR)));
    if (out == nullptr) return nullptr;
    for (std::size_t i = 0; i < len; i++) out[i] = instr[i];
    return out;
}

// ------------------------------------------------------------------ Base64

int qx_base64encode_len(int len) { return ((len + 2) / 3) * 4 + 1; }

int qx_base64encode(char *encoded, const char *string, int len)
{
    return qx_base64encode_binary(encoded, reinterpret_cast<const unsigned char *>(string), len);
}

int qx_base64encode_binary(char *encoded, const unsigned char *string, int len)
{
    char *p = encoded;
    int i = 0;
    for (; i + 2 < len; i += 3) {
        *p++ = basis_64[string[i] >> 2];
        *p++ = basis_64[((string[i] & 0x3) << 4) | (string[i + 1] >> 4)];
        *p++ = basis_64[((string[i + 1] & 0xF) << 2) | (string[i + 2] >> 6)];
        *p++ = basis_64[string[i + 2] & 0x3F];
    }
    if (i < len) {
        *p++ = basis_64[string[i] >> 2];
        if (i == len - 1) {
            *p++ = basis_64[(string[i] & 0x3) << 4];
            *p++ = '=';
        } else {
            *p++ = basis_64[((string[i] & 0x3) << 4) | (string[i + 1] >> 4)];
            *p++ = basis_64[(string[i + 1] & 0xF) << 2];
        }
        *p++ = '=';
    }
    *p++ = '\0';
    return static_cast<int>(p - encoded);
}

namespace {

// The value of a Base64 digit; -1 for any other byte.
constexpr int base64_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

constexpr bool base64_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool qx_base64decode(std::string_view encoded, std::string *decoded)
{
    decoded->clear();
    decoded->reserve(encoded.size() / 4 * 3 + 3);
    unsigned group = 0;  // bits of the digits of the group so far
    int digits = 0, padding = 0;
    for (const char c : encoded) {
        if (base64_blank(c)) continue;
        if (c == '=') {
            // Padding completes the last group, which holds 2 or 3 digits.
            if (digits + padding < 2) return false;
            padding++;
            if (digits + padding > 4) return false;
            continue;
        }
        const int v = base64_value(static_cast<unsigned char>(c));
        if (v < 0 || padding > 0) return false;
        group = (group << 6) | static_cast<unsigned>(v);
        if (++digits == 4) {
            decoded->push_back(static_cast<char>(group >> 16));
            decoded->push_back(static_cast<char>(group >> 8));
            decoded->push_back(static_cast<char>(group));
            group = 0, digits = 0;
        }
    }
    if (digits == 0) return padding == 0;
    if (digits + padding != 4) return false;
    // Two digits give one byte, three give two; the bits left over are 0
    // in a canonical encoding, and are not examined.
    group <<= 6 * (4 - digits);
    decoded->push_back(static_cast<char>(group >> 16));
    if (digits == 3) decoded->push_back(static_cast<char>(group >> 8));
    return true;
}
