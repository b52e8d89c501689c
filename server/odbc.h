// odbc.h - executing a query through the ODBC driver manager: connecting,
// releasing the handles, and the pieces of a stored-procedure call. The
// answer's result sets are written by result.h.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include "iodef.h"
#include "odbc_util.h"
#include "quillet_defs.h"
#include "conv.h"
#include "util.h"
#include "xml.h"

// Allocates an environment (ODBC 2 behaviour) and a connection handle and
// connects with the query's connection string. 0 with *henvp and *hdbcp
// set, both the caller's to release with odbc_close; -1 after an ODBC
// error result was written on `output` and every handle made was freed.
int odbc_connect(io_out_t *output, diagstk_t *diag, query_t *query, SQLHENV *henvp,
                 SQLHDBC *hdbcp);
// Releases one request's handles in the order the driver manager needs:
// the statement (cursor closed, then dropped), the connection
// (disconnected, rolled back first if an open transaction refuses that),
// the environment, then the strings of `odbc_info`. `hstmt` and
// `odbc_info` may be null. Return codes are not examined; always 0.
int odbc_close(diagstk_t *diag, SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt,
               odbc_info_t *odbc_info);

// Builds the call text of query->procedure into query->sql (null when
// memory is short). Always 0.
int form_sql_for_proc(query_t *query);
// Binds every parameter of query->procedure to `hstmt`. Always 0.
int bind_params_for_proc(SQLHSTMT hstmt, query_t *query);
// Writes the Procedure element with each parameter's value. Always 0.
int output_procedure_output(io_out_t *output, query_t *query, diagstk_t *diag);
