// parse.cpp - one XML document from a channel into an element tree (expat),
// and lookups by case-insensitive slash-separated paths.

#include "parse.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>

#include <expat.h>

#include "log.h"

namespace {

// Builder state of the one parse in progress.
struct parse_state {
    tree_t *tcur;
    unsigned int tdepth;
    bool out_of_memory;
    bool keep_line_breaks;  // the text of tcur keeps its line breaks
};

// SQL text and procedure parameter values keep their line breaks: they
// separate words and end "--" comments, and a value is passed as sent.
// Everywhere else a line break is the document's indentation.
bool keeps_line_breaks(const char *name)
{
    return name != nullptr && (strcasecmp(name, "Sql") == 0 || strcasecmp(name, "Parameter") == 0);
}

char *dup_or_flag(parse_state *ps, const char *s)
{
    char *copy = strdup(s);
    if (copy == nullptr) ps->out_of_memory = true;
    return copy;
}

void append_attrs(parse_state *ps, tree_t *node, const XML_Char **atts)
{
    attribute_t **tail = &node->attrs;
    for (int i = 0; atts[i] != nullptr; i += 2) {
        auto *a = static_cast<attribute_t *>(std::calloc(1, sizeof(attribute_t)));
        if (a == nullptr) {
            ps->out_of_memory = true;
            return;
        }
        a->name = dup_or_flag(ps, atts[i]);
        a->value = dup_or_flag(ps, atts[i + 1]);
        *tail = a;
        tail = &a->next;
    }
}

void XMLCALL start_tag_handler(void *ud, const XML_Char *name, const XML_Char **atts)
{
    auto *ps = static_cast<parse_state *>(ud);
    tree_t *node = ps->tcur;
    if (node->name != nullptr) {
        auto *child = static_cast<tree_t *>(std::calloc(1, sizeof(tree_t)));
        if (child == nullptr) {
            ps->out_of_memory = true;
            return;
        }
        child->parent = node;
        tree_t **tail = &node->child;
        while (*tail != nullptr) tail = &(*tail)->next;
        *tail = child;
        node = child;
    }
    node->depth = ps->tdepth;
    node->name = dup_or_flag(ps, name);
    append_attrs(ps, node, atts);
    ps->tcur = node;
    ps->keep_line_breaks = keeps_line_breaks(node->name);
    ps->tdepth++;
}

void XMLCALL end_tag_handler(void *ud, const XML_Char *)
{
    auto *ps = static_cast<parse_state *>(ud);
    ps->tdepth--;
    if (ps->tcur->parent != nullptr) ps->tcur = ps->tcur->parent;
    ps->keep_line_breaks = keeps_line_breaks(ps->tcur->name);
}

// Capacity of a data buffer holding `len` bytes and a terminator: the next
// power of two, so that appending many small pieces to one long text costs
// amortised constant time instead of a copy per piece.
std::size_t data_capacity(std::size_t len) { return std::bit_ceil(len + 1 < 16 ? 16 : len + 1); }

void XMLCALL data_handler(void *ud, const XML_Char *s, int len)
{
    auto *ps = static_cast<parse_state *>(ud);
    tree_t *node = ps->tcur;
    if (node->name == nullptr || len <= 0) return;  // text outside any element
    const std::size_t old_len = static_cast<std::size_t>(node->data_len);
    const std::size_t want = old_len + static_cast<std::size_t>(len);
    if (node->data == nullptr || data_capacity(want) > data_capacity(old_len)) {
        auto *grown = static_cast<char *>(std::realloc(node->data, data_capacity(want)));
        if (grown == nullptr) {
            ps->out_of_memory = true;
            return;
        }
        node->data = grown;
    }
    char *data = node->data;
    std::size_t n = old_len;
    if (ps->keep_line_breaks) {
        std::memcpy(data + n, s, static_cast<std::size_t>(len));
        n += static_cast<std::size_t>(len);
    } else {
        for (int i = 0; i < len; i++)
            if (s[i] != '\n' && s[i] != '\r') data[n++] = s[i];
    }
    data[n] = '\0';
    node->data_len = static_cast<int>(n);
}

void XMLCALL cdata_handler(void *) {}
void XMLCALL pi_handler(void *, const XML_Char *, const XML_Char *) {}

using parser_ptr = std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)>;

// Iterative, so a hostile document nested 100,000 levels deep cannot
// exhaust the stack: each node's children are spliced in before its
// siblings, then the node is freed.
void free_node(tree_t *t)
{
    while (t != nullptr) {
        if (t->child != nullptr) {
            tree_t *last = t->child;
            while (last->next != nullptr) last = last->next;
            last->next = t->next;
            t->next = t->child;
            t->child = nullptr;
        }
        for (attribute_t *a = t->attrs; a != nullptr;) {
            attribute_t *next = a->next;
            std::free(a->name);
            std::free(a->value);
            std::free(a);
            a = next;
        }
        std::free(t->data);
        std::free(t->name);
        tree_t *next = t->next;
        std::free(t);
        t = next;
    }
}

