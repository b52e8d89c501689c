// sqlite_confine.h - SQLite databases that reach no file but their own.
// The SQLite ODBC driver hands every client SQL that reads and writes the
// server user's files: its blob_import and blob_export functions, ATTACH
// and VACUUM INTO, extension loading. No connection keyword switches these
// off, so the server executable defines the SQLite entry points the driver
// calls (sqlite_confine_hook.cpp) and, under SQLiteFileAccess No, confines
// each database right after it is opened.
#pragma once

#include <cstddef>

#include "config.h"

// Storage of the SQLiteFileAccess row: "Yes" (default) or "No".
inline constexpr std::size_t QX_SQLITE_FILE_ACCESS_SIZE = 8;
extern char ini_sqlite_file_access[QX_SQLITE_FILE_ACCESS_SIZE];

// Row handlers (config.h types). The reader accepts Yes or No in any case
// and stores them as written here, or pushes one message naming the
// refused value and returns -1.
int attr_sqlite_file_access_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);
void sqlite_file_access_changed(ini_setting_t *ini);

// False under SQLiteFileAccess No.
bool qx_sqlite_file_access(void);

// What the executable's SQLite entry points do: call SQLite's own
// definition, confining the database under SQLiteFileAccess No. The
// arguments and results are those of the SQLite C interface; `db` is
// SQLite's opaque connection.
struct sqlite3;
struct sqlite3_context;
struct sqlite3_value;
using sqlite3_function_fn = void (*)(sqlite3_context *context, int argc, sqlite3_value **argv);
using sqlite3_final_fn = void (*)(sqlite3_context *context);

// Opens the database; under No then confines it (no ATTACH other than
// VACUUM's own temporary database, no extension loading, defensive mode,
// untrusted schema, no two-argument fts3_tokenizer). A database that cannot
// be confined is closed again and the open fails (SQLITE_ERROR, *db null),
// with an event line saying why.
int sqlite_confine_open(const char *filename, sqlite3 **db, int flags, const char *vfs);
// Registers an SQL function; under No, blob_import and blob_export are
// silently not registered, so SQL naming them fails as for any unknown
// function.
int sqlite_confine_create_function(sqlite3 *db, const char *name, int nargs, int encoding,
                                   void *app, sqlite3_function_fn func, sqlite3_function_fn step,
                                   sqlite3_final_fn final);
// Switches extension loading; under No it is always switched off.
int sqlite_confine_enable_load_extension(sqlite3 *db, int onoff);
// Closes the database (sqlite3_close, or sqlite3_close_v2 with `v2`).
int sqlite_confine_close(sqlite3 *db, bool v2);

// Rolls back every transaction open on a database of this process. SQL
// text can begin a transaction that the driver, which only tracks the ones
// it begins itself, would neither roll back nor report; a connection kept
// for the next request must not carry one.
void sqlite_confine_rollback(void);
