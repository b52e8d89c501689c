// request.h - reading a request document into the query record.
#pragma once

#include <string_view>

#include "diag.h"
#include "iodef.h"
#include "quillet_defs.h"

// Resets a record to the defaults (no texts, Long format, pcdata, sql).
void query_init(query_t *query);
// Releases everything the record owns and resets it.
void freeup_query(query_t *query);
// Reads one request document from `input` into `query`. 0, or a negative
// value with the reason on `diag`.
int qx_get_request(diagstk_t *diag, io_in_t *input, query_t *query);
// Reads the Parameter elements of the Sql element `sql` (a tree node),
// directly inside it or grouped in ParameterSet elements, into *params, in
// document order. 0, or -1 with the reason on `diag`: an unknown Type or
// Encoding, a binary value that is not Base64, sets of unequal size, or
// both kinds of children in one Sql.
int get_sql_parameters(diagstk_t *diag, void *sql, sql_parameters_t *params);
// Gives every statement parameter with Name `name` (in every set) the
// value `value`, read as the element's text is (Base64 for a binary one),
// and makes it no longer null. The number of parameters changed (0 when
// none has that name), or -1 with the reason on `diag`.
int qx_set_named_parameter(diagstk_t *diag, query_t *query, std::string_view name,
                           std::string_view value);
// Fills query->procedure from the Procedure element of the tree.
int get_procedure_args(diagstk_t *diag, query_t *query, void *ptree);
