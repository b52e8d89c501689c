// odbc.cpp - one request through the ODBC driver manager: connect, run the
// SQL text, transaction, procedure call or table list, frame the answer
// around its result sets (result.cpp), and release every handle.

#include "odbc.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "conv.h"
#include "keep.h"
#include "log.h"
#include "odbc_proc.h"
#include "result.h"
#include "sqlite_confine.h"
#include "watchdog.h"
#include "xml.h"

namespace {

bool ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

// Owner of one handle of type `Type` while it is being set up: freed with
// SQLFreeHandle unless it has been handed on. Move-only.
template <SQLSMALLINT Type>
class handle_owner {
public:
    handle_owner() = default;
    handle_owner(handle_owner &&o) noexcept : h_(o.release()) {}
    ~handle_owner()
    {
        if (h_ != nullptr) SQLFreeHandle(Type, h_);
    }
    SQLHANDLE get() const { return h_; }
    SQLHANDLE *put() { return &h_; }  // for SQLAllocHandle into an empty owner
    SQLHANDLE release() { return std::exchange(h_, nullptr); }

private:
    SQLHANDLE h_ = nullptr;
};
using env_owner = handle_owner<SQL_HANDLE_ENV>;
using dbc_owner = handle_owner<SQL_HANDLE_DBC>;

// Writes the ODBC error result of a failed connection step; -1.
int connect_failed(const char *fn, SQLSMALLINT type, SQLHANDLE handle, const char *whilst,
                   io_out_t *output, diagstk_t *diag)
{
    odbc_error(fn, type, handle, whilst, output, diag, ODBC_ERROR_TO_OUTPUT);
    return -1;
}

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

// Asks the driver manager for its ODBC version, which only the trace shows.
bool read_odbc_version(SQLHDBC hdbc)
{
    SQLWCHAR version[50] = {};
    SQLSMALLINT version_len = 0;
    if (!ok(SQLGetInfoW(hdbc, SQL_ODBC_VER, version, sizeof version, &version_len))) return false;
    if (qx_tracing(QX_LOG_ODBC)) trace_odbc_version(version, version_len);
    return true;
}

bool beyond_bmp(const SQLWCHAR *text)
{
    for (; *text != 0; text++)
        if (*text >= 0xD800 && *text <= 0xDFFF) return true;
    return false;
}

// The driver manager converts our wide text for a driver without wide
// functions as UCS-2, which has no characters beyond U+FFFF: the text is
// cut short or garbled there. A connection string that holds one goes
// through SQLDriverConnect as UTF-8 instead: such a driver gets it
// unchanged, a driver with wide functions reads it in the UTF-8 locale the
// server runs in. The driver is not known before it is connected.
SQLRETURN driver_connect(SQLHDBC hdbc, SQLWCHAR *conn)
{
    if (!beyond_bmp(conn))
        return SQLDriverConnectW(hdbc, nullptr, conn, SQL_NTS, nullptr, 0, nullptr,
                                 SQL_DRIVER_NOPROMPT);
    const c_ptr<char> utf8(qx_wides2utf8_text(conn));
    if (utf8 == nullptr) return SQL_ERROR;
    return SQLDriverConnect(hdbc, nullptr, reinterpret_cast<SQLCHAR *>(utf8.get()), SQL_NTS,
                            nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
}

}  // namespace

int odbc_connect(io_out_t *output, diagstk_t *diag, query_t *query, SQLHENV *henvp,
                 SQLHDBC *hdbcp)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("odbc_connect(%p,%p,%p,%p,%p)\n", static_cast<void *>(output),
               static_cast<void *>(diag), static_cast<void *>(query), static_cast<void *>(henvp),
               static_cast<void *>(hdbcp));
    // Declared in the order they are made, so a failure frees the
    // connection handle before the environment.
    env_owner env;
    dbc_owner dbc;
    if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, env.put()) != SQL_SUCCESS)
        return connect_failed("SQLAllocHandle", SQL_HANDLE_ENV, SQL_NULL_HANDLE,
                              "Allocating environment handle", output, diag);
    // ODBC 2 behaviour: drivers answer with ODBC 2 states and type codes.
    if (SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION,
                      reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC2), 0) != SQL_SUCCESS)
        return connect_failed("SQLSetEnvAttr", SQL_HANDLE_ENV, env.get(), "Setting ODBC version",
                              output, diag);
    if (SQLAllocHandle(SQL_HANDLE_DBC, env.get(), dbc.put()) != SQL_SUCCESS)
        return connect_failed("SQLAllocHandle", SQL_HANDLE_ENV, env.get(),
                              "Allocating connection handle", output, diag);
    if (!read_odbc_version(dbc.get()))
        return connect_failed("SQLGetInfoW", SQL_HANDLE_DBC, dbc.get(), "for SQL_DM_VER", output,
                              diag);
    if (!ok(driver_connect(dbc.get(), query->connect_string)))
        return connect_failed("SQLDriverConnect", SQL_HANDLE_DBC, dbc.get(),
                              "Connecting to driver", output, diag);
    *henvp = env.release();
    *hdbcp = dbc.release();
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

