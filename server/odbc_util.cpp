// odbc_util.cpp - reading ODBC diagnostic records into an error result or
// onto the diagnostic stack; driver information; type names.

#include "odbc_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "conv.h"
#include "log.h"
#include "xml.h"

namespace {

constexpr SQLSMALLINT DIAG_TEXT_OFFERED = 1024;  // characters offered to the driver
constexpr const char *FALLBACK_TEXT =
    "[Quillet] ODBC Driver error but SQLGetDiagRecW returned no error diagnostics.";

using narrow_fn = int (*)(const SQLWCHAR *, int, unsigned char *, int);

int wides2low_bytes(const SQLWCHAR *in, int len, unsigned char *out, int size)
{
    return qx_wides2asciis(in, len, out, size);
}

// One record of SQLGetDiagRecW, converted by `narrow`. 0 when read.
SQLRETURN read_diag(const char *name, narrow_fn narrow, SQLSMALLINT handle_type,
                    SQLHANDLE handle, SQLSMALLINT record, char *text, std::size_t text_size,
                    char *state, std::size_t state_size, SQLINTEGER *native)
{
    if (qx_tracing(QX_LOG_ODBC_ERROR))
        qx_log("%s(%d,%p,%d,%p,%lu,%p,%lu,%p)\n", name, handle_type, handle, record,
               static_cast<void *>(text), static_cast<unsigned long>(text_size),
               static_cast<void *>(state), static_cast<unsigned long>(state_size),
               static_cast<void *>(native));
    SQLWCHAR wstate[6] = {};
    SQLWCHAR wtext[2048] = {};
    SQLSMALLINT text_len = 0;
    *native = 0;
    const SQLRETURN ret = SQLGetDiagRecW(handle_type, handle, record, wstate, native, wtext,
                                         DIAG_TEXT_OFFERED, &text_len);
    if (ret != SQL_SUCCESS && ret != SQL_SUCCESS_WITH_INFO) {
        if (qx_tracing(QX_LOG_DIAG))
            qx_log("SQLGetDiagRecW failed with %d on record %d\n", ret, record);
        return ret;
    }
    // The driver reports the full length; the buffer holds at most 1023.
    int chars = text_len < 0 ? 0 : text_len > DIAG_TEXT_OFFERED - 1 ? DIAG_TEXT_OFFERED - 1 : text_len;
    wtext[chars] = 0;
    if (narrow(wtext, chars + 1, reinterpret_cast<unsigned char *>(text),
               static_cast<int>(text_size)) == 0)
        text[0] = '\0';
    text[text_size - 1] = '\0';
    wstate[5] = 0;
    if (narrow(wstate, 6, reinterpret_cast<unsigned char *>(state), static_cast<int>(state_size)) == 0)
        state[0] = '\0';
    state[state_size - 1] = '\0';
    return SQL_SUCCESS;
}

void trace_record(const char *state, int record, SQLINTEGER native, const char *text)
{
    if (qx_tracing(QX_LOG_ODBC_ERROR))
        qx_log("%s:%d:%ld:%s\n", state, record, static_cast<long>(native), text);
}

void error_to_stack(const char *fn, SQLSMALLINT type, SQLHANDLE handle, const char *whilst,
                    diagstk_t *diag)
{
    diagstk_add(diag, 3, "Error %s with %s", whilst, fn);
    char state[12], text[1024];
    SQLINTEGER native = 0;
    for (SQLSMALLINT record = 1;; record++) {
        if (qx_odbc_diag_ascii(type, handle, record, text, sizeof text, state, sizeof state,
                               &native) != 0)
            return;
        trace_record(state, record, native, text);
        // The driver's text is data, never a format: a "%" stays literal.
        diagstk_add(diag, 3, "%s:%d:%ld:%s", state, record, static_cast<long>(native), text);
    }
}

void write_diagnostic(io_out_t *output, diagstk_t *diag, int record, const char *state,
                      SQLINTEGER native, std::string_view prefix, const char *text)
{
    io_writef(output, diag, "<Diagnostic Number=\"%d\">\n    <State>", record);
    qx_write_escaped(output, diag, state);
    io_writef(output, diag, "</State>\n    <Native>%ld</Native>\n    <Text>",
              static_cast<long>(native));
    qx_write_escaped(output, diag, prefix);
    qx_write_escaped(output, diag, text);
    io_write(output, diag, "</Text>\n</Diagnostic>\n", 0);
}

void error_to_output(SQLSMALLINT type, SQLHANDLE handle, io_out_t *output, diagstk_t *diag,
                     std::string_view prefix = {})
{
    output_xml_prolog(output, nullptr, nullptr, diag);
    char state[32], text[4096];
    SQLINTEGER native = 0;
    for (SQLSMALLINT record = 1;; record++) {
        const bool read = qx_odbc_diag_utf8(type, handle, record, text, sizeof text, state,
                                            sizeof state, &native) == 0;
        if (read) {
            trace_record(state, record, native, text);
        } else {
            if (record > 1) break;
            // The driver posted nothing: the client still learns that it failed.
            std::snprintf(state, sizeof state, "%s", "HY000");
            std::snprintf(text, sizeof text, "%s", FALLBACK_TEXT);
            native = 0;
        }
        if (record == 1) {
            io_write(output, diag, "<Result State=\"", 0);
            qx_write_escaped(output, diag, state, '"');
            io_write(output, diag, "\">\n", 0);
        }
        write_diagnostic(output, diag, record, state, native, prefix, text);
        if (!read) break;
    }
    io_write(output, diag, "</Result>\n", 0);
    output_xml_epilog(output, diag);
}

}  // namespace

