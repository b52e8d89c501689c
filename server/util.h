// util.h - the diagnostic stack and the small helpers every module shares:
// file names, an owner for malloc'ed strings, and the text comparisons of
// settings and connection strings. Events, text conversions
// and access lists have headers of their own (event.h, conv.h, acl.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>
#include <strings.h>

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

// A blank inside a setting or a connection string: a space or a tab.
inline bool qx_blank(char c) { return c == ' ' || c == '\t'; }

// `s` without the blanks at either end.
inline std::string_view qx_trim(std::string_view s)
{
    while (!s.empty() && qx_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && qx_blank(s.back())) s.remove_suffix(1);
    return s;
}

// Equal without regard to ASCII case, as keywords and setting words compare.
inline bool qx_iequal(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The items of a comma-separated list, trimmed; empty items are kept so
// that a reader can refuse them.
inline std::vector<std::string_view> qx_list_items(std::string_view list)
{
    std::vector<std::string_view> out;
    for (;;) {
        const std::size_t comma = list.find(',');
        out.push_back(qx_trim(list.substr(0, comma)));
        if (comma == std::string_view::npos) return out;
        list.remove_prefix(comma + 1);
    }
}
