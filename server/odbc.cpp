// odbc.cpp - one request through the ODBC driver manager: connect, run the
// SQL text, transaction, procedure call or table list, and write the answer.

#include "odbc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"

namespace {

bool ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

// The handles of one request. The destructor releases them in the order
// the driver manager requires (statement, disconnect, connection,
// environment), on every way out of qx_odbc_result.
struct request_handles {
    diagstk_t *diag;
    SQLHENV henv = SQL_NULL_HENV;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    odbc_info_t info{};
    bool connected = false;

    explicit request_handles(diagstk_t *d) : diag(d) {}
    request_handles(const request_handles &) = delete;
    request_handles &operator=(const request_handles &) = delete;
    ~request_handles()
    {
        if (connected) odbc_close(diag, henv, hdbc, hstmt, &info);
    }
};

void trace_odbc_version(const SQLWCHAR *ver, SQLSMALLINT bytes)
{
    const int n = bytes / 2;
    qx_log("SQL_ODBC_VER: ");
    for (int i = 0; i < n && ver[i]; i++) qx_log("%d, ", ver[i]);
    qx_log("\n");
    for (int i = 0; i < n && ver[i]; i++)
        if (ver[i] >= 0x20 && ver[i] < 0x7F) qx_log("%c", static_cast<char>(ver[i]));
    qx_log("\n");
}

}  // namespace

int odbc_connect(io_out_t *output, diagstk_t *diag, query_t *query, SQLHENV *henvp,
                 SQLHDBC *hdbcp)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("odbc_connect(%p,%p,%p,%p,%p)\n", static_cast<void *>(output),
               static_cast<void *>(diag), static_cast<void *>(query), static_cast<void *>(henvp),
               static_cast<void *>(hdbcp));
    SQLHENV henv = SQL_NULL_HENV;
    if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &henv) != SQL_SUCCESS) {
        odbc_error("SQLAllocHandle", SQL_HANDLE_ENV, SQL_NULL_HANDLE,
                   "Allocating environment handle", output, diag, 0);
        return -1;
    }
    // ODBC 2 behaviour: drivers answer with ODBC 2 states and type codes.
    if (SQLSetEnvAttr(henv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC2),
                      0) != SQL_SUCCESS) {
        odbc_error("SQLSetEnvAttr", SQL_HANDLE_ENV, henv, "Setting ODBC version", output, diag, 0);
        SQLFreeHandle(SQL_HANDLE_ENV, henv);
        return -1;
    }
    SQLHDBC hdbc = SQL_NULL_HDBC;
    if (SQLAllocHandle(SQL_HANDLE_DBC, henv, &hdbc) != SQL_SUCCESS) {
        odbc_error("SQLAllocHandle", SQL_HANDLE_ENV, henv, "Allocating connection handle", output,
                   diag, 0);
        SQLFreeHandle(SQL_HANDLE_ENV, henv);
        return -1;
    }
    SQLWCHAR version[50] = {};
    SQLSMALLINT version_len = 0;
    if (!ok(SQLGetInfoW(hdbc, SQL_ODBC_VER, version, sizeof version, &version_len))) {
        odbc_error("SQLGetInfoW", SQL_HANDLE_DBC, hdbc, "for SQL_DM_VER", output, diag, 0);
        SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
        SQLFreeHandle(SQL_HANDLE_ENV, henv);
        return -1;
    }
    if (qx_tracing(QX_LOG_ODBC)) trace_odbc_version(version, version_len);
    if (!ok(SQLDriverConnectW(hdbc, nullptr, query->connect_string, SQL_NTS, nullptr, 0, nullptr,
                              SQL_DRIVER_NOPROMPT))) {
        odbc_error("SQLDriverConnect", SQL_HANDLE_DBC, hdbc, "Connecting to driver", output, diag,
                   0);
        SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
        SQLFreeHandle(SQL_HANDLE_ENV, henv);
        return -1;
    }
    *henvp = henv;
    *hdbcp = hdbc;
    return 0;
}