void odbc_error(const char *fn, SQLSMALLINT type, SQLHANDLE handle, const char *whilst,
                io_out_t *output, diagstk_t *diag, unsigned long flags)
{
    if (qx_tracing(QX_LOG_ODBC_ERROR))
        qx_log("Error %s with %s (flags=%lx)\n", whilst, fn, flags);
    if (flags & ODBC_ERROR_TO_STACK)
        error_to_stack(fn, type, handle, whilst, diag);
    else
        error_to_output(type, handle, output, diag);
}

void odbc_error_result(SQLSMALLINT type, SQLHANDLE handle, std::string_view prefix,
                       io_out_t *output, diagstk_t *diag)
{
    error_to_output(type, handle, output, diag, prefix);
}

SQLRETURN qx_odbc_diag_utf8(SQLSMALLINT handle_type, SQLHANDLE handle, SQLSMALLINT record,
                            char *utf8text, std::size_t utf8text_size, char *utf8state,
                            std::size_t utf8state_size, SQLINTEGER *native)
{
    return read_diag("qx_odbc_diag_utf8", qx_wides2utf8s, handle_type, handle, record, utf8text,
                     utf8text_size, utf8state, utf8state_size, native);
}

SQLRETURN qx_odbc_diag_ascii(SQLSMALLINT handle_type, SQLHANDLE handle, SQLSMALLINT record,
                             char *text, std::size_t text_size, char *state,
                             std::size_t state_size, SQLINTEGER *native)
{
    return read_diag("qx_odbc_diag_ascii", wides2low_bytes, handle_type, handle, record, text,
                     text_size, state, state_size, native);
}

SQLRETURN qx_get_sql_state(SQLSMALLINT handle_type, SQLHANDLE handle, char *sqlstate)
{
    SQLINTEGER ndiags = 0;
    SQLRETURN ret = SQLGetDiagField(handle_type, handle, 0, SQL_DIAG_NUMBER, &ndiags, 0, nullptr);
    if (ret != SQL_SUCCESS && ret != SQL_SUCCESS_WITH_INFO) return ret;
    if (ndiags >= 1)
        return SQLGetDiagField(handle_type, handle, 1, SQL_DIAG_SQLSTATE, sqlstate, 6, nullptr);
    std::memcpy(sqlstate, "00000", 6);
    return ret;
}

int qx_odbc_get_info(SQLHDBC hdbc, odbc_info_t *out_info)
{
    struct item {
        SQLUSMALLINT id;
        char **field;
    } const items[] = {
        {SQL_DATABASE_NAME, &out_info->database_name}, {SQL_DBMS_NAME, &out_info->dbms_name},
        {SQL_DBMS_VER, &out_info->dbms_ver},           {SQL_DRIVER_NAME, &out_info->driver_name},
        {SQL_DRIVER_VER, &out_info->driver_ver},
    };
    for (const item &it : items) {
        char value[256] = "";
        unsigned char utf8[256] = "";
        SQLSMALLINT len = 0;
        const SQLRETURN ret = SQLGetInfo(hdbc, it.id, value, sizeof value, &len);
        const char *text = "unknown";
        if (ret == SQL_SUCCESS || ret == SQL_SUCCESS_WITH_INFO) {
            const std::size_t n = len < 0 ? 0 : len > 255 ? 255 : static_cast<std::size_t>(len);
            value[n] = '\0';
            // A value whose UTF-8 form would not fit is cut to the longest
            // prefix that does.
            std::size_t take = n, out = 0;
            while (take > 0 && (out = qx_8bits2utf8s(reinterpret_cast<unsigned char *>(value),
                                                     take, utf8, sizeof utf8 - 1)) == 0)
                take--;
            utf8[out] = '\0';
            text = reinterpret_cast<const char *>(utf8);
        }
        *it.field = strdup(text);
        if (qx_tracing(QX_LOG_ODBC))
            qx_log("Info %u = %s\n", static_cast<unsigned>(it.id), *it.field ? *it.field : "");
    }
    return 0;
}