// A driver's state of a connection that can no longer serve requests:
// the link to the database is broken or the server ended the session.
bool connection_state(const char *state)
{
    return std::strncmp(state, "08", 2) == 0 || std::strncmp(state, "57P0", 4) == 0;
}

// Whether the last failure on the statement or connection says the
// connection is broken, or the driver knows it dead.
bool connection_failed(SQLHDBC hdbc, SQLHSTMT hstmt)
{
    char state[6] = "";
    if (hstmt != SQL_NULL_HSTMT && ok(qx_get_sql_state(SQL_HANDLE_STMT, hstmt, state)) &&
        connection_state(state))
        return true;
    if (ok(qx_get_sql_state(SQL_HANDLE_DBC, hdbc, state)) && connection_state(state)) return true;
    SQLUINTEGER dead = SQL_CD_FALSE;
    return ok(SQLGetConnectAttr(hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
           dead == SQL_CD_TRUE;
}

// Returns a connection to the state a fresh one has: the statement and its
// cursor gone, any transaction rolled back (also one that SQL text began,
// which some drivers do not track), autocommit on. False when the driver
// refused a step.
bool clean_for_next_request(SQLHDBC hdbc, SQLHSTMT *hstmt)
{
    if (*hstmt != SQL_NULL_HSTMT) {
        SQLFreeStmt(*hstmt, SQL_CLOSE);
        if (!ok(SQLFreeStmt(*hstmt, SQL_DROP))) return false;
        *hstmt = SQL_NULL_HSTMT;
    }
    if (!ok(SQLEndTran(SQL_HANDLE_DBC, hdbc, SQL_ROLLBACK))) return false;
    sqlite_confine_rollback();
    return ok(SQLSetConnectAttr(hdbc, SQL_ATTR_AUTOCOMMIT,
                                reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER));
}

// The handles of one connected request. The destructor releases them on
// every way out of qx_odbc_result: kept for the next request when the
// request allows it and the connection came through it whole, else with
// odbc_close.
struct request_handles {
    diagstk_t *diag;
    SQLHENV henv;
    SQLHDBC hdbc;
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    odbc_info_t info{};
    const SQLWCHAR *keep_for = nullptr;  // the connection string it may be kept for
    // Whether SQL text beyond U+FFFF reaches the driver through the wide
    // entry points; found out when a text first needs it.
    enum { WIDE_UNTRIED, WIDE_WHOLE, WIDE_BROKEN } wide = WIDE_UNTRIED;

    request_handles(diagstk_t *d, SQLHENV e, SQLHDBC c) : diag(d), henv(e), hdbc(c) {}
    request_handles(const request_handles &) = delete;
    request_handles &operator=(const request_handles &) = delete;
    ~request_handles()
    {
        if (keep_for != nullptr && clean_for_next_request(hdbc, &hstmt)) {
            qx_kept_put(keep_for, henv, hdbc, &info);
            return;
        }
        odbc_close(diag, henv, hdbc, hstmt, &info);
    }
};

// Whether SQL text beyond U+FFFF passes the wide entry points to this
// driver whole (see driver_connect). SQLNativeSqlW sends such a character
// to the driver and back without running anything; asked once per
// connection. A driver that cannot answer keeps the wide entry points.
bool wide_text_whole(request_handles &h)
{
    if (h.wide == request_handles::WIDE_UNTRIED) {
        SQLWCHAR probe[] = {'x', 0xD83D, 0xDE00, 0};
        SQLWCHAR back[8] = {};
        SQLINTEGER len = 0;
        const SQLRETURN r = SQLNativeSqlW(h.hdbc, probe, SQL_NTS, back, 8, &len);
        h.wide = !ok(r) || std::equal(std::begin(probe), std::end(probe), back)
                     ? request_handles::WIDE_WHOLE
                     : request_handles::WIDE_BROKEN;
    }
    return h.wide == request_handles::WIDE_WHOLE;
}

// SQLExecDirectW; for a text the wide path cannot carry to this driver,
// SQLExecDirect with the text as UTF-8, which the driver manager hands to
// a driver without wide functions unchanged.
SQLRETURN exec_direct(request_handles &h, SQLWCHAR *sql)
{
    if (!beyond_bmp(sql) || wide_text_whole(h)) return SQLExecDirectW(h.hstmt, sql, SQL_NTS);
    const c_ptr<char> utf8(qx_wides2utf8_text(sql));
    if (utf8 == nullptr) return SQL_ERROR;
    return SQLExecDirect(h.hstmt, reinterpret_cast<SQLCHAR *>(utf8.get()), SQL_NTS);
}

// SQLPrepareW, with the same way around the wide entry points as
// exec_direct.
SQLRETURN prepare_text(request_handles &h, SQLWCHAR *sql)
{
    if (!beyond_bmp(sql) || wide_text_whole(h)) return SQLPrepareW(h.hstmt, sql, SQL_NTS);
    const c_ptr<char> utf8(qx_wides2utf8_text(sql));
    if (utf8 == nullptr) return SQL_ERROR;
    return SQLPrepare(h.hstmt, reinterpret_cast<SQLCHAR *>(utf8.get()), SQL_NTS);
}

// The bound values of statement `index` (0 for the one of Sql, else the
// transaction's in order), or null when it has none.
sql_parameters_t *parameters_of(query_t *query, std::size_t index)
{
    return index < query->parameters.size() ? &query->parameters[index] : nullptr;
}

// True when a statement call returned `ret` successfully; otherwise the
// statement's ODBC error result is written.
bool succeeded(SQLRETURN ret, const char *fn, const char *whilst, const request_handles &h,
               io_out_t *output, diagstk_t *diag)
{
    if (ok(ret)) return true;
    odbc_error(fn, SQL_HANDLE_STMT, h.hstmt, whilst, output, diag, ODBC_ERROR_CONNECTED);
    return false;
}

// Starts one statement of the request with `call` under the watch.
// ANSWER_COMPLETE when it succeeded; otherwise its answer is written: the
// watch's end when the request was stopped (whatever the call returned),
// else the statement's ODBC error result.
template <class Call>
answer_outcome run_statement(statement_watch &watch, Call call, const char *fn,
                             const char *whilst, const request_handles &h, io_out_t *output,
                             diagstk_t *diag)
{
    const SQLRETURN ret = watch.execute(call);
    if (watch.stopped() != WATCH_RUNNING)
        return qx_watch_stopped_answer(h.hstmt, output, diag, nullptr);
    return succeeded(ret, fn, whilst, h, output, diag) ? ANSWER_COMPLETE : ANSWER_FAILED;
}

// Autocommit as the request needs it, the statement handle, and a
// procedure's call text and parameters. 0, or -1 after an ODBC error
// result was written.
int prepare_statement(request_handles &h, io_out_t *output, query_t *query, diagstk_t *diag)
{
    // The executions of parameter sets commit together, like a transaction.
    const sql_parameters_t *params = query->sql != nullptr ? parameters_of(query, 0) : nullptr;
    const bool together = query->transaction != nullptr || (params != nullptr && params->sets > 0);
    const SQLULEN commit = together ? SQL_AUTOCOMMIT_OFF : SQL_AUTOCOMMIT_ON;
    if (!ok(SQLSetConnectAttr(h.hdbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(commit),
                              SQL_IS_UINTEGER))) {
        odbc_error("SQLSetConnectAttr", SQL_HANDLE_DBC, h.hdbc, "Turning AutoCommit off", output,
                   diag, ODBC_ERROR_CONNECTED);
        return -1;
    }
    if (SQLAllocHandle(SQL_HANDLE_STMT, h.hdbc, &h.hstmt) != SQL_SUCCESS) {
        h.hstmt = SQL_NULL_HSTMT;
        odbc_error("SQLAllocHandle", SQL_HANDLE_DBC, h.hdbc, "Allocating statement handle", output,
                   diag, ODBC_ERROR_CONNECTED);
        return -1;
    }
    if (query->procedure != nullptr) {
        form_sql_for_proc(query);
        bind_params_for_proc(h.hstmt, query);
    }
    return 0;
}

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
answer_outcome write_result_sets(request_handles &h, statement_watch &watch, io_out_t *output,
                                 query_t *query, diagstk_t *diag, bool only_one)
{
    for (;;) {
        const answer_outcome r = output_result_set(h.hdbc, h.hstmt, output, query, diag);
        if (r != ANSWER_COMPLETE) return r;
        if (only_one) return ANSWER_COMPLETE;
        // A driver may run the next statement of the text here.
        const SQLRETURN more = watch.cancellable([&] { return SQLMoreResults(h.hstmt); });
        if (watch.stopped() != WATCH_RUNNING)
            return qx_watch_stopped_answer(h.hstmt, output, diag, nullptr);
        if (more == SQL_NO_DATA) return ANSWER_COMPLETE;
        if (more == SQL_ERROR || more == SQL_INVALID_HANDLE) {
            odbc_error("SQLMoreResults", SQL_HANDLE_STMT, h.hstmt, "Fetching next result set",
                       output, diag, ODBC_ERROR_TO_OUTPUT);
            return ANSWER_FAILED;
        }
    }
}

// The whole answer of an executed statement: head, its result sets (only
// the first with `only_one`), epilog. A failed result set ends it there.
answer_outcome write_answer(request_handles &h, statement_watch &watch, io_out_t *output,
                            query_t *query, diagstk_t *diag, bool only_one)
{
    write_answer_head(output, query, &h.info, diag);
    const answer_outcome r = write_result_sets(h, watch, output, query, diag, only_one);
    if (r == ANSWER_COMPLETE) output_xml_epilog(output, diag);
    return r;
}

// Executes `sql` with the values of `params` (Parameter elements directly
// in Sql) bound to its markers, or as sent when it has none. A failed bind
// answers like a failed execution: with the statement's diagnostics.
SQLRETURN execute_with(request_handles &h, SQLWCHAR *sql, sql_parameters_t *params)
{
    if (params != nullptr) {
        SQLFreeStmt(h.hstmt, SQL_RESET_PARAMS);
        if (const SQLRETURN r = bind_params_for_sql(h.hstmt, params, 0); !ok(r)) return r;
    }
    return exec_direct(h, sql);
}

// The answers of the sets so far, held back until they have all succeeded
// and been committed: a failing set must leave the client only its error.
// A temporary file rather than memory: a request's answers may be far
// larger than the request.
class spool {
public:
    spool()
    {
        out.method = XML_OUTPUT_METHOD_FILE;
        out.dst.file.fp = std::tmpfile();
    }
    ~spool()
    {
        if (out.dst.file.fp != nullptr) std::fclose(out.dst.file.fp);
    }
    spool(const spool &) = delete;
    spool &operator=(const spool &) = delete;
    bool ok() const { return out.dst.file.fp != nullptr && !std::ferror(out.dst.file.fp); }
    long at() { return std::ftell(out.dst.file.fp); }
    // Copies what was written from offset `from` on to `output`.
    int copy_to(io_out_t *output, diagstk_t *diag, long from = 0)
    {
        FILE *fp = out.dst.file.fp;
        if (std::fflush(fp) != 0 || std::fseek(fp, from, SEEK_SET) != 0) return -1;
        char buf[IO_SOCKET_BUFFER];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, fp)) > 0;)
            if (io_write(output, diag, buf, n) < 0) return -1;
        return std::ferror(fp) ? -1 : 0;
    }
    io_out_t out{};
};

