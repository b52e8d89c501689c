// conv.cpp - conversions between 8-bit, UTF-8 and wide text, character
// references, and Base64. One pass over caller buffers; every piece is
// bounds-checked before it is written, so a short buffer is reported (0),
// never overrun.

#include "conv.h"

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

// ASCII that stands for itself in character data: most of any text, so
// the converters copy it without the general reference logic.
constexpr bool plain_ascii(unsigned c) { return c < 0x80 && markup_ref(c).empty(); }

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
    const int digits = c <= 0xFF ? 2 : c <= 0xFFFF ? 4 : 5;
    if (at + 4 + digits > size) return false;
    out[at++] = '&';
    out[at++] = '#';
    out[at++] = 'x';
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out[at++] = HEX[(c >> shift) & 0xF];
    out[at++] = ';';
    *pos = at;
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
constexpr unsigned REPLACEMENT = 0xFFFD;

// The character at instr[*i]: a surrogate pair is one character beyond
// U+FFFF; a surrogate on its own cannot be written in XML and becomes
// U+FFFD. Advances *i past what it read.
unsigned next_char(const SQLWCHAR *instr, int len, int *i)
{
    const unsigned u = instr[(*i)++];
    if (high_surrogate(u) && *i < len && low_surrogate(instr[*i]))
        return 0x10000 + ((u - 0xD800) << 10) + (instr[(*i)++] - 0xDC00u);
    if (high_surrogate(u) || low_surrogate(u)) return REPLACEMENT;
    return u;
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
    // Two bytes stay free after every character, so a two-byte sequence can
    // always be written before the check that follows it.
    if (outbuf_size < 2) return 0;
    unsigned char *dst = outbuf;
    std::size_t count = 0;
    for (std::size_t i = 0; i < inbuf_len; i++) {
        const unsigned b = inbuf[i];
        if (b < 0x80) {
            *dst++ = static_cast<unsigned char>(b);
            count++;
        } else {
            *dst++ = static_cast<unsigned char>(0xC0 | (b >> 6));
            *dst++ = static_cast<unsigned char>(0x80 | (b & 0x3F));
            count += 2;
        }
        if (count + 2 > outbuf_size) return 0;
    }
    return count;
}

std::size_t qx_8bits2chrrefs(const unsigned char *inbuf, std::size_t inbuf_len,
                             unsigned char *outbuf, std::size_t outbuf_size)
{
    std::size_t pos = 0;
    for (std::size_t i = 0; i < inbuf_len; i++) {
        const unsigned c = inbuf[i];
        if (plain_ascii(c)) {
            if (pos >= outbuf_size) return 0;
            outbuf[pos++] = static_cast<unsigned char>(c);
        } else if (!put_chrref(c, outbuf, &pos, outbuf_size)) {
            return 0;
        }
    }
    return pos;
}

std::size_t qx_wides2chrrefs(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                             std::size_t outstr_size)
{
    std::size_t pos = 0;
    for (int i = 0; i < instr_len;) {
        const unsigned u = instr[i];
        if (plain_ascii(u)) {
            if (pos >= outstr_size) return 0;
            outstr[pos++] = static_cast<unsigned char>(u);
            i++;
        } else if (!put_chrref(next_char(instr, instr_len, &i), outstr, &pos, outstr_size)) {
            return 0;
        }
    }
    return pos;
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
    int pos = 0;
    for (int i = 0; i < instr_len;) {
        if (instr[i] < 0x80) {  // ASCII, most of any text: one byte
            if (pos >= outstr_size) return 0;
            outstr[pos++] = static_cast<unsigned char>(instr[i++]);
            continue;
        }
        const unsigned u = next_char(instr, instr_len, &i);
        const int size = u < 0x80 ? 1 : u < 0x800 ? 2 : u < 0x10000 ? 3 : 4;
        if (pos + size > outstr_size) return 0;
        if (size == 1) {
            outstr[pos++] = static_cast<unsigned char>(u);
        } else if (size == 2) {
            outstr[pos++] = static_cast<unsigned char>(0xC0 | (u >> 6));
            outstr[pos++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        } else if (size == 3) {
            outstr[pos++] = static_cast<unsigned char>(0xE0 | (u >> 12));
            outstr[pos++] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            outstr[pos++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        } else {
            outstr[pos++] = static_cast<unsigned char>(0xF0 | (u >> 18));
            outstr[pos++] = static_cast<unsigned char>(0x80 | ((u >> 12) & 0x3F));
            outstr[pos++] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            outstr[pos++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        }
    }
    return pos;
}

SQLWCHAR *qx_utf8s2wides(const unsigned char *instr, int instr_len)
{
    if (qx_tracing(QX_LOG_CONVERT))
        qx_log("qx_utf8s2wides(%p,%d)\n", static_cast<const void *>(instr), instr_len);
    const std::size_t len = nts_length(instr, instr_len);
    auto *out = static_cast<SQLWCHAR *>(std::malloc((len ? len : 1) * sizeof(SQLWCHAR)));
    if (out == nullptr) return nullptr;

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
