// driverload.cpp - loading the registered drivers' libraries once, in the
// standalone server, before the first fork.
//
// The driver manager loads a driver's library at connect and unloads it at
// disconnect, so without this every connection child (and every request)
// maps, relocates and initialises the library and its dependencies afresh:
// about 2 ms for the SQLite driver. A library the process already holds is
// found by name instead, and the driver manager's load and unload only
// count references.

#include "driverload.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include <sql.h>
#include <sqlext.h>

#include "log.h"

namespace {

bool ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

// The "Driver" entry of each registered driver, as the driver manager
// lists them (the attributes come as "key=value" texts, each ended by NUL).
std::vector<std::string> registered_libraries()
{
    std::vector<std::string> libs;
    SQLHENV env = SQL_NULL_HENV;
    if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env) != SQL_SUCCESS) return libs;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLCHAR name[256], attrs[4096];
    SQLSMALLINT name_len = 0, attrs_len = 0;
    for (SQLUSMALLINT dir = SQL_FETCH_FIRST;
         ok(SQLDrivers(env, dir, name, sizeof name, &name_len, attrs, sizeof attrs, &attrs_len));
         dir = SQL_FETCH_NEXT) {
        const char *p = reinterpret_cast<const char *>(attrs);
        const char *end =
            p + std::min<std::size_t>(static_cast<std::size_t>(attrs_len), sizeof attrs);
        for (; p < end && *p != '\0'; p += std::string_view(p).size() + 1)
            if (std::string_view(p).starts_with("Driver="))
                libs.emplace_back(p + 7);
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return libs;
}

// The directory of the driver manager's own library.
std::string manager_directory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&SQLDrivers), &info) == 0 || info.dli_fname == nullptr)
        return {};
    char real[PATH_MAX];
    if (realpath(info.dli_fname, real) == nullptr) return {};
    std::string dir = real;
    return dir.substr(0, dir.rfind('/'));
}

// The file the driver manager loads for the entry `lib`: a path as it is;
// a bare name from the driver directory beside the manager's library (or
// that directory itself), where the manager looks for it first. Empty when
// there is no such file.
std::string library_file(const std::string &lib, const std::string &manager_dir)
{
    if (lib.find('/') != std::string::npos) return access(lib.c_str(), R_OK) == 0 ? lib : "";
    if (manager_dir.empty()) return {};
    for (const char *sub : {"/odbc/", "/"}) {
        std::string path = manager_dir + sub + lib;
        if (access(path.c_str(), R_OK) == 0) return path;
    }
    return {};
}

}  // namespace

int qx_preload_drivers(diagstk_t *)
{
    const std::string manager_dir = manager_directory();
    int loaded = 0;
    for (const std::string &lib : registered_libraries()) {
        const std::string file = library_file(lib, manager_dir);
        if (file.empty()) {
            mtlog("Driver library %s not found: loaded by each connection\n", lib.c_str());
            continue;
        }
        // Relocated now, once, rather than lazily in every child. The
        // guarded dlopen refuses a library outside root's directories (its
        // event says why), which then fails in the child as it would have.
        if (dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) {
            mtlog("Driver library %s not loaded: %s\n", file.c_str(), dlerror());
            continue;
        }
        mtlog("Driver library %s loaded\n", file.c_str());
        loaded++;
    }
    return loaded;
}
