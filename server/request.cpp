// request.cpp - the query record: initialise, read from a request
// document, release.

#include "quillet_defs.h"

#include <cstdlib>

#include "parse.h"

void query_init(query_t *query)
{
    *query = query_t{};
    query->format = QX_FORMAT_LONG;
    query->data_output_type = QX_DATA_PCDATA;
    query->binary = QX_BINARY_SQL;
}

namespace {

void free_procedure(sql_procedure_t *proc)
{
    if (proc == nullptr) return;
    for (procedure_args_t *a = proc->parameters; a != nullptr;) {
        procedure_args_t *next = a->next;
        std::free(a->in_data);
        std::free(a->out_data);
        std::free(a);
        a = next;
    }
    std::free(proc->name);
    std::free(proc);
}

}  // namespace

void freeup_query(query_t *query)
{
    std::free(query->connect_string);
    std::free(query->sql);
    for (sql_transaction_t *t = query->transaction; t != nullptr;) {
        sql_transaction_t *next = t->next;
        std::free(t->sql);
        std::free(t);
        t = next;
    }
    free_procedure(query->procedure);
    std::free(query->style_sheet_name);
    std::free(query->style_sheet_type);
    query_init(query);
}

int qx_get_request(diagstk_t *diag, io_in_t *input, query_t *query)
{
    (void)query;
    void *ptree = nullptr;
    const int r = qx_parse_xml(diag, input, &ptree);
    if (r < 0) return r;
    qx_free_parse_tree(diag, ptree);
    return 0;
}

int qx_odbc_result(query_t *query, io_out_t *output, diagstk_t *diag)
{
    (void)query;
    (void)output;
    (void)diag;
    return 0;
}
