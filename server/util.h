// util.h - the diagnostic stack and the small helpers every module shares:
// file names and an owner for malloc'ed strings. Events, text conversions
// and access lists have headers of their own (event.h, conv.h, acl.h).
#pragma once

#include <cstddef>
#include <memory>

#include "diag.h"

// Joins `dir` "/" `file` into `outbuf`; -1 with a message when it won't fit.
int qx_filespec(diagstk_t *diag, const char *dir, const char *file, char *outbuf,
                std::size_t outbuf_len);

// Owner for malloc'ed C strings handed out by the helpers above.
struct free_deleter {
    void operator()(void *p) const;
};
template <class T>
using c_ptr = std::unique_ptr<T, free_deleter>;
