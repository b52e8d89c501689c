// util.cpp - file names and the owner of malloc'ed strings.

#include "util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void free_deleter::operator()(void *p) const { std::free(p); }

// -------------------------------------------------------------- file names

int qx_filespec(diagstk_t *diag, const char *dir, const char *file, char *outbuf,
                std::size_t outbuf_len)
{
    const std::size_t need = std::strlen(dir) + 1 + std::strlen(file) + 1;
    if (need > outbuf_len) {
        diagstk_add(diag, 3, "%s: buffer (%d) too small for filespec (%d)", "qx_filespec",
                    static_cast<int>(outbuf_len), static_cast<int>(need));
        return -1;
    }
    std::snprintf(outbuf, outbuf_len, "%s/%s", dir, file);
    return 0;
}
