// odbc.h - executing a query through the ODBC driver manager and writing
// its answer: result sets in three formats, chunked column data, procedures.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include "iodef.h"
#include "odbc_util.h"
#include "quillet_defs.h"
#include "conv.h"
#include "util.h"
#include "xml.h"

typedef struct result_column_s {
    SQLUSMALLINT column;  // from 1; 0 marks a result without columns
    char *name;           // owned UTF-8
    char *xml_name;       // owned, quoted attribute value
    SQLSMALLINT type;
    std::uint32_t size;
    SQLSMALLINT nullable;
    SQLSMALLINT decimal_digits;
    struct result_column_s *next;
} result_column_t;

// Buffer sizes of the data path: they decide the chunking clients see.
inline constexpr std::size_t QX_COLBUF_SIZE = 8192;
inline constexpr SQLLEN QX_WIDE_GETDATA_BYTES = 2048;
inline constexpr SQLLEN QX_8BIT_GETDATA_BYTES = 1024;

int odbc_connect(io_out_t *output, diagstk_t *diag, query_t *query, SQLHENV *henvp,
                 SQLHDBC *hdbcp);
int odbc_close(diagstk_t *diag, SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt,
               odbc_info_t *odbc_info);

int output_result_set(SQLHDBC hdbc, SQLHSTMT hstmt, io_out_t *output, query_t *query,
                      diagstk_t *diag);
int output_xml_result_set_long(result_column_t *cols, SQLHSTMT hstmt, SQLSMALLINT result_columns,
                               query_t *query, io_out_t *output, diagstk_t *diag);
int output_xml_result_set_short(result_column_t *cols, SQLHSTMT hstmt,
                                SQLSMALLINT result_columns, query_t *query, io_out_t *output,
                                diagstk_t *diag);
int output_xml_result_set_tabletags(result_column_t *cols, SQLHSTMT hstmt,
                                    SQLSMALLINT result_columns, query_t *query,
                                    io_out_t *output, diagstk_t *diag);

result_column_t *get_column_info(SQLHDBC hdbc, SQLHSTMT hstmt, query_t *query,
                                 io_out_t *output, diagstk_t *diag, SQLSMALLINT *columns);
void free_column_info(result_column_t *cols);
SQLRETURN get_column_data_wide(diagstk_t *diag, SQLHSTMT hstmt, SQLUSMALLINT col,
                               query_t *query, const result_column_t *coldesc,
                               CDATA_type_t cdata_type, unsigned char *colbuf,
                               std::size_t colbuf_size, SQLLEN *indicator,
                               SQLSMALLINT *target_type);
SQLRETURN get_column_data(diagstk_t *diag, SQLHSTMT hstmt, SQLUSMALLINT col, query_t *query,
                          const result_column_t *coldesc, CDATA_type_t cdata_type,
                          unsigned char *colbuf, std::size_t colbuf_size, SQLLEN *indicator);

int form_sql_for_proc(query_t *query);
int bind_params_for_proc(SQLHSTMT hstmt, query_t *query);
int output_procedure_output(io_out_t *output, query_t *query, diagstk_t *diag);
