// odbc_util.h - ODBC diagnostics, the error result, driver information and
// type names.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string_view>

#include "iodef.h"
#include "util.h"

typedef struct odbc_info_s {
    char *database_name;
    char *dbms_name;
    char *dbms_ver;
    char *driver_name;
    char *driver_ver;
} odbc_info_t;

// odbc_error flags. Without ODBC_ERROR_TO_STACK a complete ODBC error
// result is written on `output`; with it the records go onto `diag`.
// ODBC_ERROR_CONNECTED marks a failure on an established connection: it
// changes nothing but the flags the error trace shows.
inline constexpr unsigned long ODBC_ERROR_TO_OUTPUT = 0;
inline constexpr unsigned long ODBC_ERROR_CONNECTED = 1;
inline constexpr unsigned long ODBC_ERROR_TO_STACK = 2;

// Reports the failure of ODBC function `fn` (text) on `handle` of `type`,
// made while `whilst`, as `flags` say (above). `output` may be null with
// ODBC_ERROR_TO_STACK. No result: the caller decides what follows.
void odbc_error(const char *fn, SQLSMALLINT type, SQLHANDLE handle, const char *whilst,
                io_out_t *output, diagstk_t *diag, unsigned long flags);
// The ODBC error result odbc_error writes, each diagnostic text after
// `prefix` (which names the part of the request that failed).
void odbc_error_result(SQLSMALLINT type, SQLHANDLE handle, std::string_view prefix,
                       io_out_t *output, diagstk_t *diag);
// Reads diagnostic record `record` (from 1) of `handle`: its message (at
// most 1023 characters) and SQLSTATE as UTF-8 into the caller's buffers,
// and its native code. 0 when read, else the driver's code (SQL_NO_DATA
// when there is no such record).
SQLRETURN qx_odbc_diag_utf8(SQLSMALLINT handle_type, SQLHANDLE handle, SQLSMALLINT record,
                            char *utf8text, std::size_t utf8text_size, char *utf8state,
                            std::size_t utf8state_size, SQLINTEGER *native);
// The same, each wide character reduced to its low byte.
SQLRETURN qx_odbc_diag_ascii(SQLSMALLINT handle_type, SQLHANDLE handle, SQLSMALLINT record,
                             char *text, std::size_t text_size, char *state,
                             std::size_t state_size, SQLINTEGER *native);
// SQLSTATE of the first record into the 6-byte `sqlstate` ("00000" if none).
SQLRETURN qx_get_sql_state(SQLSMALLINT handle_type, SQLHANDLE handle, char *sqlstate);
// Fills the five strings of `out_info` (owned, freed by qx_free_odbc_info)
// from SQLGetInfo, "unknown" for any the driver cannot give. Always 0.
int qx_odbc_get_info(SQLHDBC hdbc, odbc_info_t *out_info);
// Frees the strings of `info` and sets them to null.
void qx_free_odbc_info(odbc_info_t *info);
// Writes the driver-information comment; the last channel write's result.
int qx_output_odbc_info(diagstk_t *diag, io_out_t *output, const odbc_info_t *info);
// Names of an ODBC SQL type code and a nullability code, for the trace.
const char *sqltype2string(int sqltype);
const char *null_type2string(int nullable);
