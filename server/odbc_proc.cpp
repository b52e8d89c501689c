// odbc_proc.cpp - stored-procedure calls: the call text, parameter binding
// and the Procedure element of the answer; the binding of a SQL
// statement's parameters.

#include "odbc_proc.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <sql.h>
#include <sqlext.h>

#include "conv.h"
#include "keywords.h"
#include "log.h"
#include "xml.h"

namespace {

constexpr SQLLEN OUT_BUFFER = 100;

// Size of an output buffer: at least 100 bytes, room for the Length the
// request gives (1024 unless it says otherwise) and, for InOut, for the
// value sent. A returned value that fits is never cut.
SQLLEN out_capacity(const procedure_args_t *arg)
{
    SQLLEN cap = OUT_BUFFER;
    if (arg->length > 0 && static_cast<SQLLEN>(arg->length) + 1 > cap) cap = arg->length + 1;
    if (arg->direction == QX_DIRECTION_INOUT && arg->in_data != nullptr) {
        const SQLLEN in = static_cast<SQLLEN>(std::strlen(arg->in_data)) + 1;
        if (in > cap) cap = in;
    }
    return cap;
}

}  // namespace

int form_sql_for_proc(query_t *query)
{
    // Composed in a growing string: a long procedure name is accommodated,
    // not cut.
    const sql_procedure_t *proc = query->procedure;
    const procedure_args_t *arg = proc->parameters;
    std::string text = "{";
    if (arg != nullptr && arg->index == 0) {
        text += "? = ";
        arg = arg->next;
    }
    text += "call ";
    text += proc->name;
    if (arg != nullptr) {
        text += "(";
        for (; arg != nullptr; arg = arg->next) {
            if (arg->index > 1) text += ",";
            text += "?";
        }
        text += ")";
    }
    text += "}";
    if (qx_tracing(QX_LOG_ODBC)) qx_log("Procedure: %s\n", text.c_str());
    std::free(query->sql);
    query->sql = qx_utf8s2wides(reinterpret_cast<const unsigned char *>(text.c_str()), SQL_NTS);
    return 0;
}

int bind_params_for_proc(SQLHSTMT hstmt, query_t *query)
{
    SQLUSMALLINT pnum = 1;
    for (procedure_args_t *arg = query->procedure->parameters; arg != nullptr; arg = arg->next, pnum++) {
        SQLSMALLINT io_type = SQL_PARAM_INPUT;
        char *buffer = arg->in_data;
        SQLLEN buffer_len = OUT_BUFFER;
        if (arg->direction == QX_DIRECTION_IN) {
            arg->data_len = static_cast<SQLLEN>(std::strlen(arg->in_data ? arg->in_data : ""));
        } else {
            // InOut sends its value and receives the new one in the same
            // buffer (bound INPUT_OUTPUT, its length given as a terminated text).
            buffer_len = out_capacity(arg);
            std::free(arg->out_data);
            arg->out_data = static_cast<char *>(std::calloc(static_cast<std::size_t>(buffer_len), 1));
            if (arg->out_data == nullptr) continue;  // the call then fails at execution
            buffer = arg->out_data;
            if (arg->direction == QX_DIRECTION_INOUT) {
                if (arg->in_data != nullptr)
                    std::memcpy(arg->out_data, arg->in_data, std::strlen(arg->in_data));
                io_type = SQL_PARAM_INPUT_OUTPUT;
                arg->data_len = SQL_NTS;
            } else {
                io_type = SQL_PARAM_OUTPUT;
                arg->data_len = buffer_len;
            }
        }
        SQLBindParameter(hstmt, pnum, io_type, SQL_C_CHAR, static_cast<SQLSMALLINT>(arg->type), 100,
                         0, buffer, buffer_len, &arg->data_len);
    }
    return 0;
}

