// sqlite_confine.cpp - SQLite databases that reach no file but their own.
// Every path to another file goes through a handful of SQLite features,
// each switched off per database as soon as it is open: the driver's
// file functions are never registered, an authorizer refuses ATTACH (which
// VACUUM INTO runs too), extension loading stays off, and the options that
// guard against hostile SQL are set. All of it runs once per connection,
// never per statement or row.

#include "sqlite_confine.h"

#include <algorithm>
#include <vector>
#include <cstring>
#include <dlfcn.h>
#include <string_view>
#include <strings.h>

#include "log.h"
#include "util.h"

char ini_sqlite_file_access[QX_SQLITE_FILE_ACCESS_SIZE];

namespace {

// Values of the public SQLite C interface (sqlite3.h), declared here so
// that building the server needs no SQLite headers.
constexpr int SQLITE_OK = 0;
constexpr int SQLITE_ERROR = 1;
constexpr int SQLITE_DENY = 1;  // an authorizer's refusal
constexpr int SQLITE_ATTACH = 24;
constexpr int SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER = 1004;
constexpr int SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION = 1005;
constexpr int SQLITE_DBCONFIG_DEFENSIVE = 1010;
constexpr int SQLITE_DBCONFIG_TRUSTED_SCHEMA = 1017;

using authorizer_fn = int (*)(void *, int, const char *, const char *, const char *,
                              const char *);
using open_v2_fn = int (*)(const char *, sqlite3 **, int, const char *);
using close_fn = int (*)(sqlite3 *);
using create_function_fn = int (*)(sqlite3 *, const char *, int, int, void *,
                                   sqlite3_function_fn, sqlite3_function_fn, sqlite3_final_fn);
using enable_load_extension_fn = int (*)(sqlite3 *, int);
using set_authorizer_fn = int (*)(sqlite3 *, authorizer_fn, void *);
using db_config_fn = int (*)(sqlite3 *, int, ...);
using get_autocommit_fn = int (*)(sqlite3 *);
using exec_fn = int (*)(sqlite3 *, const char *, void *, void *, char **);

constexpr std::string_view YES = "Yes", NO = "No";

bool file_access = true;

// The databases the driver holds open in this process, for
// sqlite_confine_rollback. A child holds one or two at a time.
std::vector<sqlite3 *> open_databases;

// The entry points of SQLite the module calls.
constexpr char SQLITE3_CREATE_FUNCTION_NAME[] = "sqlite3_create_function";
constexpr char SQLITE3_DB_CONFIG_NAME[] = "sqlite3_db_config";
constexpr char SQLITE3_ENABLE_LOAD_EXTENSION_NAME[] = "sqlite3_enable_load_extension";
constexpr char SQLITE3_EXEC_NAME[] = "sqlite3_exec";
constexpr char SQLITE3_GET_AUTOCOMMIT_NAME[] = "sqlite3_get_autocommit";
constexpr char SQLITE3_OPEN_V2_NAME[] = "sqlite3_open_v2";
constexpr char SQLITE3_SET_AUTHORIZER_NAME[] = "sqlite3_set_authorizer";
constexpr char SQLITE3_CLOSE_NAME[] = "sqlite3_close";
constexpr char SQLITE3_CLOSE_V2_NAME[] = "sqlite3_close_v2";

// The SQLite library the driver uses. The driver manager loads a driver,
// and the SQLite library with it, into a scope of its own that RTLD_NEXT
// does not search, so the library already in the process is asked for by
// name. The first answer keeps a reference of its own: the library then
// stays loaded when the driver manager unloads the driver between
// connections, so its functions are looked up once per process rather
// than at every call (a lookup with its load and unload costs more than
// some of the calls it serves), and the next connection does not load it
// from disk again.
void *sqlite_library()
{
    static void *const lib = dlopen("libsqlite3.so.0", RTLD_NOLOAD | RTLD_LAZY);
    return lib;
}

// SQLite's own definition of `symbol`, from the library the driver uses,
// else the next one after the executable's (a process that links SQLite).
void *find_real(const char *symbol)
{
    void *fn = sqlite_library() != nullptr ? dlsym(sqlite_library(), symbol) : nullptr;
    return fn != nullptr ? fn : dlsym(RTLD_NEXT, symbol);
}

// The definition of `Symbol` as a function of type Fn, found at its first use.
template <class Fn, const char *Symbol>
Fn real()
{
    static void *const fn = find_real(Symbol);
    return reinterpret_cast<Fn>(fn);
}

// VACUUM copies the database through an attached private temporary
// database, named by an empty text. Every other ATTACH, VACUUM INTO's
// included, names a file (or an expression, for which SQLite passes no
// name) and is refused.
int refuse_attach(void *, int action, const char *file, const char *, const char *, const char *)
{
    if (action == SQLITE_ATTACH && (file == nullptr || file[0] != '\0')) return SQLITE_DENY;
    return SQLITE_OK;
}

// Applies every switch to `db`. The name of the first that fails, or null.
const char *confine(sqlite3 *db)
{
    const auto set_authorizer = real<set_authorizer_fn, SQLITE3_SET_AUTHORIZER_NAME>();
    const auto db_config = real<db_config_fn, SQLITE3_DB_CONFIG_NAME>();
    if (set_authorizer == nullptr || db_config == nullptr) return "SQLite library not found";
    if (set_authorizer(db, refuse_attach, nullptr) != SQLITE_OK) return "sqlite3_set_authorizer";
    const struct { int op, value; const char *name; } options[] = {
        {SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, "SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION"},
        {SQLITE_DBCONFIG_DEFENSIVE, 1, "SQLITE_DBCONFIG_DEFENSIVE"},
        {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, "SQLITE_DBCONFIG_TRUSTED_SCHEMA"},
        {SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, "SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER"},
    };
    for (const auto &o : options) {
        int now = -1;
        if (db_config(db, o.op, o.value, &now) != SQLITE_OK || now != o.value) return o.name;
    }
    return nullptr;
}

// One event line for a database that could not be confined.
void report(const char *filename, const char *why)
{
    diagstk_ptr diag(diagstk_new());
    diagstk_add(diag.get(), 3, "SQLite database %s not opened - %s could not be set",
                filename != nullptr ? filename : "(null)", why);
    diagstk_register_output(diag.get(), DIAGSTK_OUTPUT_EVENTLOG, eventlog);
    diagstk_register_output(diag.get(), DIAGSTK_OUTPUT_FILE, log_fp);
    diagstk_output(diag.get(), DIAGSTK_TO_EVENTLOG, nullptr);
}

}  // namespace