// Prepares `sql` once and executes it for each set of `params`, in the
// open transaction, writing each execution's result sets to `answers`
// (none for a transaction's statement: null). ANSWER_COMPLETE when every
// set ran; otherwise the first failure is answered on `output` (its
// diagnostics each after "Parameter set N: ") or, when its result sets
// failed part-way, on `answers` after *failed_at (where the answers of the
// sets that succeeded end), and the caller rolls back.
//
// One execution per set, not one with an array of sets
// (SQL_ATTR_PARAMSET_SIZE): when a set fails, psqlodbc marks every set of
// the array failed and keeps none, so the failing set could not be named,
// and SQLite's driver runs an array as a loop of its own anyway (10,000
// inserts: 136 ms as an array, 117 ms in this loop). The loop also gives
// each set its own result sets.
answer_outcome run_sets(request_handles &h, statement_watch &watch, io_out_t *output,
                        query_t *query, diagstk_t *diag, SQLWCHAR *sql, sql_parameters_t &params,
                        spool *answers, long *failed_at = nullptr)
{
    SQLFreeStmt(h.hstmt, SQL_RESET_PARAMS);
    answer_outcome r = run_statement(
        watch, [&] { return prepare_text(h, sql); }, "SQLPrepare", "Preparing SQL", h, output,
        diag);
    if (r != ANSWER_COMPLETE) return r;
    for (std::size_t set = 0; set < params.sets; set++) {
        SQLRETURN ret = bind_params_for_sql(h.hstmt, &params, set);
        if (ok(ret)) ret = watch.execute([&] { return SQLExecute(h.hstmt); });
        if (watch.stopped() != WATCH_RUNNING)
            return qx_watch_stopped_answer(h.hstmt, output, diag, nullptr);
        if (!ok(ret)) {
            char prefix[48];
            std::snprintf(prefix, sizeof prefix, "Parameter set %zu: ", set + 1);
            odbc_error_result(SQL_HANDLE_STMT, h.hstmt, prefix, output, diag);
            return ANSWER_FAILED;
        }
        if (answers != nullptr) {
            if (failed_at != nullptr) *failed_at = answers->at();
            r = write_result_sets(h, watch, &answers->out, query, diag, false);
            if (r != ANSWER_COMPLETE) return r;
            if (failed_at != nullptr) *failed_at = answers->at();
        }
        // The next execution needs the statement's cursor closed.
        SQLFreeStmt(h.hstmt, SQL_CLOSE);
    }
    return ANSWER_COMPLETE;
}