int odbc_close(diagstk_t *diag, SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt,
               odbc_info_t *odbc_info)
{
    (void)diag;
    if (hstmt != SQL_NULL_HSTMT) {
        SQLFreeStmt(hstmt, SQL_CLOSE);
        SQLFreeStmt(hstmt, SQL_DROP);
    }
    if (!ok(SQLDisconnect(hdbc))) {
        // A driver refuses to disconnect while a transaction is open; roll
        // it back so the connection (and its handle) can still be released.
        char state[6] = "";
        if (ok(qx_get_sql_state(SQL_HANDLE_DBC, hdbc, state)) && std::strcmp(state, "25000") == 0) {
            SQLEndTran(SQL_HANDLE_DBC, hdbc, SQL_ROLLBACK);
            SQLDisconnect(hdbc);
        }
    }
    SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
    SQLFreeHandle(SQL_HANDLE_ENV, henv);
    if (odbc_info != nullptr) qx_free_odbc_info(odbc_info);
    return 0;
}

namespace {

// Writes the answer's head: envelope with the request's style sheet and
// the driver-information comment.
void write_answer_head(io_out_t *output, query_t *query, const odbc_info_t *info,
                       diagstk_t *diag)
{
    output_xml_prolog(output, query->style_sheet_name, query->style_sheet_type, diag);
    qx_output_odbc_info(diag, output, info);
}

// Result sets of an executed statement, one after the other until the
// driver has no more. A failing SQLMoreResults is reported like any other
// statement failure rather than looping on a broken driver.
int write_result_sets(request_handles &h, io_out_t *output, query_t *query, diagstk_t *diag,
                      bool only_one)
{
    for (;;) {
        const int r = output_result_set(h.hdbc, h.hstmt, output, query, diag);
        if (r < 0) return r;
        if (only_one) return 0;
        const SQLRETURN more = SQLMoreResults(h.hstmt);
        if (more == SQL_NO_DATA) return 0;
        if (more == SQL_ERROR || more == SQL_INVALID_HANDLE) {
            odbc_error("SQLMoreResults", SQL_HANDLE_STMT, h.hstmt, "Fetching next result set",
                       output, diag, 0);
            return -1;
        }
    }
}

int run_transaction(request_handles &h, io_out_t *output, query_t *query, diagstk_t *diag)
{
    for (sql_transaction_t *t = query->transaction; t != nullptr; t = t->next) {
        if (!ok(SQLExecDirectW(h.hstmt, t->sql, SQL_NTS))) {
            odbc_error("SQLExecDirect", SQL_HANDLE_STMT, h.hstmt, "Executing SQL", output, diag,
                       1);
            SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_ROLLBACK);
            return -1;
        }
        // A statement that returned rows must not block the next one.
        SQLFreeStmt(h.hstmt, SQL_CLOSE);
    }
    SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_COMMIT);
    write_answer_head(output, query, &h.info, diag);
    io_write(output, diag, "<Result State=\"00000\">\n</Result>\n", 0);
    output_xml_epilog(output, diag);
    return 0;
}

}  // namespace