namespace {

// An empty text still needs a buffer: a null one would read as no value.
SQLWCHAR empty_text[1] = {0};

SQLRETURN bind_sql_parameter(SQLHSTMT hstmt, SQLUSMALLINT number, sql_parameter_t *p)
{
    // Every text goes as wide characters, whatever its declared type: the
    // driver converts it to that type, and no character set of the
    // process or the driver stands between the client's text and the
    // database.
    SQLSMALLINT c_type = p->binary ? SQL_C_BINARY : SQL_C_WCHAR;
    SQLPOINTER buffer = empty_text;
    SQLLEN bytes = 0;
    SQLULEN size = 0;  // in characters, or in bytes for binary data
    if (p->is_null) {
        p->indicator = SQL_NULL_DATA;
    } else if (p->binary) {
        if (!p->bytes.empty()) buffer = p->bytes.data();
        bytes = static_cast<SQLLEN>(p->bytes.size());
        size = p->bytes.size();
        p->indicator = bytes;
    } else {
        if (!p->text.empty()) buffer = p->text.data();
        bytes = static_cast<SQLLEN>(p->text.size() * sizeof(SQLWCHAR));
        size = p->text.size();
        p->indicator = bytes;
    }
    return SQLBindParameter(hstmt, number, SQL_PARAM_INPUT, c_type,
                            static_cast<SQLSMALLINT>(p->type), size > 0 ? size : 1, 0, buffer,
                            bytes, &p->indicator);
}

}  // namespace

SQLRETURN bind_params_for_sql(SQLHSTMT hstmt, sql_parameters_t *params, std::size_t set)
{
    sql_parameter_t *first = params->values.data() + set * params->per_set;
    // ODBC numbers markers in 16 bits: values past the last number stay
    // unbound, and the driver refuses a statement with that many markers.
    const std::size_t count = params->per_set < 65535 ? params->per_set : 65535;
    for (std::size_t i = 0; i < count; i++) {
        const SQLRETURN r = bind_sql_parameter(hstmt, static_cast<SQLUSMALLINT>(i + 1), first + i);
        if (r != SQL_SUCCESS && r != SQL_SUCCESS_WITH_INFO) return r;
    }
    return SQL_SUCCESS;
}

namespace {

// The value the driver left in an output buffer: at most what the buffer
// holds, and nothing for a null or an untouched buffer.
std::string_view output_value(const procedure_args_t *arg)
{
    if (arg->out_data == nullptr || arg->data_len == SQL_NULL_DATA) return {};
    return {arg->out_data, strnlen(arg->out_data, static_cast<std::size_t>(out_capacity(arg)))};
}

}  // namespace

int output_procedure_output(io_out_t *output, query_t *query, diagstk_t *diag)
{
    const sql_procedure_t *proc = query->procedure;
    io_write(output, diag, "<Procedure>\n    <ProcedureName>", 0);
    qx_write_escaped(output, diag, proc->name);
    io_write(output, diag, "</ProcedureName>\n", 0);
    for (const procedure_args_t *arg = proc->parameters; arg != nullptr; arg = arg->next) {
        const char *dir = qx_directionid2str(arg->direction);
        const char *type = qx_sqltypeid2str(arg->type);
        io_writef(output, diag, "    <Parameter Index=\"%d\" Direction=\"%s\" Type=\"%s\" Length=\"%d\"",
                  arg->index, dir ? dir : "", type ? type : "", arg->length);
        const bool is_output = arg->direction != QX_DIRECTION_IN;
        // A null output value is told apart from an empty one.
        if (is_output && arg->data_len == SQL_NULL_DATA) io_write(output, diag, " isnull=\"yes\"", 0);
        io_write(output, diag, " >", 0);
        if (is_output)
            qx_write_escaped(output, diag, output_value(arg));
        else
            qx_write_escaped(output, diag, arg->in_data ? arg->in_data : "");
        io_write(output, diag, "</Parameter>\n", 0);
    }
    io_write(output, diag, "</Procedure>\n", 0);
    return 0;
}