const char *input_name(const io_in_t *input)
{
    if (input->method == XML_INPUT_METHOD_FILE && input->src.file.filespec != nullptr)
        return input->src.file.filespec;
    return "input request";
}

constexpr std::string_view END_MARKER = "</Request>";

bool holds_end_marker(const char *buf, std::size_t n)
{
    return std::string_view(buf, n).find(END_MARKER) != std::string_view::npos;
}

// Hands `bytes` to expat; -1 after pushing a message.
int parse_bytes(diagstk_t *diag, io_in_t *input, XML_Parser parser, parse_state *ps,
                std::string_view bytes, bool final)
{
    if (XML_Parse(parser, bytes.data(), static_cast<int>(bytes.size()), final) ==
        XML_STATUS_ERROR) {
        diagstk_add(diag, 3, "error on line %d of %s, %s",
                    static_cast<int>(XML_GetCurrentLineNumber(parser)), input_name(input),
                    XML_ErrorString(XML_GetErrorCode(parser)));
        return -1;
    }
    if (ps->out_of_memory) {
        diagstk_add(diag, 3, "%s: out of memory building the parse tree", "qx_parse_xml");
        return -1;
    }
    return 0;
}

// Feeds the channel to the parser until the end marker or the end of input.
// Returns the byte total, or a negative result after pushing a message.
//
// expat before 2.6 rescans an unfinished token (a long comment or attribute
// value) from its start on every call: fed one 2048-byte read at a time, a
// 16 MiB token costs minutes. Reads are therefore held back until they at
// least match what the parser has already seen, and always passed on with the
// final read or at the end of input; the total work stays linear.
long long feed_parser(diagstk_t *diag, io_in_t *input, XML_Parser parser, parse_state *ps,
                      std::size_t limit)
{
    char buf[QX_READ_CHUNK];
    std::string held;
    long long total = 0, parsed = 0;
    for (;;) {
        const ssize_t n = io_read(input, buf, sizeof buf, diag);
        if (n < 0) return n;
        if (n == 0) break;
        total += n;
        if (limit != 0 && static_cast<std::size_t>(total) > limit) {
            diagstk_add(diag, 3, "Request too large - more than %zu bytes", limit);
            return -1;
        }
        const bool final = holds_end_marker(buf, static_cast<std::size_t>(n));
        held.append(buf, static_cast<std::size_t>(n));
        if (!final && static_cast<long long>(held.size()) < parsed) continue;
        if (parse_bytes(diag, input, parser, ps, held, final) < 0) return -1;
        parsed += static_cast<long long>(held.size());
        held.clear();
        if (final) break;
    }
    if (!held.empty() && parse_bytes(diag, input, parser, ps, held, false) < 0) return -1;
    return total;
}

}  // namespace

int qx_parse_xml(diagstk_t *diag, io_in_t *input, void **ptree, std::size_t limit)
{
    *ptree = nullptr;
    auto *root = static_cast<tree_t *>(std::calloc(1, sizeof(tree_t)));
    if (root == nullptr) {
        diagstk_add(diag, 3, "%s: out of memory building the parse tree", "qx_parse_xml");
        return -1;
    }
    parse_state ps{root, 0, false, false};
    parser_ptr parser(XML_ParserCreate("UTF-8"), &XML_ParserFree);
    if (!parser) {
        free_node(root);
        diagstk_add(diag, 3, "%s: failed to create the XML parser", "qx_parse_xml");
        return -1;
    }
    XML_SetUserData(parser.get(), &ps);
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_ALWAYS);
    XML_SetElementHandler(parser.get(), start_tag_handler, end_tag_handler);
    XML_SetCharacterDataHandler(parser.get(), data_handler);
    XML_SetCdataSectionHandler(parser.get(), cdata_handler, cdata_handler);
    XML_SetProcessingInstructionHandler(parser.get(), pi_handler);

    const long long total = feed_parser(diag, input, parser.get(), &ps, limit);
    parser.reset();
    if (total < 0) {
        free_node(root);
        return static_cast<int>(total);
    }
    // Input that holds no element at all (nothing, or only blanks, a
    // declaration or a comment) cannot be a request: reported as empty.
    if (total == 0 || root->name == nullptr) {
        diagstk_add(diag, 3, "Empty request");
        free_node(root);
        return -1;
    }
    if (qx_tracing(QX_LOG_PARSE)) {
        unsigned int depth = 0;
        log_parse_tree(root, &depth);
    }
    *ptree = root;
    return 0;
}

