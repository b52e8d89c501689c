// loadguard_hook.cpp - the executable's own dlopen, dlmopen and dlerror.
// Linked into the server executable only and exported to its dynamic
// symbol table (server/CMakeLists.txt): the dynamic linker binds every
// library's reference to these names, versioned or not, to the
// executable's definition first, so no load in the process bypasses
// loadguard.cpp.

#include "loadguard.h"

extern "C" {

void *dlopen(const char *file, int mode) noexcept
{
    return loadguard_open(file, mode, __builtin_return_address(0));
}

void *dlmopen(Lmid_t lmid, const char *file, int mode) noexcept
{
    return loadguard_mopen(lmid, file, mode, __builtin_return_address(0));
}

char *dlerror() noexcept
{
    return loadguard_error();
}

}  // extern "C"
