// result.cpp - one result set written as it is fetched: the columns are
// described once, every value is fetched chunk by chunk and converted at
// once, and the rows are framed in the requested format. Failures below
// output_result_set only push onto the stack and return; it decides what
// is emitted where.

#include "result.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "conv.h"
#include "log.h"
#include "metrics.h"
#include "odbc_util.h"
#include "watchdog.h"

namespace {

bool ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

bool binary_type(SQLSMALLINT t)
{
    return t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY;
}

bool fixed_char_type(SQLSMALLINT t) { return t == SQL_CHAR || t == SQL_WCHAR; }

}  // namespace

// ===================================================== column description

void free_column_info(result_column_t *cols)
{
    while (cols != nullptr) {
        result_column_t *next = cols->next;
        std::free(cols->name);
        std::free(cols->xml_name);
        std::free(cols);
        cols = next;
    }
}

namespace {

struct column_list_deleter {
    void operator()(result_column_t *cols) const { free_column_info(cols); }
};
// Owner of a column list: every way out of the writer frees it.
using column_list = std::unique_ptr<result_column_t, column_list_deleter>;

// The texts of a description that never became a record.
void free_column_texts(result_column_t &c)
{
    std::free(c.name);
    std::free(c.xml_name);
    c.name = c.xml_name = nullptr;
}

// Names column `col` of `c` from the first `chars` units of `wbuf`, or
// "Column<n>" when the driver gave no name. False with a message pushed.
bool name_column(diagstk_t *diag, result_column_t *c, SQLUSMALLINT col, const SQLWCHAR *wbuf,
                 SQLSMALLINT chars, unsigned char *ubuf, std::size_t ubuf_size,
                 describe_failure *failure)
{
    if (chars > 0) {
        if (qx_wides2utf8s(wbuf, chars + 1, ubuf, static_cast<int>(ubuf_size)) == 0) ubuf[0] = 0;
        c->name = strdup(reinterpret_cast<char *>(ubuf));
        if (c->name == nullptr) {
            diagstk_add(diag, 3, "Failed to allocate %ld bytes for utf8 column name",
                        static_cast<long>(std::strlen(reinterpret_cast<char *>(ubuf)) + 1));
            *failure = DESCRIBE_FOR_CLIENT;
            return false;
        }
    } else {
        char unnamed[32];
        std::snprintf(unnamed, sizeof unnamed, "Column%u", static_cast<unsigned>(col));
        c->name = strdup(unnamed);
    }
    c->xml_name = c->name ? escape_xml_attribute_value(c->name) : nullptr;
    if (c->xml_name == nullptr) {
        diagstk_add(diag, 3, "Failed to allocate memory for translated XML column name");
        *failure = DESCRIBE_ON_STACK;
        return false;
    }
    return true;
}

// Describes column `col` into `c`. 0; the failing ODBC code after an ODBC
// error result was written; -1 with a message pushed. *failure says which.
int result_column(diagstk_t *diag, io_out_t *output, SQLHSTMT hstmt, SQLUSMALLINT col,
                  result_column_t *c, SQLWCHAR *wbuf, SQLSMALLINT wbuf_chars,
                  unsigned char *ubuf, std::size_t ubuf_size, describe_failure *failure)
{
    c->column = col;
    SQLSMALLINT name_len = 0;
    SQLULEN size = 0;
    wbuf[0] = 0;
    const SQLRETURN ret = SQLDescribeColW(hstmt, col, wbuf, wbuf_chars, &name_len, &c->type, &size,
                                          &c->decimal_digits, &c->nullable);
    if (!ok(ret)) {
        odbc_error("SQLDescribeCol", SQL_HANDLE_STMT, hstmt, "Retrieving column description",
                   output, diag, ODBC_ERROR_CONNECTED);
        *failure = DESCRIBE_ANSWERED;
        return ret;
    }
    c->size = static_cast<std::uint32_t>(size);
    // Some drivers report the name's length in bytes of UTF-8, or the full
    // length of a name they cut: the characters before the terminator count.
    SQLSMALLINT chars = 0;
    while (chars < name_len && chars < wbuf_chars - 1 && wbuf[chars] != 0) chars++;
    wbuf[chars] = 0;
    return name_column(diag, c, col, wbuf, chars, ubuf, ubuf_size, failure) ? 0 : -1;
}

// The one record that stands for a result without columns; null when
// memory is short.
result_column_t *no_columns()
{
    return static_cast<result_column_t *>(std::calloc(1, sizeof(result_column_t)));
}

// Describes columns 1..count into a list, leaving out binary columns when
// the query says "none". Null on failure, as get_column_info.
result_column_t *describe_columns(SQLHSTMT hstmt, SQLSMALLINT count, int max_name_len,
                                  query_t *query, io_out_t *output, diagstk_t *diag,
                                  describe_failure *failure)
{
    // A driver without a limit (0) or with a small one still gets room for
    // a usual name; longer names are cut to the buffer.
    const int wchars = (max_name_len < 255 ? 255 : max_name_len) + 1;
    std::vector<SQLWCHAR> wide_buf(static_cast<std::size_t>(wchars));
    std::vector<unsigned char> utf_buf(static_cast<std::size_t>(wchars) * 4);
    column_list head;
    result_column_t *last = nullptr;
    for (SQLUSMALLINT col = 1; col <= count; col++) {
        result_column_t desc{};
        const int r = result_column(diag, output, hstmt, col, &desc, wide_buf.data(),
                                    static_cast<SQLSMALLINT>(wchars), utf_buf.data(),
                                    utf_buf.size(), failure);
        if (r != 0 || (query->binary == QX_BINARY_NONE && binary_type(desc.type))) {
            free_column_texts(desc);
            if (r != 0) return nullptr;
            continue;
        }
        auto *c = static_cast<result_column_t *>(std::malloc(sizeof(result_column_t)));
        if (c == nullptr) {
            free_column_texts(desc);
            diagstk_add(diag, 3, "Failed to allocate %d bytes for column description",
                        static_cast<int>(sizeof(result_column_t)));
            *failure = DESCRIBE_FOR_CLIENT;
            return nullptr;
        }
        *c = desc;
        if (last == nullptr)
            head.reset(c);
        else
            last->next = c;
        last = c;
    }
    // Every column was binary and left out: an empty result stands for it.
    return head != nullptr ? head.release() : no_columns();
}

}  // namespace

