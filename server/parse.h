// parse.h - reading one XML document from a channel into an element tree,
// and looking elements and attributes up by case-insensitive paths.
#pragma once

#include <cstddef>

#include "iodef.h"
#include "util.h"

inline constexpr int TREE_ELEMENT_ERROR = -1;
inline constexpr int TREE_ELEMENT_NOT_FOUND = 0;
inline constexpr int TREE_ELEMENT_DATA = 1;
inline constexpr int TREE_ELEMENT_NO_DATA = 2;

// A request document larger than this is refused: a client cannot make the
// server buffer without bound. The configuration file is not limited.
inline constexpr std::size_t QX_MAX_REQUEST_BYTES = 16u * 1024u * 1024u;
inline constexpr std::size_t QX_READ_CHUNK = 2048;

typedef struct attribute_s {
    char *name;
    char *value;  // empty string for an empty value, never null when parsed
    struct attribute_s *next;
} attribute_t;

typedef struct tree_s {
    char *name;
    char *data;  // character data, or null when none; line breaks are
                 // removed except in Sql and Parameter elements
    int data_len;
    struct tree_s *parent;
    struct tree_s *child;
    attribute_s *attrs;
    struct tree_s *next;
    unsigned int depth;
} tree_t;

// Reads one document from `input` and builds its tree in *ptree (owned by
// the caller: qx_free_parse_tree). The document ends where its root element
// closes, wherever the 2048-byte reads fall; on a channel with
// many_documents the bytes after it (blanks aside) are kept on the channel
// for the next call, elsewhere they are ignored. A document the input ends
// before its root element closes is refused whole.
// Returns 0; -1 on a parse error, an empty, cut-short or oversized
// document; a read's negative result. `limit` 0 means no size limit (the
// configuration file). From a document's first byte until its root element
// closes, the channel's state carries IO_STATE_DOCUMENT.
int qx_parse_xml(diagstk_t *diag, io_in_t *input, void **ptree,
                 std::size_t limit = QX_MAX_REQUEST_BYTES);
int qx_free_parse_tree(diagstk_t *diag, void *ptree);
// Finds the `instance`-th (0 and 1: first) element at `path`. On DATA *val
// points at its text inside the tree; *context gets the node when found.
int qx_tree_element(diagstk_t *diag, void *ptree, unsigned int instance,
                    const char *path, char **val, void **context);
int qx_element_attr(diagstk_t *diag, void *context, const char *name, char **val);
void log_parse_tree(tree_t *t, unsigned int *depth);
