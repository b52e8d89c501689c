// odbc.h - executing a query through the ODBC driver manager: connecting,
// running the request, releasing the handles. The answer's result sets are
// written by result.h, a procedure's call and output by odbc_proc.h.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include "iodef.h"
#include "odbc_util.h"
#include "quillet_defs.h"

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

// Executes the query and writes the whole answer to `output`. Handles are
// connected and released within the call. On ANSWER_UNREPORTED the caller
// sends what is left on `diag` to the event channel; on the other outcomes
// the stack is left as it is.
answer_outcome qx_odbc_result(query_t *query, io_out_t *output, diagstk_t *diag);