// A Sql with parameter sets: every set executed, committed together, then
// answered set after set; at the first failure everything is rolled back
// and the answer is that execution's alone.
answer_outcome run_sets_answered(request_handles &h, statement_watch &watch, io_out_t *output,
                                 query_t *query, diagstk_t *diag, sql_parameters_t &params)
{
    spool answers;
    if (!answers.ok()) {
        diagstk_add(diag, 3, "%s: Failed to create a file for the answers - %s", "qx_odbc_result",
                    std::strerror(errno));
        qx_output_error_result(diag, output);
        return ANSWER_FAILED;
    }
    long failed_at = 0;
    answer_outcome r = run_sets(h, watch, output, query, diag, query->sql, params, &answers,
                                &failed_at);
    if (r == ANSWER_FAILED && answers.at() > failed_at) {
        // The failing execution's result sets ended with their own error
        // result: the client gets that execution's answer, as when it runs
        // alone.
        SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_ROLLBACK);
        write_answer_head(output, query, &h.info, diag);
        answers.copy_to(output, diag, failed_at);
        return r;
    }
    if (r != ANSWER_COMPLETE) {
        SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_ROLLBACK);
        return r;
    }
    if (!answers.ok()) {
        SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_ROLLBACK);
        diagstk_add(diag, 3, "%s: Failed to keep the answers - %s", "qx_odbc_result",
                    std::strerror(errno));
        qx_output_error_result(diag, output);
        return ANSWER_FAILED;
    }
    // Unlike a transaction's, this commit is checked: a constraint checked
    // at commit fails the sets, and the client must not read them as done.
    if (!ok(SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_COMMIT))) {
        odbc_error("SQLEndTran", SQL_HANDLE_DBC, h.hdbc, "Committing parameter sets", output,
                   diag, ODBC_ERROR_CONNECTED);
        SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_ROLLBACK);
        return ANSWER_FAILED;
    }
    write_answer_head(output, query, &h.info, diag);
    if (answers.copy_to(output, diag) < 0)
        return (output->state & IO_STATE_PEER_GONE) != 0 ? ANSWER_PEER_GONE : ANSWER_UNREPORTED;
    output_xml_epilog(output, diag);
    return ANSWER_COMPLETE;
}

