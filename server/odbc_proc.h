// odbc_proc.h - stored-procedure calls: the call text, parameter binding
// and the Procedure element of the answer; the binding of a SQL
// statement's parameters.
#pragma once

#include <sqltypes.h>

#include "diag.h"
#include "iodef.h"
#include "quillet_defs.h"

// Builds the call text of query->procedure into query->sql (null when
// memory is short). Always 0.
int form_sql_for_proc(query_t *query);
// Binds every parameter of query->procedure to `hstmt`. Always 0.
int bind_params_for_proc(SQLHSTMT hstmt, query_t *query);
// Binds the values of set `set` (0 for Parameter elements directly in
// Sql) of `params` to the markers of `hstmt`, in order, as input: text as
// wide characters with its declared SQL type, binary values as bytes,
// nulls as nulls. The values stay where they are and must outlive the
// execution. The failing SQLBindParameter's return, else SQL_SUCCESS.
SQLRETURN bind_params_for_sql(SQLHSTMT hstmt, sql_parameters_t *params, std::size_t set);
// Writes the Procedure element with each parameter's value. Always 0.
int output_procedure_output(io_out_t *output, query_t *query, diagstk_t *diag);