// --------------------------------------------------------- SQLiteFileAccess

int attr_sqlite_file_access_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    return qx_ini_word(diag, ini, static_cast<const char *>(val), {YES, NO},
                       "attr_sqlite_file_access", nullptr);
}

void sqlite_file_access_changed(ini_setting_t *ini)
{
    // An emptied row is read as the default.
    file_access = static_cast<const char *>(ini->destination) != NO;
}

bool qx_sqlite_file_access(void) { return file_access; }

// ------------------------------------------------------------ entry points

int sqlite_confine_open(const char *filename, sqlite3 **db, int flags, const char *vfs)
{
    const auto open = real<open_v2_fn, SQLITE3_OPEN_V2_NAME>();
    if (open == nullptr) {
        *db = nullptr;
        return SQLITE_ERROR;
    }
    const int rc = open(filename, db, flags, vfs);
    // Even a failed open may return a handle, which the driver then closes.
    if (*db != nullptr) open_databases.push_back(*db);
    if (rc != SQLITE_OK || file_access) return rc;
    if (const char *failed = confine(*db)) {
        report(filename, failed);
        sqlite_confine_close(*db, false);
        *db = nullptr;
        return SQLITE_ERROR;
    }
    return rc;
}

int sqlite_confine_create_function(sqlite3 *db, const char *name, int nargs, int encoding,
                                   void *app, sqlite3_function_fn func, sqlite3_function_fn step,
                                   sqlite3_final_fn final)
{
    // The driver's functions that read and write any file by its name.
    if (!file_access && name != nullptr &&
        (strcasecmp(name, "blob_import") == 0 || strcasecmp(name, "blob_export") == 0))
        return SQLITE_OK;
    const auto create = real<create_function_fn, SQLITE3_CREATE_FUNCTION_NAME>();
    return create != nullptr ? create(db, name, nargs, encoding, app, func, step, final)
                             : SQLITE_ERROR;
}

int sqlite_confine_enable_load_extension(sqlite3 *db, int onoff)
{
    const auto enable = real<enable_load_extension_fn, SQLITE3_ENABLE_LOAD_EXTENSION_NAME>();
    return enable != nullptr ? enable(db, file_access ? onoff : 0) : SQLITE_ERROR;
}

int sqlite_confine_close(sqlite3 *db, bool v2)
{
    std::erase(open_databases, db);
    const auto close =
        v2 ? real<close_fn, SQLITE3_CLOSE_V2_NAME>() : real<close_fn, SQLITE3_CLOSE_NAME>();
    return close != nullptr ? close(db) : SQLITE_ERROR;
}

void sqlite_confine_rollback(void)
{
    if (open_databases.empty()) return;
    const auto get_autocommit = real<get_autocommit_fn, SQLITE3_GET_AUTOCOMMIT_NAME>();
    const auto exec = real<exec_fn, SQLITE3_EXEC_NAME>();
    if (get_autocommit == nullptr || exec == nullptr) return;
    for (sqlite3 *db : open_databases)
        if (get_autocommit(db) == 0) exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}
