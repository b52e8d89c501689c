// parse.cpp - one XML document from a channel into an element tree (expat),
// and lookups by case-insensitive slash-separated paths.

#include "parse.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <strings.h>

#include <expat.h>

#include "connstr.h"
#include "log.h"

namespace {

// Builder state of the one parse in progress.
struct parse_state {
    tree_t *tcur;
    unsigned int tdepth;
    bool out_of_memory;
    XML_Parser parser;
    bool keep_line_breaks;  // the text of tcur keeps its line breaks
    bool done;              // the root element has closed
    XML_Index end;          // then: the offset just past its end tag
    // The last child of each open element, innermost last: a child is
    // appended in constant time, so an element with a million children
    // (a bulk request's parameters) costs linear, not quadratic, time.
    std::vector<tree_t *> last_child{};
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
            ps->last_child.push_back(nullptr);  // the end tag still pops one
            return;
        }
        child->parent = node;
        tree_t *&last = ps->last_child.back();
        (last != nullptr ? last->next : node->child) = child;
        last = child;
        node = child;
    }
    ps->last_child.push_back(nullptr);
    node->depth = ps->tdepth;
    node->name = dup_or_flag(ps, name);
    append_attrs(ps, node, atts);
    ps->tcur = node;
    ps->keep_line_breaks = keeps_line_breaks(node->name);
    ps->tdepth++;
}

