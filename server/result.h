// result.h - writing one result set of an executed statement: the column
// list, every value fetched chunk by chunk and converted for the answer,
// and the rows framed in the Long, Short or TableTags format.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include "iodef.h"
#include "quillet_defs.h"
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

// Where the reason for a column list that was not built has still to go.
enum describe_failure {
    DESCRIBE_ANSWERED,    // an ODBC error result is already on the channel
    DESCRIBE_FOR_CLIENT,  // the message on the stack becomes the client's error result
    DESCRIBE_ON_STACK,    // the message stays on the stack; nothing is written
};

// What one character value carries from a chunk to the next: a character
// beyond U+FFFF is two units, and a chunk can end between them.
struct wide_value {
    SQLWCHAR held = 0;  // a first half held back for the next chunk, or 0
};

// Writes one result set of `hstmt` as one Result element in the query's
// format, fetching and writing row by row. ANSWER_COMPLETE; ANSWER_FAILED
// when the column list was not built, a fetch failed or the time limit
// passed (what the client got is said in get_column_info, finish_rows and
// qx_watch_stopped_answer); ANSWER_UNREPORTED when a value failed part-way
// (the row is closed, the stack has gone to the event channel);
// ANSWER_PEER_GONE when the client went or a shutdown stopped the rows
// (statement cancelled). The only place of the writer that emits the stack.
answer_outcome output_result_set(SQLHDBC hdbc, SQLHSTMT hstmt, io_out_t *output, query_t *query,
                                 diagstk_t *diag);

// The three formats: head, rows and tail of one result set whose column
// list `cols` (of `result_columns` driver columns) is built. Outcomes as
// output_result_set's, except that nothing is emitted from the stack:
// ANSWER_UNREPORTED leaves the reason there. TableTags gives it without
// writing anything when the cursor name cannot be converted.
answer_outcome output_xml_result_set_long(result_column_t *cols, SQLHSTMT hstmt,
                                          SQLSMALLINT result_columns, query_t *query,
                                          io_out_t *output, diagstk_t *diag);
answer_outcome output_xml_result_set_short(result_column_t *cols, SQLHSTMT hstmt,
                                           SQLSMALLINT result_columns, query_t *query,
                                           io_out_t *output, diagstk_t *diag);
answer_outcome output_xml_result_set_tabletags(result_column_t *cols, SQLHSTMT hstmt,
                                               SQLSMALLINT result_columns, query_t *query,
                                               io_out_t *output, diagstk_t *diag);

// Describes the columns of `hstmt`: a new list in column order (released
// with free_column_info), binary columns left out when the query says
// "none", and *columns set to the driver's count. A result without columns
// (or with every column left out) gives one record whose `column` is 0.
// Null on failure; *failure then says where the reason still has to go: an
// ODBC error result is already written, or a message waits on the stack
// for the caller to send as an error result, or stays there.
result_column_t *get_column_info(SQLHDBC hdbc, SQLHSTMT hstmt, query_t *query,
                                 io_out_t *output, diagstk_t *diag, SQLSMALLINT *columns,
                                 describe_failure *failure);
// Frees a list from get_column_info, every record with its two texts.
void free_column_info(result_column_t *cols);

// One chunk of character column `col` into `colbuf`, converted as
// `cdata_type` says (references or UTF-8), NUL-terminated, its length in
// *indicator; SQL_NULL_DATA there means a null value and `colbuf` is not
// written. *target_type is the C type the result set settled on
// (SQL_C_DEFAULT before the first value): a driver that refuses wide
// characters is asked for 8-bit text, then and for the rest of the result
// set. `value` belongs to the value being read and goes from one chunk to
// the next; a reference, so no caller can forget it and split a character.
// Returns SQLGetData's code: SQL_SUCCESS_WITH_INFO when more of the value
// follows; any code but SQL_SUCCESS/SQL_SUCCESS_WITH_INFO is a failure
// whose reason is on `diag` (-1 for a failed conversion).
SQLRETURN get_column_data_wide(diagstk_t *diag, SQLHSTMT hstmt, SQLUSMALLINT col,
                               query_t *query, const result_column_t *coldesc,
                               CDATA_type_t cdata_type, unsigned char *colbuf,
                               std::size_t colbuf_size, SQLLEN *indicator,
                               SQLSMALLINT *target_type, wide_value &value);
// The same for every other column, read as 8-bit text, or as binary data
// written in Base64 (each chunk encoded on its own) unless the query asks
// for the driver's own text of binary columns.
SQLRETURN get_column_data(diagstk_t *diag, SQLHSTMT hstmt, SQLUSMALLINT col, query_t *query,
                          const result_column_t *coldesc, CDATA_type_t cdata_type,
                          unsigned char *colbuf, std::size_t colbuf_size, SQLLEN *indicator);
