// request.h - reading a request document into the query record.
#pragma once

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
// Fills query->procedure from the Procedure element of the tree.
int get_procedure_args(diagstk_t *diag, query_t *query, void *ptree);