// The document is complete when its root element closes, wherever the
// reads fall: the parser stops there, and the caller learns where the
// document ended so that what follows can be kept for the next one.
void XMLCALL end_tag_handler(void *ud, const XML_Char *)
{
    auto *ps = static_cast<parse_state *>(ud);
    ps->tdepth--;
    ps->last_child.pop_back();
    if (ps->tcur->parent != nullptr) ps->tcur = ps->tcur->parent;
    ps->keep_line_breaks = keeps_line_breaks(ps->tcur->name);
    if (ps->tdepth != 0) return;
    ps->done = true;
    ps->end = XML_GetCurrentByteIndex(ps->parser) + XML_GetCurrentByteCount(ps->parser);
    XML_StopParser(ps->parser, XML_TRUE);
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

// Hands `bytes` to expat; -1 after pushing a message. A parse stopped at
// the end of the root element is no error.
int parse_bytes(diagstk_t *diag, io_in_t *input, XML_Parser parser, parse_state *ps,
                std::string_view bytes, bool final)
{
    if (XML_Parse(parser, bytes.data(), static_cast<int>(bytes.size()), final) ==
            XML_STATUS_ERROR &&
        !ps->done) {
        // At the end of input the parser says "no element found" also for
        // input without any element: that is an empty request.
        if (final && ps->tcur->name == nullptr &&
            XML_GetErrorCode(parser) == XML_ERROR_NO_ELEMENTS) {
            diagstk_add(diag, 3, "Empty request");
            return -1;
        }
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

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view skip_blanks(std::string_view bytes)
{
    while (!bytes.empty() && is_blank(bytes.front())) bytes.remove_prefix(1);
    return bytes;
}

// Follows the parser's unfinished token byte by byte to tell when it may
// have ended: a comment only at "--" (its end, or an error), a processing
// instruction at "?>", a quoted literal at its quote, a start tag at a '>'
// outside its quoted values; anything else at any '>'. Bytes the parser
// refuses at once (a quote out of place, a '<' in a value) count as an end
// too. Every document ends with a '>', so a token that cannot have ended
// means a document that cannot have ended.
class token_end {
public:
    // Scans bytes that continue the token; true once it may have ended.
    bool scan(std::string_view bytes)
    {
        for (const char c : bytes)
            if (step(c)) return true;
        return kind_ == ENDED;
    }
    // For a token whose first bytes were not seen: any '>' may end it.
    void from_the_middle() { kind_ = OTHER; }

private:
    enum kind_t { UNKNOWN, COMMENT, PI, LITERAL, START_TAG, OTHER, ENDED };

    bool step(char c)
    {
        if (kind_ == UNKNOWN) {
            classify(c);
        } else {
            advance(c);
            before_ = c;
        }
        return kind_ == ENDED;
    }

    // Tells the kind from the token's first bytes ("<!--" takes four).
    void classify(char c)
    {
        opening_[opened_++] = c;
        const std::string_view o(opening_, opened_);
        if (c == '>')
            kind_ = ENDED;
        else if (o == "<" || o == "<!" || o == "<!-")
            return;
        else if (o == "<!--")
            kind_ = COMMENT;
        else if (o == "<?")
            kind_ = PI;
        else if (o[0] == '"' || o[0] == '\'')
            kind_ = LITERAL, quote_ = o[0];
        else if (o[0] == '<' && o.size() == 2 && c != '/' && c != '!')
            kind_ = START_TAG;
        else
            kind_ = OTHER;
    }

    void advance(char c)
    {
        switch (kind_) {
        case COMMENT:
            if (c == '-' && before_ == '-') kind_ = ENDED;
            break;
        case PI:
            if (c == '>' && before_ == '?') kind_ = ENDED;
            break;
        case LITERAL:
            if (c == quote_) kind_ = ENDED;
            break;
        case START_TAG: advance_tag(c); break;
        case OTHER:
            if (c == '>') kind_ = ENDED;
            break;
        default: break;
        }
    }

    // A quote opens a value only after '=' (blanks allowed between).
    void advance_tag(char c)
    {
        const bool was_after_equals = after_equals_;
        after_equals_ = quote_ == 0 && (c == '=' || (was_after_equals && is_blank(c)));
        if (quote_ != 0) {
            if (c == quote_) quote_ = 0;
            else if (c == '<') kind_ = ENDED;
        } else if (c == '"' || c == '\'') {
            if (was_after_equals) quote_ = c;
            else kind_ = ENDED;
        } else if (c == '>') {
            kind_ = ENDED;
        }
    }

    kind_t kind_ = UNKNOWN;
    char opening_[4] = {};  // the first bytes while the kind is not known
    std::size_t opened_ = 0;
    char quote_ = 0;  // a literal's quote, or that of a start tag's open value
    char before_ = 0;
    bool after_equals_ = false;
};

// What the reader knows of one document while it arrives. Offsets count
// the bytes of the document, from its first byte.
struct feed_state {
    std::string held;           // read, not yet handed to the parser
    long long total = 0;        // bytes read
    long long passed = 0;       // bytes handed to the parser
    long long unfinished = 0;   // of those, the bytes of a token it has not finished
    long long token_at = -1;    // where that token starts
    token_end token;            // where it may end
    bool held_may_end = false;  // `held` may complete that token
};

// expat before 2.6 rescans an unfinished token (a long comment or attribute
// value) from its start on every call: fed one 2048-byte read at a time, a
// 16 MiB token costs minutes. New bytes are therefore held back until they
// at least match the unfinished token, so that the total work stays linear.
// But a client waits for its answer: bytes that may complete the token are
// passed on before a read that would wait.
bool hold_back(const feed_state &f, io_in_t *input)
{
    if (static_cast<long long>(f.held.size()) >= f.unfinished) return false;
    return !f.held_may_end || io_input_ready(input);
}

// Hands the first `n` held bytes to the parser and notes the token it
// could not finish: a new one is followed from its first byte, which is
// among the bytes just passed.
int pass_held(diagstk_t *diag, io_in_t *input, XML_Parser parser, parse_state *ps,
              feed_state &f, std::size_t n)
{
    const std::string_view bytes = std::string_view(f.held).substr(0, n);
    if (parse_bytes(diag, input, parser, ps, bytes, false) < 0) return -1;
    const long long held_from = f.passed;
    f.passed += static_cast<long long>(n);
    const XML_Index at = XML_GetCurrentByteIndex(parser);
    f.unfinished = at < 0 ? 0 : f.passed - at;
    if (f.unfinished == 0 || at == f.token_at) return 0;
    f.token_at = at;
    f.token = token_end{};
    if (at >= held_from)
        f.token.scan(bytes.substr(static_cast<std::size_t>(at - held_from)));
    else
        f.token.from_the_middle();
    return 0;
}

// The root element has closed. On a channel that carries document after
// document, the held bytes after its end tag (blanks aside) are put back
// for the next document; on any other channel nobody reads them.
// `held_from` is the offset of the first held byte.
void keep_what_follows(io_in_t *input, const parse_state *ps, std::string_view held,
                       long long held_from)
{
    input->state &= ~IO_STATE_DOCUMENT;
    if (!input->many_documents) return;
    held.remove_prefix(static_cast<std::size_t>(ps->end - held_from));
    held = skip_blanks(held);
    if (!held.empty()) io_unread(input, held);
}

void take_read(io_in_t *input, feed_state &f, std::string_view bytes)
{
    if (f.total == 0) input->state |= IO_STATE_DOCUMENT;
    f.total += static_cast<long long>(bytes.size());
    f.held.append(bytes);
    if (f.unfinished > 0 && !f.held_may_end) f.held_may_end = f.token.scan(bytes);
}

// The end of input: what is held is parsed, then the parser is asked to
// confirm the document. One cut short is refused, so nothing of it runs.
long long finish_input(diagstk_t *diag, io_in_t *input, XML_Parser parser, parse_state *ps,
                       feed_state &f)
{
    if (f.total == 0) return 0;
    const long long held_from = f.passed;
    if (pass_held(diag, input, parser, ps, f, f.held.size()) < 0) return -1;
    if (!ps->done && parse_bytes(diag, input, parser, ps, {}, true) < 0) return -1;
    keep_what_follows(input, ps, f.held, held_from);
    return f.total;
}

// Feeds the channel to the parser until the root element closes or the
// input ends. Returns the bytes read for the document (0: none), or a
// negative result after pushing a message.
long long feed_parser(diagstk_t *diag, io_in_t *input, XML_Parser parser, parse_state *ps,
                      std::size_t limit)
{
    char buf[QX_READ_CHUNK];
    feed_state f;
    const long long max = limit == 0 ? -1 : static_cast<long long>(limit);
    for (;;) {
        const ssize_t n = io_read(input, buf, sizeof buf, diag);
        if (n < 0) return n;
        if (n == 0) return finish_input(diag, input, parser, ps, f);
        std::string_view bytes(buf, static_cast<std::size_t>(n));
        if (f.total == 0 && input->many_documents) bytes = skip_blanks(bytes);
        if (bytes.empty()) continue;
        take_read(input, f, bytes);
        const bool over = max >= 0 && f.total > max;
        if (!over && hold_back(f, input)) continue;
        // Past the limit only the bytes within it are parsed: a document
        // that ended there is whole, whatever follows it.
        const std::size_t upto = over ? f.held.size() - static_cast<std::size_t>(f.total - max)
                                      : f.held.size();
        const long long held_from = f.passed;
        if (pass_held(diag, input, parser, ps, f, upto) < 0) return -1;
        if (ps->done) {
            keep_what_follows(input, ps, f.held, held_from);
            return f.total;
        }
        if (over) {
            input->state |= IO_STATE_TOO_LARGE;
            diagstk_add(diag, 3, "Request too large - more than %zu bytes", limit);
            return -1;
        }
        f.held.clear();
        f.held_may_end = false;
    }
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
    parser_ptr parser(XML_ParserCreate("UTF-8"), &XML_ParserFree);
    if (!parser) {
        free_node(root);
        diagstk_add(diag, 3, "%s: failed to create the XML parser", "qx_parse_xml");
        return -1;
    }
    parse_state ps{root, 0, false, parser.get(), false, false, 0, {}};
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

namespace {

// An element's text as the trace shows it: connection strings (a request's
// or a data source's) and Environment entries without their secrets.
std::string traced_text(const tree_t *t)
{
    if (t->data == nullptr) return {};
    if (t->name != nullptr &&
        (strcasecmp(t->name, "ConnectionString") == 0 || strcasecmp(t->name, "DataSource") == 0))
        return qx_connstr_mask(t->data);
    if (t->name != nullptr && strcasecmp(t->name, "Environment") == 0)
        return qx_environment_mask(t->data);
    return t->data;
}

}  // namespace

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
        qx_log("    %p=//%s//\n", static_cast<void *>(t->data), traced_text(t).c_str());
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
