// loadguard.h - no library is loaded from a place a client could have
// written. The server executable defines dlopen, dlmopen and dlerror itself
// (loadguard_hook.cpp), so every load in the process comes here first: the
// driver manager loading a driver, SQLite's load_extension, a driver's own
// plugins, OpenSSL and Kerberos modules. Allowed loads go on to the next
// definition; refused ones fail as an ordinary failed dlopen would.
#pragma once

#include <dlfcn.h>
#include <string>

#include "diag.h"

// Decides whether the library `name` (as given to dlopen) may be loaded.
// A null name (the program itself) and a name without "/" (found by the
// dynamic linker's own search of the system directories) are allowed as
// they are. A name with "/" is allowed when its resolved file and every
// directory above it are owned by root and writable by neither group nor
// others. Returns 0 with *resolved set to the name to load (the resolved
// path, so that nothing can be swapped in between check and load; the name
// itself when there is nothing to resolve), or -1 with one message
// "Refused to load library <name> - <why>" on `diag`.
int loadguard_check(diagstk_t *diag, const char *name, std::string *resolved);

// Whether the code at `caller` belongs to SQLite, which loads a library
// only when SQL asks for one (load_extension, the driver's LoadExt): that
// is never done, whatever the path, because the entry point is named by
// the client too and any exported function of a system library would be
// called with SQLite's arguments.
bool loadguard_from_sqlite(const void *caller);

// The dlopen of the process, called from `caller`: checks `name`, then
// loads it with the definition after the executable's own, or refuses it.
// A refusal is written as one event line, and the next dlerror of this
// thread answers its text. A call with RTLD_NOLOAD, which loads nothing,
// just goes on.
void *loadguard_open(const char *name, int flags, const void *caller);
// The same for dlmopen into the namespace `lmid`.
void *loadguard_mopen(Lmid_t lmid, const char *name, int flags, const void *caller);

// The dlerror of the process: a refusal's text once, else what the
// next definition answers.
char *loadguard_error();
