// quillet_defs.h - the query record built from one request document.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <sqltypes.h>

#include "iodef.h"
#include "util.h"

typedef struct procedure_args_s {
    int index;
    int direction;  // QX_DIRECTION_IN, _OUT or _INOUT
    int type;       // ODBC SQL type code
    int length;
    char *in_data;   // owned; null for Out
    char *out_data;  // owned; filled by the ODBC layer
    SQLLEN data_len;  // length/indicator bound with the parameter
    struct procedure_args_s *next;
} procedure_args_t;

typedef struct sql_procedure_s {
    char *name;  // owned, UTF-8
    procedure_args_t *parameters;
} sql_procedure_t;

typedef struct sql_transaction {
    int sequence;  // 1-based position in the document
    SQLWCHAR *sql; // owned
    struct sql_transaction *next;
} sql_transaction_t;

// One value bound to a `?` marker of a SQL statement: a Parameter element
// inside Sql (directly or in a ParameterSet), always an input.
typedef struct sql_parameter_s {
    int type;                   // ODBC SQL type code from Type; SQL_CHAR when absent
    bool is_null;               // isnull="yes": bound as NULL, the text is ignored
    bool binary;                // Encoding="base64": `bytes` holds the decoded value
    std::string name;           // Name (UTF-8); empty when absent
    std::vector<SQLWCHAR> text; // the element's text as wide characters, no terminator
    std::string bytes;          // the decoded bytes of a binary value
    SQLLEN indicator;           // length/indicator bound with the value
} sql_parameter_t;

// The values of one statement. Without ParameterSet elements the statement
// runs once with `values` (per_set of them); with them it runs once per
// set, `values` holding the sets one after the other.
typedef struct sql_parameters_s {
    std::vector<sql_parameter_t> values;
    std::size_t per_set = 0;  // markers each execution binds
    std::size_t sets = 0;     // ParameterSet elements; 0: Parameter elements directly in Sql
} sql_parameters_t;

inline constexpr int QX_FORMAT_LONG = 1;
inline constexpr int QX_FORMAT_SHORT = 2;
inline constexpr int QX_FORMAT_TABLETAGS = 3;
inline constexpr int QX_DATA_PCDATA = 1;
inline constexpr int QX_DATA_CDATA = 2;
inline constexpr int QX_BINARY_SQL = 1;
inline constexpr int QX_BINARY_NONE = 2;
inline constexpr int QX_BINARY_BASE64 = 3;
inline constexpr unsigned long QX_TRUNCATE_BLANKS = 0x1;
// Parameter directions; 0 is no direction.
inline constexpr int QX_DIRECTION_UNKNOWN = 0;
inline constexpr int QX_DIRECTION_IN = 1;
inline constexpr int QX_DIRECTION_OUT = 2;
inline constexpr int QX_DIRECTION_INOUT = 3;

typedef struct query_s {
    SQLWCHAR *connect_string;
    SQLWCHAR *sql;
    sql_transaction_t *transaction;
    sql_procedure_t *procedure;
    int meta;
    int format;
    int data_output_type;
    int unicode_endianess;
    int binary;
    unsigned long flags;
    char *style_sheet_name;
    char *style_sheet_type;
    // What the request does with the database connection of the previous
    // one: QX_KEEP_NO, QX_KEEP_YES or QX_KEEP_RESET (keep.h).
    int keep_connection;
    // Bound values: [0] those of `sql` read from Sql, or one entry per
    // transaction statement in its order. Empty when the request gives no
    // Parameter or ParameterSet element: the statements then run as sent.
    std::vector<sql_parameters_t> parameters;
} query_t;

// What became of one request's answer.
enum answer_outcome : int {
    ANSWER_COMPLETE = 0,     // the whole answer was written
    ANSWER_FAILED = -1,      // the request failed and the client was told (an error result was written)
    ANSWER_UNREPORTED = -2,  // failed part-way; what is left on the diagnostic stack goes to the event channel
    ANSWER_PEER_GONE = -3,   // the client has gone; nothing more is written
};
