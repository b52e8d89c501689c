// loadguard.cpp - no library is loaded from a place a client could have
// written. A client has many ways to write a file as the server's user
// (SQLite's blob_export, ATTACH, a driver's trace or log file) and several
// ways to name a library to load (a driver path, load_extension, a driver's
// extension keyword, a data source file of its own). Instead of closing
// each pair, every load passes one rule here: a library is loaded only
// from where nobody but root can have put it.
//
// This is also why the server must never run as root: for root, every file
// it writes is owned by root, and the rule no longer tells a system library
// from one a client had the server write.

#include "loadguard.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "log.h"

namespace {

// What dlerror answers after a refusal, per thread as dlerror's own state is.
thread_local char refusal[DIAGSTK_TEXT_SIZE];
thread_local bool refusal_pending = false;

using dlopen_fn = void *(*)(const char *, int);
using dlmopen_fn = void *(*)(Lmid_t, const char *, int);
using dlerror_fn = char *(*)();

// The definitions after the executable's own: the C library's, or under
// AddressSanitizer its interceptor, which then calls the C library's.
template <class Fn>
Fn next_definition(const char *symbol)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
}

// Why a file or directory with status `st` could have been written by
// someone other than root; null when it could not.
const char *untrusted_because(const struct stat &st)
{
    if (st.st_uid != 0) return "is not owned by root";
    if (st.st_mode & S_IWOTH) return "is writable by others";
    if (st.st_mode & S_IWGRP) return "is writable by its group";
    return nullptr;
}

// Checks the resolved `path` and each directory above it, nearest first.
int check_chain(diagstk_t *diag, const char *name, const std::string &path)
{
    std::string at = path;
    for (;;) {
        struct stat st{};
        if (stat(at.c_str(), &st) != 0) {
            diagstk_add(diag, 3, "Refused to load library %s - %s: %s", name, at.c_str(),
                        std::strerror(errno));
            return -1;
        }
        if (const char *why = untrusted_because(st)) {
            diagstk_add(diag, 3, "Refused to load library %s - %s %s", name, at.c_str(), why);
            return -1;
        }
        if (at == "/") return 0;
        const std::size_t slash = at.rfind('/');
        at.erase(slash == 0 ? 1 : slash);
    }
}

void refuse(diagstk_t *diag)
{
    const int top = diagstk_context(diag);
    const char *text = top > 0 ? diag->items[top - 1].text : "Refused to load library";
    std::strncpy(refusal, text, sizeof refusal - 1);
    refusal[sizeof refusal - 1] = '\0';
    refusal_pending = true;
    if (diag == nullptr) return;
    diagstk_register_output(diag, DIAGSTK_OUTPUT_EVENTLOG, eventlog);
    diagstk_register_output(diag, DIAGSTK_OUTPUT_FILE, log_fp);
    diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
}

// The load itself, once `name` has passed; `load(file, more_flags)` calls
// the next definition.
template <class Load>
void *guarded_load(const char *name, int flags, const void *caller, Load load)
{
    // RTLD_NOLOAD only asks about a library already in the process.
    if (flags & RTLD_NOLOAD) return load(name);
    if (loadguard_from_sqlite(caller)) {
        diagstk_ptr diag(diagstk_new());
        diagstk_add(diag.get(), 3, "Refused to load library %s - SQLite extensions are not loaded",
                    name != nullptr ? name : "(null)");
        refuse(diag.get());
        return nullptr;
    }
    // Any other library already in the process passed the check below when
    // it came; finding it again reads no new code (the dynamic linker
    // matches the name, or the file's device and inode, to what is mapped).
    // The driver manager loads its driver again at every connect.
    if (name != nullptr && std::strchr(name, '$') == nullptr)
        if (void *handle = load(name, RTLD_NOLOAD)) return handle;
    diagstk_ptr diag(diagstk_new());
    std::string target;
    if (loadguard_check(diag.get(), name, &target) < 0) {
        refuse(diag.get());
        return nullptr;
    }
    refusal_pending = false;  // a later failure is the one dlerror reports
    return load(name == nullptr ? nullptr : target.c_str(), 0);
}

}  // namespace

int loadguard_check(diagstk_t *diag, const char *name, std::string *resolved)
{
    if (name == nullptr || std::strchr(name, '/') == nullptr) {
        *resolved = name == nullptr ? "" : name;
        return 0;
    }
    // The dynamic linker expands $ORIGIN and its kind in a name with "/";
    // the file it would then open is not the one checked here.
    if (std::strchr(name, '$') != nullptr) {
        diagstk_add(diag, 3, "Refused to load library %s - the name holds a $ token", name);
        return -1;
    }
    char real[PATH_MAX];
    if (realpath(name, real) == nullptr) {
        diagstk_add(diag, 3, "Refused to load library %s - %s", name, std::strerror(errno));
        return -1;
    }
    if (check_chain(diag, name, real) < 0) return -1;
    *resolved = real;
    return 0;
}

bool loadguard_from_sqlite(const void *caller)
{
    Dl_info info{};
    if (caller == nullptr || dladdr(caller, &info) == 0 || info.dli_fname == nullptr) return false;
    const char *slash = std::strrchr(info.dli_fname, '/');
    const std::string_view base = slash != nullptr ? slash + 1 : info.dli_fname;
    return base.starts_with("libsqlite3.so");
}

void *loadguard_open(const char *name, int flags, const void *caller)
{
    static const auto next = next_definition<dlopen_fn>("dlopen");
    return guarded_load(name, flags, caller, [flags](const char *file, int more = 0) {
        return next != nullptr ? next(file, flags | more) : nullptr;
    });
}

void *loadguard_mopen(Lmid_t lmid, const char *name, int flags, const void *caller)
{
    static const auto next = next_definition<dlmopen_fn>("dlmopen");
    return guarded_load(name, flags, caller, [lmid, flags](const char *file, int more = 0) {
        return next != nullptr ? next(lmid, file, flags | more) : nullptr;
    });
}

char *loadguard_error()
{
    static const auto next = next_definition<dlerror_fn>("dlerror");
    if (refusal_pending) {
        refusal_pending = false;
        if (next != nullptr) next();  // drops an older error: ours is the latest
        return refusal;
    }
    return next != nullptr ? next() : nullptr;
}
