// odbc_columns.cpp - describing the columns of a result set and fetching
// their values chunk by chunk, converted for the answer as they come.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "log.h"
#include "odbc.h"

namespace {

bool ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

bool binary_type(SQLSMALLINT t)
{
    return t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY;
}

bool fixed_char_type(SQLSMALLINT t) { return t == SQL_CHAR || t == SQL_WCHAR; }

// Bytes of the chunk in a `bufsize` buffer, terminator included. A full
// buffer (more data follows) or a length the buffer cannot hold means the
// whole buffer: a driver's length is never trusted beyond it.
SQLLEN chunk_bytes(SQLRETURN ret, SQLLEN ind, SQLLEN bufsize, SQLLEN terminator)
{
    if (ret == SQL_SUCCESS_WITH_INFO || ind < 0 || ind + terminator > bufsize) return bufsize;
    return ind + terminator;
}

// Trailing blanks (and NULs) of a chunk become NULs; returns the units
// kept before the terminator.
template <class Unit>
SQLLEN trim_blanks(Unit *buf, SQLLEN units)
{
    SQLLEN i = units - 1;  // the terminator
    while (i >= 0 && (buf[i] == Unit(' ') || buf[i] == Unit(0))) buf[i--] = 0;
    return i + 1;
}

void free_column(result_column_t *c)
{
    std::free(c->name);
    std::free(c->xml_name);
    std::free(c);
}

}  // namespace

void free_column_info(result_column_t *cols)
{
    while (cols != nullptr) {
        result_column_t *next = cols->next;
        free_column(cols);
        cols = next;
    }
}

namespace {

// Describes column `col` into `c`. 0, -1, or the failing ODBC code.
int result_column(diagstk_t *diag, io_out_t *output, SQLHSTMT hstmt, SQLUSMALLINT col,
                  result_column_t *c, SQLWCHAR *wbuf, SQLSMALLINT wbuf_chars,
                  unsigned char *ubuf, std::size_t ubuf_size)
{
    c->column = col;
    SQLSMALLINT name_len = 0;
    SQLULEN size = 0;
    wbuf[0] = 0;
    const SQLRETURN ret = SQLDescribeColW(hstmt, col, wbuf, wbuf_chars, &name_len, &c->type, &size,
                                          &c->decimal_digits, &c->nullable);
    if (!ok(ret)) {
        odbc_error("SQLDescribeCol", SQL_HANDLE_STMT, hstmt, "Retrieving column description",
                   output, diag, 1);
        return ret;
    }
    c->size = static_cast<std::uint32_t>(size);
    // Some drivers report the name's length in bytes of UTF-8, or the full
    // length of a name they cut: the characters before the terminator count.
    SQLSMALLINT chars = 0;
    while (chars < name_len && chars < wbuf_chars - 1 && wbuf[chars] != 0) chars++;
    wbuf[chars] = 0;
    if (chars > 0) {
        if (qx_wides2utf8s(wbuf, chars + 1, ubuf, static_cast<int>(ubuf_size)) == 0) ubuf[0] = 0;
        c->name = strdup(reinterpret_cast<char *>(ubuf));
        if (c->name == nullptr) {
            diagstk_add(diag, 3, "Failed to allocate %ld bytes for utf8 column name",
                        static_cast<long>(std::strlen(reinterpret_cast<char *>(ubuf)) + 1));
            qx_output_error_result(diag, output);
            return -1;
        }
    } else {
        char unnamed[32];
        std::snprintf(unnamed, sizeof unnamed, "Column%u", static_cast<unsigned>(col));
        c->name = strdup(unnamed);
    }
    c->xml_name = c->name ? escape_xml_attribute_value(c->name) : nullptr;
    if (c->xml_name == nullptr) {
        diagstk_add(diag, 3, "Failed to allocate memory for translated XML column name");
        return -1;
    }
    return 0;
}

}  // namespace

