// conv.h - conversions between 8-bit, UTF-8 and wide text, character
// references, and Base64.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <sqltypes.h>


// One 8-bit (Latin-1) character as UTF-8 at *dstpp, advancing it: 1 or 2
// bytes.
int qx_8bit2utf8(int src, unsigned char **dstpp);
// The low byte of each unit (diagnostic-stack text). Returns instr_len.
int qx_wides2asciis(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                    int outstr_size);

// Text for an answer, as UTF-8 or as ASCII with references. A character
// XML 1.0 cannot carry (a control character other than tab, line feed and
// carriage return, U+FFFE, U+FFFF, a surrogate on its own) is written as
// U+FFFD; a surrogate pair is one character. A NUL as the last unit of the
// input is the caller's terminator and stays a NUL. Bytes written; 0 when
// the output does not fit.
std::size_t qx_8bits2utf8s(const unsigned char *inbuf, std::size_t inbuf_len,
                           unsigned char *outbuf, std::size_t outbuf_size);
std::size_t qx_8bits2chrrefs(const unsigned char *inbuf, std::size_t inbuf_len,
                             unsigned char *outbuf, std::size_t outbuf_size);
int qx_wides2utf8s(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                   int outstr_size);
std::size_t qx_wides2chrrefs(const SQLWCHAR *instr, int instr_len,
                             unsigned char *outstr, std::size_t outstr_size);
// Bytes of the well-formed UTF-8 sequence that starts `text` (not empty),
// 0 when it starts with a byte that begins none; *xml_allowed says whether
// XML 1.0 can carry the character.
std::size_t qx_utf8_char_len(std::string_view text, bool *xml_allowed);

// The UTF-8 form of the terminated wide text `instr`, every character as
// it is, for a driver rather than an answer. A new string, released with
// free(); null when memory is short.
char *qx_wides2utf8_text(const SQLWCHAR *instr);
// New wide strings, released with free(); null when memory is short.
// SQL_NTS as length converts the terminator too.
SQLWCHAR *qx_utf8s2wides(const unsigned char *instr, int instr_len);
// The wide form of `utf8` (ill-formed bytes as qx_utf8s2wides takes them)
// written to `out`, which has room for utf8.size() units. Units written.
std::size_t qx_utf8_to_wides(std::string_view utf8, SQLWCHAR *out);
SQLWCHAR *qx_ascii_to_wide(const unsigned char *instr, std::size_t instr_len);

int qx_base64encode_len(int len);
int qx_base64encode(char *encoded, const char *string, int len);
int qx_base64encode_binary(char *encoded, const unsigned char *string, int len);
// Decodes Base64 text (blanks and line breaks between digits ignored; the
// last group padded with "=") into *decoded. False when the text is not
// Base64; *decoded then holds nothing useful.
bool qx_base64decode(std::string_view encoded, std::string *decoded);
