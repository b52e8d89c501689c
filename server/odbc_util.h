// odbc_util.h - ODBC diagnostics, the error result, driver information and
// type names.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include "iodef.h"
#include "util.h"

typedef struct odbc_info_s {
    char *database_name;
    char *dbms_name;
    char *dbms_ver;
    char *driver_name;
    char *driver_ver;
} odbc_info_t;

// odbc_error flags: with ODBC_ERROR_TO_STACK the records go onto `diag`,
// otherwise a complete ODBC error result is written on `output`.
inline constexpr unsigned long ODBC_ERROR_TO_STACK = 2;

void odbc_error(const char *fn, SQLSMALLINT type, SQLHANDLE handle, const char *whilst,
                io_out_t *output, diagstk_t *diag, unsigned long flags);
SQLRETURN qx_odbc_diag_utf8(SQLSMALLINT handle_type, SQLHANDLE handle, SQLSMALLINT record,
                            char *utf8text, std::size_t utf8text_size, char *utf8state,
                            std::size_t utf8state_size, SQLINTEGER *native);
SQLRETURN qx_odbc_diag_ascii(SQLSMALLINT handle_type, SQLHANDLE handle, SQLSMALLINT record,
                             char *text, std::size_t text_size, char *state,
                             std::size_t state_size, SQLINTEGER *native);
// SQLSTATE of the first record into the 6-byte `sqlstate` ("00000" if none).
SQLRETURN qx_get_sql_state(SQLSMALLINT handle_type, SQLHANDLE handle, char *sqlstate);
int qx_odbc_get_info(SQLHDBC hdbc, odbc_info_t *out_info);
void qx_free_odbc_info(odbc_info_t *info);
int qx_output_odbc_info(diagstk_t *diag, io_out_t *output, const odbc_info_t *info);
const char *sqltype2string(int sqltype);
const char *null_type2string(int nullable);