answer_outcome run_transaction(request_handles &h, statement_watch &watch, io_out_t *output,
                               query_t *query, diagstk_t *diag)
{
    std::size_t index = 0;
    for (sql_transaction_t *t = query->transaction; t != nullptr; t = t->next, index++) {
        sql_parameters_t *params = parameters_of(query, index);
        answer_outcome r;
        if (params != nullptr && params->sets > 0)
            r = run_sets(h, watch, output, query, diag, t->sql, *params, nullptr);
        else
            r = run_statement(
                watch, [&] { return execute_with(h, t->sql, params); }, "SQLExecDirect",
                "Executing SQL", h, output, diag);
        if (r != ANSWER_COMPLETE) {
            SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_ROLLBACK);
            return r;
        }
        // A statement that returned rows must not block the next one.
        SQLFreeStmt(h.hstmt, SQL_CLOSE);
    }
    SQLEndTran(SQL_HANDLE_DBC, h.hdbc, SQL_COMMIT);
    write_answer_head(output, query, &h.info, diag);
    io_write(output, diag, "<Result State=\"00000\">\n</Result>\n", 0);
    output_xml_epilog(output, diag);
    return ANSWER_COMPLETE;
}

// Runs the request's one piece of work and writes its answer; a request
// with none gets nothing.
answer_outcome run_request(request_handles &h, statement_watch &watch, io_out_t *output,
                           query_t *query, diagstk_t *diag)
{
    if (query->sql != nullptr) {
        sql_parameters_t *params = parameters_of(query, 0);
        if (params != nullptr && params->sets > 0)
            return run_sets_answered(h, watch, output, query, diag, *params);
        const answer_outcome r = run_statement(
            watch, [&] { return execute_with(h, query->sql, params); }, "SQLExecDirect",
            "Executing SQL", h, output, diag);
        return r != ANSWER_COMPLETE ? r : write_answer(h, watch, output, query, diag, false);
    }
    if (query->transaction != nullptr) return run_transaction(h, watch, output, query, diag);
    if (query->meta == 1) {
        const answer_outcome r = run_statement(
            watch,
            [&] { return SQLTablesW(h.hstmt, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0); },
            "SQLTables", "getting table list", h, output, diag);
        return r != ANSWER_COMPLETE ? r : write_answer(h, watch, output, query, diag, true);
    }
    return ANSWER_COMPLETE;
}

}  // namespace