result_column_t *get_column_info(SQLHDBC hdbc, SQLHSTMT hstmt, query_t *query,
                                 io_out_t *output, diagstk_t *diag, SQLSMALLINT *columns)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("get_column_info(%p,%p,%p,%p,%p,%p)\n", hdbc, hstmt, static_cast<void *>(query),
               static_cast<void *>(output), static_cast<void *>(diag),
               static_cast<void *>(columns));
    SQLUSMALLINT max_name_len = 0;
    if (SQLGetInfo(hdbc, SQL_MAX_COLUMN_NAME_LEN, &max_name_len, sizeof max_name_len, nullptr) !=
        SQL_SUCCESS) {
        odbc_error("SQLGetInfo", SQL_HANDLE_DBC, hdbc, "Retrieving SQL_MAX_COLUMN_NAME_LEN",
                   output, diag, 1);
        return nullptr;
    }
    SQLSMALLINT count = 0;
    SQLNumResultCols(hstmt, &count);
    *columns = count;
    if (count <= 0) {
        *columns = 0;
        return static_cast<result_column_t *>(std::calloc(1, sizeof(result_column_t)));
    }
    // A driver without a limit (0) or with a small one still gets room for
    // a usual name; longer names are cut to the buffer.
    const int wchars = (max_name_len < 255 ? 255 : max_name_len) + 1;
    std::vector<SQLWCHAR> wide_buf(static_cast<std::size_t>(wchars));
    std::vector<unsigned char> utf_buf(static_cast<std::size_t>(wchars) * 4);

    result_column_t *head = nullptr;
    result_column_t **tail = &head;
    for (SQLUSMALLINT col = 1; col <= count; col++) {
        result_column_t desc{};
        if (result_column(diag, output, hstmt, col, &desc, wide_buf.data(),
                          static_cast<SQLSMALLINT>(wchars), utf_buf.data(), utf_buf.size()) != 0) {
            std::free(desc.name);
            std::free(desc.xml_name);
            free_column_info(head);
            return nullptr;
        }
        if (query->binary == QX_BINARY_NONE && binary_type(desc.type)) {
            std::free(desc.name);
            std::free(desc.xml_name);
            continue;
        }
        auto *c = static_cast<result_column_t *>(std::malloc(sizeof(result_column_t)));
        if (c == nullptr) {
            std::free(desc.name);
            std::free(desc.xml_name);
            free_column_info(head);
            diagstk_add(diag, 3, "Failed to allocate %d bytes for column description",
                        static_cast<int>(sizeof(result_column_t)));
            qx_output_error_result(diag, output);
            return nullptr;
        }
        *c = desc;
        *tail = c;
        tail = &c->next;
    }
    // Every column was binary and left out: an empty result stands for it.
    if (head == nullptr) head = static_cast<result_column_t *>(std::calloc(1, sizeof(result_column_t)));
    return head;
}

namespace {

// A character beyond U+FFFF arrives as two units, and a chunk can end
// between them. The first unit is then held back and put in front of the
// next chunk of the same value, so the pair is written as one character.
struct surrogate_carry {
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    SQLUSMALLINT col = 0;
    SQLWCHAR unit = 0;
};
surrogate_carry carry;

// `widebuf` has one free unit in front of it for a carried unit.
SQLRETURN convert_wide_chunk(diagstk_t *diag, SQLHSTMT hstmt, SQLUSMALLINT col, query_t *query,
                             const result_column_t *coldesc, CDATA_type_t cdata_type,
                             SQLWCHAR *widebuf, SQLRETURN ret, unsigned char *colbuf,
                             std::size_t colbuf_size, SQLLEN *indicator)
{
    SQLLEN bytes = chunk_bytes(ret, *indicator, QX_WIDE_GETDATA_BYTES, 2);
    bytes &= ~SQLLEN(1);
    widebuf[bytes / 2 - 1] = 0;
    if ((query->flags & QX_TRUNCATE_BLANKS) && fixed_char_type(coldesc->type)) {
        if (qx_tracing(QX_LOG_ODBC)) qx_log("\tTruncating (length=%d)\n", static_cast<int>(bytes));
        bytes = (trim_blanks(widebuf, bytes / 2) + 1) * 2;
        if (qx_tracing(QX_LOG_ODBC)) qx_log("\tTruncated (length=%d)\n", static_cast<int>(bytes));
    }
    int chars = static_cast<int>(bytes / 2);
    SQLWCHAR *start = widebuf;
    if (carry.unit != 0 && carry.hstmt == hstmt && carry.col == col) {
        *--start = carry.unit;
        chars++;
    }
    carry = surrogate_carry{};
    if (ret == SQL_SUCCESS_WITH_INFO && chars >= 2 && start[chars - 2] >= 0xD800 &&
        start[chars - 2] <= 0xDBFF) {
        carry = surrogate_carry{hstmt, col, start[chars - 2]};
        start[--chars - 1] = 0;
    }
    const std::size_t n = cdata_type == CDATA_parsed
                              ? qx_wides2chrrefs(start, chars, colbuf, colbuf_size)
                              : static_cast<std::size_t>(qx_wides2utf8s(
                                    start, chars, colbuf, static_cast<int>(colbuf_size)));
    if (n == 0) {
        diagstk_add(diag, 3, "Internal buffer(%d) too small to convert %d characters",
                    static_cast<int>(colbuf_size), chars);
        return -1;
    }
    *indicator = static_cast<SQLLEN>(n);
    return ret;
}

SQLRETURN convert_8bit_chunk(diagstk_t *diag, query_t *query, const result_column_t *coldesc,
                             CDATA_type_t cdata_type, unsigned char *buf, SQLLEN bufsize,
                             SQLRETURN ret, unsigned char *colbuf, std::size_t colbuf_size,
                             SQLLEN *indicator)
{
    SQLLEN bytes = chunk_bytes(ret, *indicator, bufsize, 1);
    buf[bytes - 1] = 0;
    if ((query->flags & QX_TRUNCATE_BLANKS) && fixed_char_type(coldesc->type))
        bytes = trim_blanks(buf, bytes) + 1;
    const std::size_t len = static_cast<std::size_t>(bytes);
    const std::size_t n = cdata_type == CDATA_parsed
                              ? qx_8bits2chrrefs(buf, len, colbuf, colbuf_size)
                              : qx_8bits2utf8s(buf, len, colbuf, colbuf_size);
    if (n == 0) {
        diagstk_add(diag, 3, "Insufficient buffer space for conversion of %d bytes",
                    static_cast<int>(len));
        return -1;
    }
    *indicator = static_cast<SQLLEN>(n) - 1;
    return ret;
}

// "The driver cannot deliver this column as wide characters", in both
// ODBC generations.
bool wide_refused(SQLHSTMT hstmt)
{
    char state[6] = "";
    if (!ok(qx_get_sql_state(SQL_HANDLE_STMT, hstmt, state))) return false;
    return std::strcmp(state, "07006") == 0 || std::strcmp(state, "S1003") == 0 ||
           std::strcmp(state, "HY003") == 0;
}

}  // namespace