void qx_free_odbc_info(odbc_info_t *info)
{
    for (char **field : {&info->database_name, &info->dbms_name, &info->dbms_ver,
                         &info->driver_name, &info->driver_ver}) {
        std::free(*field);
        *field = nullptr;
    }
}

namespace {

// A comment must not contain "--": the pair becomes "- -". What XML cannot
// carry becomes U+FFFD, as everywhere in an answer.
void write_comment_text(io_out_t *output, diagstk_t *diag, const char *text)
{
    const std::string_view t = text != nullptr ? text : "unknown";
    std::size_t start = 0;
    for (std::size_t i = 0; i < t.size();) {
        bool allowed = false;
        const std::size_t n = qx_utf8_char_len(t.substr(i), &allowed);
        if (t[i] == '-' && i + 1 < t.size() && t[i + 1] == '-') {
            io_write(output, diag, t.data() + start, ++i - start);
            io_write(output, diag, " ", 1);
            start = i;
        } else if (allowed) {
            i += n;
        } else {
            if (i > start) io_write(output, diag, t.data() + start, i - start);
            io_write(output, diag, "\xEF\xBF\xBD", 3);
            i += n != 0 ? n : 1;
            start = i;
        }
    }
    if (t.size() > start) io_write(output, diag, t.data() + start, t.size() - start);
}

}  // namespace

int qx_output_odbc_info(diagstk_t *diag, io_out_t *output, const odbc_info_t *info)
{
    // Unformatted writes: long driver strings arrive whole.
    const struct {
        const char *before;
        const char *value;
    } pieces[] = {
        {"<!--\r\n  Driver: ", info->driver_name}, {" (", info->driver_ver},
        {")\r\n  DBMS: ", info->dbms_name},         {" (", info->dbms_ver},
        {")\r\n  Database: ", info->database_name},
    };
    for (const auto &p : pieces) {
        io_write(output, diag, p.before, 0);
        write_comment_text(output, diag, p.value);
    }
    return io_write(output, diag, "\r\n-->\r\n", 0);
}

const char *sqltype2string(int sqltype)
{
    struct row {
        int code;
        const char *name;
    };
    static constexpr row names[] = {
        {-11, "GUID"},           {-10, "WLONGVARCHAR"},   {-9, "WVARCHAR"},
        {-8, "WCHAR"},           {-7, "BIT"},             {-6, "TINYINT"},
        {-5, "BIGINT"},          {-4, "LONGVARBINARY"},   {-3, "VARBINARY"},
        {-2, "BINARY"},          {-1, "LONGVARCHAR"},     {0, "UNKNOWN"},
        {1, "CHAR"},             {2, "NUMERIC"},          {3, "DECIMAL"},
        {4, "INTEGER"},          {5, "SMALLINT"},         {6, "FLOAT"},
        {7, "REAL"},             {8, "DOUBLE"},           {9, "DATE"},
        {10, "TIME"},            {11, "TIMESTAMP"},       {12, "VARCHAR"},
        {91, "TYPE_DATE"},       {92, "TYPE_TIME"},       {93, "TYPE_TIMESTAMP"},
        {101, "INTERVAL_YEAR"},  {102, "INTERVAL_MONTH"}, {103, "INTERVAL_DAY"},
        {104, "INTERVAL_HOUR"},  {105, "INTERVAL_MINUTE"}, {106, "INTERVAL_SECOND"},
        {107, "INTERVAL_YEAR_TO_MONTH"},   {108, "INTERVAL_DAY_TO_HOUR"},
        {109, "INTERVAL_DAY_TO_MINUTE"},   {110, "INTERVAL_DAY_TO_SECOND"},
        {111, "INTERVAL_HOUR_TO_MINUTE"},  {112, "INTERVAL_HOUR_TO_SECOND"},
        {113, "INTREVAL_MINUTE_TO_SECOND"},
    };
    for (const row &r : names)
        if (r.code == sqltype) return r.name;
    return "NOT FOUND";
}

const char *null_type2string(int nullable)
{
    switch (nullable) {
    case 0: return "NO_NULLS";
    case 1: return "NULLABLE";
    case 2: return "NULLABLE_UNKNOWN";
    default: return "NULLABLE_INVALID";
    }
}