answer_outcome qx_odbc_result(query_t *query, io_out_t *output, diagstk_t *diag)
{
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("qx_odbc_result(%p,%p,%p)\n", static_cast<void *>(query),
               static_cast<void *>(output), static_cast<void *>(diag));
    SQLHENV henv = SQL_NULL_HENV;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    odbc_info_t kept_info{};
    const bool keep = query->keep_connection == QX_KEEP_YES;
    if (query->keep_connection == QX_KEEP_RESET) qx_kept_drop();
    const bool reused = keep && qx_kept_take(query->connect_string, &henv, &hdbc, &kept_info);
    if (!reused && odbc_connect(output, diag, query, &henv, &hdbc) < 0) return ANSWER_FAILED;
    request_handles h(diag, henv, hdbc);  // released on every way out from here
    // A kept connection describes itself as it did when it was made.
    if (reused)
        h.info = kept_info;
    else
        qx_odbc_get_info(h.hdbc, &h.info);
    if (prepare_statement(h, output, query, diag) < 0) return ANSWER_FAILED;
    answer_outcome r;
    {
        // From the first statement to the end of the answer; ends before
        // `h` releases the statement it may cancel.
        statement_watch watch(h.hstmt, output);
        r = run_request(h, watch, output, query, diag);
        if (r == ANSWER_COMPLETE && query->procedure != nullptr)
            output_procedure_output(output, query, diag);
        // Kept only when nothing was cut short: a stopped or half-written
        // answer may leave the driver mid-statement.
        const bool whole = watch.stopped() == WATCH_RUNNING &&
                           (r == ANSWER_COMPLETE || r == ANSWER_FAILED);
        if (keep && whole && !connection_failed(h.hdbc, h.hstmt))
            h.keep_for = query->connect_string;
    }
    return r;
}