SQLRETURN get_column_data_wide(diagstk_t *diag, SQLHSTMT hstmt, SQLUSMALLINT col,
                               query_t *query, const result_column_t *coldesc,
                               CDATA_type_t cdata_type, unsigned char *colbuf,
                               std::size_t colbuf_size, SQLLEN *indicator,
                               SQLSMALLINT *target_type)
{
    SQLWCHAR storage[1 + QX_WIDE_GETDATA_BYTES / sizeof(SQLWCHAR)];
    SQLWCHAR *widebuf = storage + 1;  // room in front for a carried unit
    SQLSMALLINT local_target = *target_type == SQL_C_DEFAULT ? SQL_C_WCHAR : *target_type;
    SQLRETURN ret = SQLGetData(hstmt, col, local_target, widebuf, QX_WIDE_GETDATA_BYTES, indicator);
    if (!ok(ret) && local_target == SQL_C_WCHAR && wide_refused(hstmt)) {
        local_target = SQL_C_CHAR;
        ret = SQLGetData(hstmt, col, local_target, widebuf, QX_WIDE_GETDATA_BYTES, indicator);
    }
    if (!ok(ret)) {
        odbc_error("SQLGetData", SQL_HANDLE_STMT, hstmt, "Retrieving Column data", nullptr, diag, 3);
        return ret;
    }
    if (*indicator == SQL_NULL_DATA) return ret;
    *target_type = local_target;
    if (local_target == SQL_C_WCHAR)
        return convert_wide_chunk(diag, hstmt, col, query, coldesc, cdata_type, widebuf, ret,
                                  colbuf, colbuf_size, indicator);
    return convert_8bit_chunk(diag, query, coldesc, cdata_type,
                              reinterpret_cast<unsigned char *>(widebuf), QX_WIDE_GETDATA_BYTES,
                              ret, colbuf, colbuf_size, indicator);
}

SQLRETURN get_column_data(diagstk_t *diag, SQLHSTMT hstmt, SQLUSMALLINT col, query_t *query,
                          const result_column_t *coldesc, CDATA_type_t cdata_type,
                          unsigned char *colbuf, std::size_t colbuf_size, SQLLEN *indicator)
{
    unsigned char buf8bit[QX_8BIT_GETDATA_BYTES];
    const bool as_binary = binary_type(coldesc->type) && query->binary != QX_BINARY_SQL;
    const SQLSMALLINT ctype = as_binary ? SQL_C_BINARY : SQL_C_CHAR;
    const SQLRETURN ret = SQLGetData(hstmt, col, ctype, buf8bit, QX_8BIT_GETDATA_BYTES, indicator);
    if (!ok(ret)) {
        odbc_error("SQLGetData", SQL_HANDLE_STMT, hstmt, "Retrieving Column data", nullptr, diag, 3);
        return ret;
    }
    if (*indicator == SQL_NULL_DATA) return ret;
    if (!as_binary)
        return convert_8bit_chunk(diag, query, coldesc, cdata_type, buf8bit, QX_8BIT_GETDATA_BYTES,
                                  ret, colbuf, colbuf_size, indicator);
    // Each chunk is encoded on its own: a long value becomes consecutive
    // Base64 blocks of 1024 source bytes.
    const SQLLEN len = chunk_bytes(ret, *indicator, QX_8BIT_GETDATA_BYTES, 0);
    *indicator = qx_base64encode(reinterpret_cast<char *>(colbuf),
                                 reinterpret_cast<const char *>(buf8bit), static_cast<int>(len));
    return ret;
}
