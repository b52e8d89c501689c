// sqlite_confine_hook.cpp - the executable's own definitions of the SQLite
// entry points through which the SQLite ODBC driver opens a database and
// gives it functions. Linked into the server executable only and exported
// to its dynamic symbol table (server/CMakeLists.txt): the dynamic linker
// binds the driver's references to the executable first, so every
// database the driver opens passes sqlite_confine.cpp.

#include "sqlite_confine.h"

extern "C" {

int sqlite3_open_v2(const char *filename, sqlite3 **db, int flags, const char *vfs)
{
    return sqlite_confine_open(filename, db, flags, vfs);
}

int sqlite3_close(sqlite3 *db) { return sqlite_confine_close(db, false); }

int sqlite3_close_v2(sqlite3 *db) { return sqlite_confine_close(db, true); }

int sqlite3_create_function(sqlite3 *db, const char *name, int nargs, int encoding, void *app,
                            sqlite3_function_fn func, sqlite3_function_fn step,
                            sqlite3_final_fn final)
{
    return sqlite_confine_create_function(db, name, nargs, encoding, app, func, step, final);
}

int sqlite3_enable_load_extension(sqlite3 *db, int onoff)
{
    return sqlite_confine_enable_load_extension(db, onoff);
}

}  // extern "C"