int qx_free_parse_tree(diagstk_t *diag, void *ptree)
{
    if (ptree == nullptr) {
        diagstk_add(diag, 2, "%s: request to free NULL parse tree", "qx_free_parse_tree");
        return -1;
    }
    free_node(static_cast<tree_t *>(ptree));
    return 0;
}

namespace {

int lookup(tree_t *first, unsigned int instance, const char *path, char **val, void **context)
{
    const char *slash = std::strchr(path, '/');
    char component[256];
    const std::size_t len = slash ? static_cast<std::size_t>(slash - path) : std::strlen(path);
    std::snprintf(component, sizeof component, "%.*s", static_cast<int>(len < 255 ? len : 255),
                  path);
    const char *rest = slash ? slash + 1 : "";

    for (tree_t *t = first; t != nullptr; t = t->next) {
        if (t->name == nullptr || strcasecmp(t->name, component) != 0) continue;
        if (*rest == '\0') {
            if (instance > 1) {
                instance--;
                continue;
            }
            if (context != nullptr) *context = t;
            if (t->data != nullptr) {
                *val = t->data;
                return TREE_ELEMENT_DATA;
            }
            return TREE_ELEMENT_NO_DATA;
        }
        if (t->child != nullptr) {
            const int r = lookup(t->child, instance, rest, val, context);
            if (r == TREE_ELEMENT_DATA || r == TREE_ELEMENT_NO_DATA) return r;
        }
    }
    return TREE_ELEMENT_NOT_FOUND;
}

const char *result_name(int r)
{
    switch (r) {
    case TREE_ELEMENT_DATA: return "TREE_ELEMENT_DATA";
    case TREE_ELEMENT_NO_DATA: return "TREE_ELEMENT_NO_DATA";
    case TREE_ELEMENT_NOT_FOUND: return "TREE_ELEMENT_NOT_FOUND";
    default: return "TREE_ELEMENT_ERROR";
    }
}

}  // namespace

int qx_tree_element(diagstk_t *diag, void *ptree, unsigned int instance, const char *path,
                    char **val, void **context)
{
    constexpr const char *op = "qx_tree_element";
    const bool trace = qx_tracing(QX_LOG_PARSE);
    if (trace)
        qx_log("%s(%p,%p,%u,%s,%p,%p)\n", op, static_cast<void *>(diag), ptree, instance, path,
               static_cast<void *>(val), static_cast<void *>(context));
    int r;
    if (ptree == nullptr) {
        diagstk_add(diag, 2, "%s: no parse tree to look up %s in", op, path);
        r = TREE_ELEMENT_ERROR;
    } else {
        r = lookup(static_cast<tree_t *>(ptree), instance, path, val, context);
    }
    if (trace) qx_log("-%s()=%s\n", op, result_name(r));
    return r;
}

int qx_element_attr(diagstk_t *diag, void *context, const char *name, char **val)
{
    auto *node = static_cast<tree_t *>(context);
    if (val == nullptr) {
        diagstk_add(diag, 3, "%s: NULL value destination for %s", "qx_element_attr",
                    node && node->name ? node->name : "(null)");
        return TREE_ELEMENT_ERROR;
    }
    if (node == nullptr) return TREE_ELEMENT_NOT_FOUND;
    for (attribute_t *a = node->attrs; a != nullptr; a = a->next) {
        if (a->name == nullptr || strcasecmp(a->name, name) != 0) continue;
        if (a->value == nullptr) return TREE_ELEMENT_NO_DATA;
        *val = a->value;
        return TREE_ELEMENT_DATA;
    }
    return TREE_ELEMENT_NOT_FOUND;
}

void log_parse_tree(tree_t *t, unsigned int *depth)
{
    // Iterative, and the indentation stops growing at 64 levels: a hostile
    // document nested 100,000 deep must neither overflow the stack nor
    // write gigabytes of blanks into the trace.
    constexpr unsigned MAX_INDENT = 64;
    const unsigned base = *depth;
    unsigned level = base;
    while (t != nullptr) {
        for (unsigned i = 0; i < level && i < MAX_INDENT; i++) qx_log("  ");
        qx_log("elem %p, name=%s, parent=%p, child=%p, attrs=%p next=%p\n", static_cast<void *>(t),
               t->name ? t->name : "", static_cast<void *>(t->parent), static_cast<void *>(t->child),
               static_cast<void *>(t->attrs), static_cast<void *>(t->next));
        qx_log("    %p=//%s//\n", static_cast<void *>(t->data), t->data ? t->data : "");
        for (attribute_t *a = t->attrs; a != nullptr; a = a->next)
            qx_log("\t\t%s=%s\n", a->name, a->value);
        if (t->child != nullptr) {
            t = t->child;
            level++;
            continue;
        }
        while (t != nullptr && t->next == nullptr && level > base) {
            t = t->parent;
            level--;
        }
        if (t != nullptr) t = t->next;
    }
}
