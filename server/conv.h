// conv.h - conversions between 8-bit, UTF-8 and wide text, character
// references, and Base64.
#pragma once

#include <cstddef>

#include <sqltypes.h>


int qx_8bit2utf8(int src, unsigned char **dstpp);
std::size_t qx_8bits2utf8s(const unsigned char *inbuf, std::size_t inbuf_len,
                           unsigned char *outbuf, std::size_t outbuf_size);
std::size_t qx_8bits2chrrefs(const unsigned char *inbuf, std::size_t inbuf_len,
                             unsigned char *outbuf, std::size_t outbuf_size);
int qx_wides2asciis(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                    int outstr_size);
int qx_wides2utf8s(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                   int outstr_size);
std::size_t qx_wides2chrrefs(const SQLWCHAR *instr, int instr_len,
                             unsigned char *outstr, std::size_t outstr_size);
// New wide strings, released with free(); null when memory is short.
// SQL_NTS as length converts the terminator too.
SQLWCHAR *qx_utf8s2wides(const unsigned char *instr, int instr_len);
SQLWCHAR *qx_ascii_to_wide(const unsigned char *instr, std::size_t instr_len);

int qx_base64encode_len(int len);
int qx_base64encode(char *encoded, const char *string, int len);
int qx_base64encode_binary(char *encoded, const unsigned char *string, int len);