result_column_t *get_column_info(SQLHDBC hdbc, SQLHSTMT hstmt, query_t *query,
                                 io_out_t *output, diagstk_t *diag, SQLSMALLINT *columns,
                                 describe_failure *failure)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("get_column_info(%p,%p,%p,%p,%p,%p)\n", hdbc, hstmt, static_cast<void *>(query),
               static_cast<void *>(output), static_cast<void *>(diag),
               static_cast<void *>(columns));
    *failure = DESCRIBE_ANSWERED;
    SQLUSMALLINT max_name_len = 0;
    if (SQLGetInfo(hdbc, SQL_MAX_COLUMN_NAME_LEN, &max_name_len, sizeof max_name_len, nullptr) !=
        SQL_SUCCESS) {
        odbc_error("SQLGetInfo", SQL_HANDLE_DBC, hdbc, "Retrieving SQL_MAX_COLUMN_NAME_LEN",
                   output, diag, ODBC_ERROR_CONNECTED);
        return nullptr;
    }
    SQLSMALLINT count = 0;
    SQLNumResultCols(hstmt, &count);
    *columns = count;
    if (count <= 0) {
        *columns = 0;
        return no_columns();
    }
    return describe_columns(hstmt, count, max_name_len, query, output, diag, failure);
}

// ========================================================= data retrieval