static int odbc_result_codes(query_t *query, io_out_t *output, diagstk_t *diag);
answer_outcome qx_odbc_result(query_t *query, io_out_t *output, diagstk_t *diag)
{
    const int r = odbc_result_codes(query, output, diag);
    return r == 0 ? ANSWER_COMPLETE : r == -1 ? ANSWER_FAILED : ANSWER_UNREPORTED;
}
static int odbc_result_codes(query_t *query, io_out_t *output, diagstk_t *diag)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("qx_odbc_result(%p,%p,%p)\n", static_cast<void *>(query),
               static_cast<void *>(output), static_cast<void *>(diag));
    request_handles h(diag);
    if (odbc_connect(output, diag, query, &h.henv, &h.hdbc) < 0) return -1;
    h.connected = true;
    qx_odbc_get_info(h.hdbc, &h.info);

    const SQLULEN commit = query->transaction != nullptr ? SQL_AUTOCOMMIT_OFF : SQL_AUTOCOMMIT_ON;
    if (!ok(SQLSetConnectAttr(h.hdbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(commit),
                              SQL_IS_UINTEGER))) {
        odbc_error("SQLSetConnectAttr", SQL_HANDLE_DBC, h.hdbc, "Turning AutoCommit off", output,
                   diag, 1);
        return -1;
    }
    if (SQLAllocHandle(SQL_HANDLE_STMT, h.hdbc, &h.hstmt) != SQL_SUCCESS) {
        h.hstmt = SQL_NULL_HSTMT;
        odbc_error("SQLAllocHandle", SQL_HANDLE_DBC, h.hdbc, "Allocating statement handle", output,
                   diag, 1);
        return -1;
    }
    if (query->procedure != nullptr) {
        form_sql_for_proc(query);
        bind_params_for_proc(h.hstmt, query);
    }

    if (query->sql != nullptr) {
        if (!ok(SQLExecDirectW(h.hstmt, query->sql, SQL_NTS))) {
            odbc_error("SQLExecDirect", SQL_HANDLE_STMT, h.hstmt, "Executing SQL", output, diag, 1);
            return -1;
        }
        write_answer_head(output, query, &h.info, diag);
        if (const int r = write_result_sets(h, output, query, diag, false); r < 0) return r;
        output_xml_epilog(output, diag);
    } else if (query->transaction != nullptr) {
        if (run_transaction(h, output, query, diag) < 0) return -1;
    } else if (query->meta == 1) {
        if (!ok(SQLTablesW(h.hstmt, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0))) {
            odbc_error("SQLTables", SQL_HANDLE_STMT, h.hstmt, "getting table list", output, diag,
                       1);
            return -1;
        }
        write_answer_head(output, query, &h.info, diag);
        if (const int r = write_result_sets(h, output, query, diag, true); r < 0) return r;
        output_xml_epilog(output, diag);
    }
    if (query->procedure != nullptr) output_procedure_output(output, query, diag);
    return 0;
}

// ============================================================ result sets

namespace {

enum class row_status { done, column_failed, fetch_failed, peer_gone };

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

// Streams one value chunk by chunk. False when a chunk failed.
bool write_column(const column_pieces &p, const result_column_t *c, SQLHSTMT hstmt,
                  query_t *query, CDATA_type_t cdata_type, SQLSMALLINT *target_type,
                  unsigned char *colbuf, row_writer &w, diagstk_t *diag)
{
    SQLLEN colind = 0;
    int chunks = 0;
    SQLRETURN ret;
    const bool wide = wide_column(c->type);
    do {
        if (wide)
            ret = get_column_data_wide(diag, hstmt, c->column, query, c, cdata_type, colbuf,
                                       QX_COLBUF_SIZE, &colind, target_type);
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

// The rows of one result set, written as they are fetched.
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
                diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
                return row_status::column_failed;
            }
            if (w.peer_gone()) return row_status::peer_gone;
        }
        w.put(row_end);
        if (w.peer_gone()) return row_status::peer_gone;
    }
}

// Maps the end of the rows to the format functions' result: 0 complete,
// -1 a failed value (row ended, no tail), -3 a failed fetch (reported after
// the tail), -4 the client is gone.
int finish_rows(row_status st, SQLHSTMT hstmt, io_out_t *out, diagstk_t *diag)
{
    switch (st) {
    case row_status::done: io_write(out, diag, "</Result>\n", 10); return 0;
    case row_status::column_failed: return -1;
    case row_status::fetch_failed:
        // A result cut short by an error must not pass for a complete one.
        io_write(out, diag, "</Result>\n", 10);
        odbc_error("SQLFetch", SQL_HANDLE_STMT, hstmt, "Fetching rows", out, diag, 1);
        return -3;
    case row_status::peer_gone:
        // Nothing is fetched for nobody: stop the statement at once.
        SQLCancel(hstmt);
        return -4;
    }
    return 0;
}

constexpr const char *RESULT_HEAD = "<Result State=\"00000\">\n";

}  // namespace

