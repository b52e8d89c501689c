// odbc_proc.h - stored-procedure calls: the call text, parameter binding
// and the Procedure element of the answer.
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
// Writes the Procedure element with each parameter's value. Always 0.
int output_procedure_output(io_out_t *output, query_t *query, diagstk_t *diag);