namespace {

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

bool high_surrogate(SQLWCHAR u) { return u >= 0xD800 && u <= 0xDBFF; }

// `widebuf` has one free unit in front of it for a unit `value` held back.
SQLRETURN convert_wide_chunk(diagstk_t *diag, query_t *query, const result_column_t *coldesc,
                             CDATA_type_t cdata_type, SQLWCHAR *widebuf, SQLRETURN ret,
                             unsigned char *colbuf, std::size_t colbuf_size, SQLLEN *indicator,
                             wide_value &value)
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
    if (value.held != 0) {
        *--start = value.held;
        chars++;
    }
    value.held = 0;
    // A first half at the edge waits for its second half in the next chunk,
    // so the pair is written as one character.
    if (ret == SQL_SUCCESS_WITH_INFO && chars >= 2 && high_surrogate(start[chars - 2])) {
        value.held = start[chars - 2];
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

constexpr unsigned long GETDATA_FAILED = ODBC_ERROR_CONNECTED | ODBC_ERROR_TO_STACK;

}  // namespace

SQLRETURN get_column_data_wide(diagstk_t *diag, SQLHSTMT hstmt, SQLUSMALLINT col,
                               query_t *query, const result_column_t *coldesc,
                               CDATA_type_t cdata_type, unsigned char *colbuf,
                               std::size_t colbuf_size, SQLLEN *indicator,
                               SQLSMALLINT *target_type, wide_value &value)
{
    SQLWCHAR storage[1 + QX_WIDE_GETDATA_BYTES / sizeof(SQLWCHAR)];
    SQLWCHAR *widebuf = storage + 1;  // room in front for a held unit
    SQLSMALLINT local_target = *target_type == SQL_C_DEFAULT ? SQL_C_WCHAR : *target_type;
    SQLRETURN ret = SQLGetData(hstmt, col, local_target, widebuf, QX_WIDE_GETDATA_BYTES, indicator);
    if (!ok(ret) && local_target == SQL_C_WCHAR && wide_refused(hstmt)) {
        local_target = SQL_C_CHAR;
        ret = SQLGetData(hstmt, col, local_target, widebuf, QX_WIDE_GETDATA_BYTES, indicator);
    }
    if (!ok(ret)) {
        odbc_error("SQLGetData", SQL_HANDLE_STMT, hstmt, "Retrieving Column data", nullptr, diag,
                   GETDATA_FAILED);
        return ret;
    }
    if (*indicator == SQL_NULL_DATA) return ret;
    *target_type = local_target;
    if (local_target == SQL_C_WCHAR)
        return convert_wide_chunk(diag, query, coldesc, cdata_type, widebuf, ret, colbuf,
                                  colbuf_size, indicator, value);
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
        odbc_error("SQLGetData", SQL_HANDLE_STMT, hstmt, "Retrieving Column data", nullptr, diag,
                   GETDATA_FAILED);
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

// ============================================================ row framing

namespace {

enum class row_status { done, column_failed, fetch_failed, peer_gone, stopped };

// The pieces of one format around rows and values.
struct format_pieces {
    int format;
    const char *row_name;  // TableTags only
};

// Rows go out through one staging buffer: a value and its tags reach the
// channel as part of one large write instead of five small ones.
class row_writer {
public:
    row_writer(io_out_t *out, diagstk_t *diag) : out_(out), diag_(diag) {}
    row_writer(const row_writer &) = delete;
    row_writer &operator=(const row_writer &) = delete;
    ~row_writer() { flush(); }

    void put(const char *s, std::size_t n)
    {
        if (n > sizeof buf_ - len_) {
            flush();
            if (n > sizeof buf_) {
                io_write(out_, diag_, s, n);
                return;
            }
        }
        std::memcpy(buf_ + len_, s, n);
        len_ += n;
    }
    void put(const std::string &s) { put(s.data(), s.size()); }
    void put(const char *s) { put(s, std::strlen(s)); }

    // A chunk of character data, as xml_out writes it.
    void chunk(const char *text, CDATA_type_t type)
    {
        if (type != CDATA_cdata) {
            put(text);
            return;
        }
        qx_cdata_pieces(text, [this](const char *s, std::size_t n) { put(s, n); });
    }

    void flush()
    {
        if (len_ == 0) return;
        io_write(out_, diag_, buf_, len_);
        len_ = 0;
    }
    bool peer_gone() const { return (out_->state & IO_STATE_PEER_GONE) != 0; }

private:
    io_out_t *out_;
    diagstk_t *diag_;
    std::size_t len_ = 0;
    char buf_[16 * 1024];
};

// The text around one column's values, built once per result set.
struct column_pieces {
    std::string open, close, null;
};

std::vector<column_pieces> pieces_for(const format_pieces &f, const result_column_t *cols)
{
    std::vector<column_pieces> v;
    for (const result_column_t *c = cols; c != nullptr; c = c->next) {
        const std::string name = c->name != nullptr ? c->name : "";
        const std::string xml_name = c->xml_name != nullptr ? c->xml_name : "";
        switch (f.format) {
        case QX_FORMAT_SHORT:
            v.push_back({"    <Column>", "</Column>\n", "    <Column isnull=\"yes\" />\n"});
            break;
        case QX_FORMAT_TABLETAGS:
            v.push_back({"    <" + name + ">", "</" + name + ">\n", "    <" + name + "/>\n"});
            break;
        default:
            v.push_back({"    <Column Name=" + xml_name + ">", "</Column>\n",
                         "    <Column Name=" + xml_name + " isnull=\"yes\" />\n"});
        }
    }
    return v;
}

// Character columns go through the wide path: the driver converts them to
// UTF-16 and no multi-byte character is ever split at a chunk edge.
bool wide_column(SQLSMALLINT type)
{
    return type == SQL_WVARCHAR || type == SQL_WCHAR || type == SQL_WLONGVARCHAR ||
           type == SQL_LONGVARCHAR || type == SQL_CHAR || type == SQL_VARCHAR;
}

// Streams one value chunk by chunk. False when a chunk failed, its reason
// pushed onto `diag`.
bool write_column(const column_pieces &p, const result_column_t *c, SQLHSTMT hstmt,
                  query_t *query, CDATA_type_t cdata_type, SQLSMALLINT *target_type,
                  unsigned char *colbuf, row_writer &w, diagstk_t *diag)
{
    SQLLEN colind = 0;
    int chunks = 0;
    SQLRETURN ret;
    const bool wide = wide_column(c->type);
    wide_value value;  // lives as long as this value, no longer
    do {
        if (wide)
            ret = get_column_data_wide(diag, hstmt, c->column, query, c, cdata_type, colbuf,
                                       QX_COLBUF_SIZE, &colind, target_type, value);
        else
            ret = get_column_data(diag, hstmt, c->column, query, c, cdata_type, colbuf,
                                  QX_COLBUF_SIZE, &colind);
        if (!ok(ret)) return false;
        if (colind == SQL_NULL_DATA) {
            w.put(p.null);
            return true;
        }
        if (++chunks == 1) w.put(p.open);
        w.chunk(reinterpret_cast<const char *>(colbuf), cdata_type);
        // A long value goes out as it comes, so that a client that has
        // gone is noticed before the rest is fetched.
        if (ret == SQL_SUCCESS_WITH_INFO) w.flush();
    } while (ret == SQL_SUCCESS_WITH_INFO && !w.peer_gone());
    w.put(p.close);
    return true;
}

// The rows of one result set, written as they are fetched. A value that
// fails ends its row, and the rows; its reason stays on the stack.
row_status write_rows(const format_pieces &f, result_column_t *cols, SQLHSTMT hstmt,
                      query_t *query, io_out_t *out, diagstk_t *diag)
{
    const CDATA_type_t cdata_type = query->data_output_type == QX_DATA_CDATA ? CDATA_cdata
                                                                             : CDATA_parsed;
    SQLSMALLINT target_type = SQL_C_DEFAULT;
    const std::vector<column_pieces> pieces = pieces_for(f, cols);
    std::string row_start = "<Row>\n", row_end = "</Row>\n";
    if (f.format == QX_FORMAT_TABLETAGS) {
        row_start = std::string("<") + f.row_name + ">\n";
        row_end = std::string("</") + f.row_name + ">\n";
    }
    // One buffer for every chunk of every row: no allocation per value.
    unsigned char colbuf[QX_COLBUF_SIZE];
    row_writer w(out, diag);
    for (;;) {
        // A time limit, a client gone or a shutdown stops the rows here.
        if (qx_watch_stop_requested()) return row_status::stopped;
        const SQLRETURN fetched = SQLFetch(hstmt);
        if (fetched == SQL_NO_DATA) return row_status::done;
        if (!ok(fetched)) return row_status::fetch_failed;
        w.put(row_start);
        std::size_t i = 0;
        for (const result_column_t *c = cols; c != nullptr; c = c->next, i++) {
            if (!write_column(pieces[i], c, hstmt, query, cdata_type, &target_type, colbuf, w,
                              diag)) {
                w.put(row_end);
                w.flush();
                return row_status::column_failed;
            }
            if (w.peer_gone()) return row_status::peer_gone;
        }
        w.put(row_end);
        qx_metrics_row();
        if (w.peer_gone()) return row_status::peer_gone;
    }
}

// Ends a result set after its rows and says what became of it.
answer_outcome finish_rows(row_status st, SQLHSTMT hstmt, io_out_t *out, diagstk_t *diag)
{
    switch (st) {
    case row_status::done: io_write(out, diag, "</Result>\n", 10); return ANSWER_COMPLETE;
    case row_status::column_failed: return ANSWER_UNREPORTED;  // no tail after a cut row
    case row_status::fetch_failed:
        // A result cut short by an error must not pass for a complete one.
        io_write(out, diag, "</Result>\n", 10);
        odbc_error("SQLFetch", SQL_HANDLE_STMT, hstmt, "Fetching rows", out, diag,
                   ODBC_ERROR_CONNECTED);
        return ANSWER_FAILED;
    case row_status::peer_gone:
        // Nothing is fetched for nobody: stop the statement at once.
        SQLCancel(hstmt);
        return ANSWER_PEER_GONE;
    case row_status::stopped: return qx_watch_stopped_answer(hstmt, out, diag, "</Result>\n");
    }
    return ANSWER_COMPLETE;
}

constexpr const char *RESULT_HEAD = "<Result State=\"00000\">\n";

}  // namespace

// ================================================================ formats

answer_outcome output_xml_result_set_long(result_column_t *cols, SQLHSTMT hstmt,
                                          SQLSMALLINT result_columns, query_t *query,
                                          io_out_t *output, diagstk_t *diag)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("output_xml_result_set_long(%p,%p,%d,%p,%p,%p)\n", static_cast<void *>(cols),
               hstmt, result_columns, static_cast<void *>(query), static_cast<void *>(output),
               static_cast<void *>(diag));
    io_write(output, diag, RESULT_HEAD, 0);
    const format_pieces f{QX_FORMAT_LONG, nullptr};
    return finish_rows(write_rows(f, cols, hstmt, query, output, diag), hstmt, output, diag);
}

answer_outcome output_xml_result_set_short(result_column_t *cols, SQLHSTMT hstmt, SQLSMALLINT,
                                           query_t *query, io_out_t *output, diagstk_t *diag)
{
    io_write(output, diag, RESULT_HEAD, 0);
    io_write(output, diag, "<Columns>\n", 0);
    const bool cdata = query->data_output_type == QX_DATA_CDATA;
    for (const result_column_t *c = cols; c != nullptr; c = c->next) {
        io_write(output, diag, "  <Column>", 0);
        if (cdata)
            xml_out(output, diag, reinterpret_cast<const unsigned char *>(c->name), CDATA_cdata, 0);
        else
            qx_write_escaped(output, diag, c->name);
        io_write(output, diag, "</Column>\n", 0);
    }
    io_write(output, diag, "</Columns>\n", 0);
    const format_pieces f{QX_FORMAT_SHORT, nullptr};
    return finish_rows(write_rows(f, cols, hstmt, query, output, diag), hstmt, output, diag);
}

answer_outcome output_xml_result_set_tabletags(result_column_t *cols, SQLHSTMT hstmt,
                                               SQLSMALLINT, query_t *query, io_out_t *output,
                                               diagstk_t *diag)
{
    char row_name[1024] = "Table";
    SQLWCHAR cursor[128] = {};
    SQLSMALLINT cursor_len = 0;
    if (ok(SQLGetCursorNameW(hstmt, cursor, 128, &cursor_len))) {
        // A name longer than the buffer was cut by the driver: take what it holds.
        int chars = 0;
        while (chars < 127 && cursor[chars] != 0) chars++;
        cursor[chars] = 0;
        // An empty name would make an element without a name: keep "Table".
        if (chars > 0 &&
            qx_wides2utf8s(cursor, chars + 1, reinterpret_cast<unsigned char *>(row_name),
                           sizeof row_name) == 0) {
            diagstk_add(diag, 3,
                        "Internal column name buffer(%d) too small to convert %d wide characters",
                        static_cast<int>(sizeof row_name), chars + 1);
            return ANSWER_UNREPORTED;
        }
    }
    io_write(output, diag, RESULT_HEAD, 0);
    const format_pieces f{QX_FORMAT_TABLETAGS, row_name};
    return finish_rows(write_rows(f, cols, hstmt, query, output, diag), hstmt, output, diag);
}

// ============================================================ result sets

namespace {

void trace_columns(const result_column_t *cols)
{
    for (const result_column_t *c = cols; c != nullptr; c = c->next)
        qx_log("%u: %s, %s, %lu, %d, %s\n", c->column, c->name, sqltype2string(c->type),
               static_cast<unsigned long>(c->size), c->decimal_digits,
               null_type2string(c->nullable));
}

answer_outcome write_in_format(result_column_t *cols, SQLHSTMT hstmt, SQLSMALLINT result_columns,
                               query_t *query, io_out_t *output, diagstk_t *diag)
{
    switch (query->format) {
    case QX_FORMAT_SHORT:
        return output_xml_result_set_short(cols, hstmt, result_columns, query, output, diag);
    case QX_FORMAT_TABLETAGS:
        return output_xml_result_set_tabletags(cols, hstmt, result_columns, query, output, diag);
    default:
        return output_xml_result_set_long(cols, hstmt, result_columns, query, output, diag);
    }
}

}  // namespace

answer_outcome output_result_set(SQLHDBC hdbc, SQLHSTMT hstmt, io_out_t *output, query_t *query,
                                 diagstk_t *diag)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("output_result_set(%p,%p,%p,%p,%p)\n", hdbc, hstmt, static_cast<void *>(output),
               static_cast<void *>(query), static_cast<void *>(diag));
    SQLSMALLINT result_columns = 0;
    describe_failure failure = DESCRIBE_ANSWERED;
    const column_list cols(
        get_column_info(hdbc, hstmt, query, output, diag, &result_columns, &failure));
    if (cols == nullptr) {
        // Nothing of this result set is out yet: the reason becomes the
        // client's error result, unless it was written already or stays put.
        if (failure == DESCRIBE_FOR_CLIENT) qx_output_error_result(diag, output);
        return ANSWER_FAILED;
    }
    if (cols->column == 0) {
        // No result set (an update, DDL), or every column left out by
        // Binary Output "none": an empty result says so.
        io_write(output, diag, "<Result State=\"00000\">\n</Result>\n", 0);
        return ANSWER_COMPLETE;
    }
    if (qx_tracing(QX_LOG_RESULT)) trace_columns(cols.get());
    const answer_outcome r =
        write_in_format(cols.get(), hstmt, result_columns, query, output, diag);
    // What the client already has cannot be taken back (a row ended with
    // no tail after it, or nothing at all): the reason goes to the event
    // channel instead.
    if (r == ANSWER_UNREPORTED) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    return r;
}