int output_xml_result_set_long(result_column_t *cols, SQLHSTMT hstmt, SQLSMALLINT result_columns,
                               query_t *query, io_out_t *output, diagstk_t *diag)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("output_xml_result_set_long(%p,%p,%d,%p,%p,%p)\n", static_cast<void *>(cols),
               hstmt, result_columns, static_cast<void *>(query), static_cast<void *>(output),
               static_cast<void *>(diag));
    io_write(output, diag, RESULT_HEAD, 0);
    const format_pieces f{QX_FORMAT_LONG, nullptr};
    return finish_rows(write_rows(f, cols, hstmt, query, output, diag), hstmt, output, diag);
}

int output_xml_result_set_short(result_column_t *cols, SQLHSTMT hstmt, SQLSMALLINT,
                                query_t *query, io_out_t *output, diagstk_t *diag)
{
    io_write(output, diag, RESULT_HEAD, 0);
    io_write(output, diag, "<Columns>\n", 0);
    const bool cdata = query->data_output_type == QX_DATA_CDATA;
    for (const result_column_t *c = cols; c != nullptr; c = c->next) {
        if (cdata) {
            io_write(output, diag, "  <Column>", 0);
            xml_out(output, diag, reinterpret_cast<const unsigned char *>(c->name), CDATA_cdata, 0);
            io_write(output, diag, "</Column>\n", 0);
        } else {
            io_write(output, diag, "  <Column>", 0);
            qx_write_escaped(output, diag, c->name);
            io_write(output, diag, "</Column>\n", 0);
        }
    }
    io_write(output, diag, "</Columns>\n", 0);
    const format_pieces f{QX_FORMAT_SHORT, nullptr};
    return finish_rows(write_rows(f, cols, hstmt, query, output, diag), hstmt, output, diag);
}

int output_xml_result_set_tabletags(result_column_t *cols, SQLHSTMT hstmt, SQLSMALLINT,
                                    query_t *query, io_out_t *output, diagstk_t *diag)
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
        if (chars > 0 && qx_wides2utf8s(cursor, chars + 1, reinterpret_cast<unsigned char *>(row_name),
                           sizeof row_name) == 0) {
            diagstk_add(diag, 3,
                        "Internal column name buffer(%d) too small to convert %d wide characters",
                        static_cast<int>(sizeof row_name), chars + 1);
            return -1;
        }
    }
    io_write(output, diag, RESULT_HEAD, 0);
    const format_pieces f{QX_FORMAT_TABLETAGS, row_name};
    return finish_rows(write_rows(f, cols, hstmt, query, output, diag), hstmt, output, diag);
}

int output_result_set(SQLHDBC hdbc, SQLHSTMT hstmt, io_out_t *output, query_t *query,
                      diagstk_t *diag)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("output_result_set(%p,%p,%p,%p,%p)\n", hdbc, hstmt, static_cast<void *>(output),
               static_cast<void *>(query), static_cast<void *>(diag));
    SQLSMALLINT result_columns = 0;
    result_column_t *cols = get_column_info(hdbc, hstmt, query, output, diag, &result_columns);
    if (cols == nullptr) return -1;
    if (cols->column == 0) {
        // No result set (an update, DDL), or every column left out by
        // Binary Output "none": an empty result says so.
        io_write(output, diag, "<Result State=\"00000\">\n</Result>\n", 0);
        free_column_info(cols);
        return 0;
    }
    if (qx_tracing(QX_LOG_RESULT))
        for (const result_column_t *c = cols; c != nullptr; c = c->next)
            qx_log("%u: %s, %s, %lu, %d, %s\n", c->column, c->name, sqltype2string(c->type),
                   static_cast<unsigned long>(c->size), c->decimal_digits,
                   null_type2string(c->nullable));
    int r;
    switch (query->format) {
    case QX_FORMAT_SHORT:
        r = output_xml_result_set_short(cols, hstmt, result_columns, query, output, diag);
        break;
    case QX_FORMAT_TABLETAGS:
        r = output_xml_result_set_tabletags(cols, hstmt, result_columns, query, output, diag);
        break;
    default:
        r = output_xml_result_set_long(cols, hstmt, result_columns, query, output, diag);
    }
    free_column_info(cols);
    if (r == -3 || r == -4) return -1;  // already reported, or nobody to tell
    return r < 0 ? -2 : 0;
}
