// xml.h - the response envelope, character-data output and escaping.
#pragma once

#include <cstddef>
#include <cstring>
#include <ctime>
#include <string_view>

#include "iodef.h"
#include "util.h"

typedef enum CDATA_type {
    CDATA_parsed = 0,  // written unchanged (already converted to references)
    CDATA_cdata = 1,   // wrapped in a CDATA section
} CDATA_type_t;

struct xml_entities {
    char entity_char;
    const char *entity_string;
};

// Writes `string` as parsed text or inside a CDATA section. Always 0.
int xml_out(io_out_t *output, diagstk_t *diag, const unsigned char *string,
            CDATA_type_t data_type, unsigned long flags);
// XML declaration, optional style-sheet instruction, generated-by comment.
int output_xml_prolog(io_out_t *output, const char *style_sheet_name,
                      const char *style_sheet_type, diagstk_t *diag);
int output_xml_epilog(io_out_t *output, diagstk_t *diag);
// The error result document: the envelope and a Result of state HY000 with
// one Diagnostic per entry on the stack, then those entries are emitted to
// the other outlets `flags` name (DIAGSTK_TO_EVENTLOG, a level) and removed.
// The answer is flushed: it is complete. 0; -3 without an output channel.
int qx_output_error_result(diagstk_t *diag, io_out_t *output, unsigned long flags = 0);
// "Sat, 05 Dec 2026 00:43:37 UTC"; bit 0x1 of flags leaves the zone out.
// With `local`, *local points to the broken-down local time, valid until
// the next call.
int qx_localtime_string(char *str, std::size_t str_len, const time_t *t,
                        struct tm **local, unsigned long flags);
int string_contains_xml_entity_char(const char *string);
// New strings (release with free); null when memory is short.
char *escape_xml_attribute_value(const char *string);
char *escape_xml_entity_chars(const char *string);

// Hands `text` to `put(const char *, std::size_t)` as one CDATA section,
// or several when the text holds "]]>" (which would end a section early):
// the section is closed after "]]" and a new one starts with ">". One
// definition for every writer of CDATA, so they cannot drift apart.
template <class Put>
void qx_cdata_pieces(const char *text, Put &&put)
{
    put("<![CDATA[", 9);
    const char *start = text;
    for (const char *p = std::strstr(start, "]]>"); p != nullptr; p = std::strstr(start, "]]>")) {
        put(start, static_cast<std::size_t>(p - start) + 2);
        put("]]><![CDATA[", 12);
        start = p + 2;
    }
    put(start, std::strlen(start));
    put("]]>", 3);
}

// Writes `text` with &, < and > replaced by entities and, when `quote` is
// not NUL, that quote character too: for texts the server did not convert
// itself (diagnostics, names, configuration values). What XML cannot carry
// (control characters other than tab, line feed and carriage return,
// U+FFFE, U+FFFF, surrogates) is written as U+FFFD, and so is each byte
// that is not part of well-formed UTF-8. Unformatted writes, so long texts
// arrive whole.
int qx_write_escaped(io_out_t *output, diagstk_t *diag, std::string_view text,
                     char quote = '\0');
