// request.cpp - the query record: initialise, read from a request
// document, release.

#include "request.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <strings.h>

#include <sqlext.h>

#include "conv.h"
#include "datasource.h"
#include "keep.h"
#include "keywords.h"
#include "parse.h"

void query_init(query_t *query)
{
    *query = query_t{};
    query->format = QX_FORMAT_LONG;
    query->data_output_type = QX_DATA_PCDATA;
    query->binary = QX_BINARY_SQL;
}

namespace {

void free_procedure(sql_procedure_t *proc)
{
    if (proc == nullptr) return;
    for (procedure_args_t *a = proc->parameters; a != nullptr;) {
        procedure_args_t *next = a->next;
        std::free(a->in_data);
        std::free(a->out_data);
        std::free(a);
        a = next;
    }
    std::free(proc->name);
    std::free(proc);
}

}  // namespace

void freeup_query(query_t *query)
{
    std::free(query->connect_string);
    std::free(query->sql);
    for (sql_transaction_t *t = query->transaction; t != nullptr;) {
        sql_transaction_t *next = t->next;
        std::free(t->sql);
        std::free(t);
        t = next;
    }
    free_procedure(query->procedure);
    std::free(query->style_sheet_name);
    std::free(query->style_sheet_type);
    query_init(query);
}

namespace {

constexpr const char *OP = "qx_get_request";
constexpr const char *PROC_OP = "get_procedure_args";
constexpr const char *PARAM_OP = "get_sql_parameters";

bool found(int r) { return r == TREE_ELEMENT_DATA || r == TREE_ELEMENT_NO_DATA; }

SQLWCHAR *to_wide(const char *utf8)
{
    return qx_utf8s2wides(reinterpret_cast<const unsigned char *>(utf8), SQL_NTS);
}

// Calls `use(text, index, element)` for every `path` element in document
// order; an element without text is refused with `missing`.
template <class Use>
int each_text(diagstk_t *diag, void *ptree, const char *path, const char *missing, Use use)
{
    for (unsigned i = 1;; i++) {
        char *text = nullptr;
        void *ectx = nullptr;
        const int r = qx_tree_element(diag, ptree, i, path, &text, &ectx);
        if (r == TREE_ELEMENT_ERROR) return -1;
        if (r == TREE_ELEMENT_NOT_FOUND) return 0;
        if (r == TREE_ELEMENT_NO_DATA) {
            diagstk_add(diag, 3, "%s", missing);
            return -1;
        }
        if (use(text, i, ectx) < 0) return -1;
    }
}

// Checks every Environment entry and collects it; nothing is set until the
// whole request has been read, so a refused request changes nothing.
int read_environment(diagstk_t *diag, void *ptree, std::vector<std::string> *entries)
{
    return each_text(diag, ptree, "Request/Environment", "Missing Environment data",
                     [&](const char *text, unsigned, void *) {
                         if (qx_environment_check(diag, text) < 0) return -1;
                         entries->emplace_back(text);
                         return 0;
                     });
}

// Each NAME=value entry is set with setenv, which keeps its own copy: the
// tree can then be freed, and a request repeated on one connection does
// not pile up strings. A text without "=" removes NAME, as putenv would.
void apply_environment(const std::vector<std::string> &entries)
{
    for (const std::string &text : entries) {
        const std::size_t eq = text.find('=');
        if (eq == std::string::npos)
            unsetenv(text.c_str());
        else if (eq > 0)
            setenv(text.substr(0, eq).c_str(), text.c_str() + eq + 1, 1);
    }
}

// The connection string: a DataSource's, with what a ConnectionString
// beside it adds, or the ConnectionString alone where that is accepted.
int read_connection(diagstk_t *diag, void *ptree, io_in_t *input, query_t *query)
{
    char *source = nullptr, *text = nullptr;
    int r = qx_tree_element(diag, ptree, 0, "Request/DataSource", &source, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    const bool named = found(r);
    if (r != TREE_ELEMENT_DATA) source = const_cast<char *>("");
    r = qx_tree_element(diag, ptree, 0, "Request/ConnectionString", &text, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r != TREE_ELEMENT_DATA) text = nullptr;
    if (!named && text == nullptr) {
        diagstk_add(diag, 3, "%s: Request not understood - missing ConnectionString", OP);
        return -1;
    }
    std::string conn;
    if (qx_request_connection(diag, input, named ? source : nullptr, text, &conn) < 0) return -1;
    query->keep_connection =
        qx_datasource_keeps(named ? source : nullptr) ? QX_KEEP_YES : QX_KEEP_NO;
    query->connect_string = to_wide(conn.c_str());
    if (query->connect_string == nullptr) {
        diagstk_add(diag, 3, "%s: Failed to allocate memory for connection string", OP);
        return -1;
    }
    return 0;
}

bool has_parameters(const sql_parameters_t &p) { return !p.values.empty() || p.sets > 0; }

int read_transaction(diagstk_t *diag, void *ptree, query_t *query)
{
    sql_transaction_t **tail = &query->transaction;
    std::vector<sql_parameters_t> parameters;
    const int r = each_text(
        diag, ptree, "Request/Transaction/Sql", "Missing SQL data in transaction",
        [&](const char *text, unsigned i, void *ectx) {
            auto *t = static_cast<sql_transaction_t *>(std::calloc(1, sizeof(sql_transaction_t)));
            if (t == nullptr) {
                diagstk_add(diag, 3, "%s: Failed to allocate a transaction_t", OP);
                return -1;
            }
            *tail = t;
            tail = &t->next;
            t->sequence = static_cast<int>(i);
            t->sql = to_wide(text);
            if (t->sql == nullptr) {
                diagstk_add(diag, 3, "%s: Failed to allocate memory for query string", OP);
                return -1;
            }
            return get_sql_parameters(diag, ectx, &parameters.emplace_back());
        });
    if (r < 0) return -1;
    // A transaction without any bound value keeps no entries at all.
    if (std::any_of(parameters.begin(), parameters.end(), has_parameters))
        query->parameters = std::move(parameters);
    return 0;
}

// Reads the Type attribute of the Parameter element `ectx` into *type,
// leaving it as it is when absent; an unknown word is refused in the name
// of `op`.
int read_type(diagstk_t *diag, void *ectx, const char *op, int *type)
{
    char *val = nullptr;
    const int r = qx_element_attr(diag, ectx, "Type", &val);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r == TREE_ELEMENT_NOT_FOUND) return 0;
    const char *word = r == TREE_ELEMENT_DATA ? val : "";
    *type = qx_sqltypestr2id(word);
    if (*type == QX_SQLTYPE_UNKNOWN) {
        diagstk_add(diag, 3, "%s: Invalid value \"%s\" for Parameter Type", op, word);
        return -1;
    }
    return 0;
}

// Reads the attributes of one Parameter element into `arg`.
int read_parameter(diagstk_t *diag, void *ectx, const char *text, procedure_args_t *arg)
{
    char *val = nullptr;
    int r = qx_element_attr(diag, ectx, "Index", &val);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r != TREE_ELEMENT_DATA) {
        diagstk_add(diag, 3, "%s: Missing Index for Parameter", PROC_OP);
        return -1;
    }
    arg->index = std::atoi(val);

    r = qx_element_attr(diag, ectx, "Direction", &val);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r != TREE_ELEMENT_DATA) {
        diagstk_add(diag, 3, "%s: Missing Direction for Parameter", PROC_OP);
        return -1;
    }
    arg->direction = qx_directionstr2id(val);
    if (arg->direction == QX_DIRECTION_UNKNOWN) {
        diagstk_add(diag, 3, "%s: Invalid Direction \"%s\" for Parameter", PROC_OP, val);
        return -1;
    }
    // An input parameter without text sends the empty text: binding needs a
    // value, and an empty element reads naturally as an empty string.
    if (arg->direction != QX_DIRECTION_OUT &&
        (arg->in_data = strdup(text ? text : "")) == nullptr) {
        diagstk_add(diag, 3, "%s: Failed to allocate memory for a Parameter value", PROC_OP);
        return -1;
    }

    arg->type = SQL_CHAR;
    if (read_type(diag, ectx, PROC_OP, &arg->type) < 0) return -1;

    arg->length = 1024;
    r = qx_element_attr(diag, ectx, "Length", &val);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r != TREE_ELEMENT_NOT_FOUND) {
        if (r != TREE_ELEMENT_DATA || *val == '\0') {
            diagstk_add(diag, 3, "%s: Empty Parameter Length", PROC_OP);
            return -1;
        }
        char *end = nullptr;
        arg->length = static_cast<int>(std::strtol(val, &end, 0));
        if (*end != '\0') {
            diagstk_add(diag, 3, "%s: Invalid Length \"%s\" for Parameter", PROC_OP, val);
            return -1;
        }
    }
    return 0;
}

bool is_named(const tree_t *node, const char *name)
{
    return node->name != nullptr && strcasecmp(node->name, name) == 0;
}

// Gives `p` the value `text` as its element would: decoded Base64 for a
// binary parameter, else wide characters. `number` names the marker in the
// refusal of a value that is not Base64.
int set_value(diagstk_t *diag, sql_parameter_t *p, std::string_view text, std::size_t number)
{
    if (p->binary) {
        if (qx_base64decode(text, &p->bytes)) return 0;
        diagstk_add(diag, 3, "Parameter %zu: invalid Base64 value", number);
        return -1;
    }
    // A unit per byte at most; the spare room of non-ASCII text is left
    // unused rather than copied again.
    p->text.resize(text.size());
    p->text.resize(qx_utf8_to_wides(text, p->text.data()));
    return 0;
}

// One Parameter element of a statement; `number` is the marker it binds,
// counted from 1 within its set.
int read_sql_parameter(diagstk_t *diag, tree_t *element, std::size_t number, sql_parameter_t *p)
{
    p->type = SQL_CHAR;
    if (read_type(diag, element, PARAM_OP, &p->type) < 0) return -1;
    char *val = nullptr;
    int r = qx_element_attr(diag, element, "isnull", &val);
    if (r == TREE_ELEMENT_ERROR) return -1;
    p->is_null = r == TREE_ELEMENT_DATA && std::strcmp(val, "yes") == 0;
    r = qx_element_attr(diag, element, "Name", &val);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r == TREE_ELEMENT_DATA) p->name = val;
    r = qx_element_attr(diag, element, "Encoding", &val);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r != TREE_ELEMENT_NOT_FOUND) {
        const char *word = r == TREE_ELEMENT_DATA ? val : "";
        if (std::strcmp(word, "base64") != 0) {
            diagstk_add(diag, 3, "%s: Invalid Encoding \"%s\" for Parameter", PARAM_OP, word);
            return -1;
        }
        p->binary = true;
    }
    if (p->is_null) return 0;
    std::string_view text;
    if (element->data != nullptr)
        text = std::string_view(element->data, static_cast<std::size_t>(element->data_len));
    return set_value(diag, p, text, number);
}

// The Parameter children of `parent` appended to `values`, in document
// order. Their count, or -1.
long read_parameter_list(diagstk_t *diag, tree_t *parent, std::vector<sql_parameter_t> *values)
{
    std::size_t n = 0;
    for (tree_t *c = parent->child; c != nullptr; c = c->next) {
        if (!is_named(c, "Parameter")) continue;
        if (read_sql_parameter(diag, c, ++n, &values->emplace_back()) < 0) return -1;
    }
    return static_cast<long>(n);
}

int read_statement_parameters(diagstk_t *diag, tree_t *sql, sql_parameters_t *params)
{
    bool direct = false;
    for (tree_t *c = sql->child; c != nullptr; c = c->next) {
        direct = direct || is_named(c, "Parameter");
        if (!is_named(c, "ParameterSet")) continue;
        const long n = read_parameter_list(diag, c, &params->values);
        if (n < 0) return -1;
        if (params->sets == 0) params->per_set = static_cast<std::size_t>(n);
        params->sets++;
        if (static_cast<std::size_t>(n) != params->per_set) {
            diagstk_add(diag, 3, "Parameter sets must all have %zu parameters", params->per_set);
            return -1;
        }
    }
    if (!direct) return 0;
    if (params->sets > 0) {
        diagstk_add(diag, 3, "%s: Parameter and ParameterSet elements cannot be mixed in one Sql",
                    PARAM_OP);
        return -1;
    }
    const long n = read_parameter_list(diag, sql, &params->values);
    if (n < 0) return -1;
    params->per_set = static_cast<std::size_t>(n);
    return 0;
}

}  // namespace

int get_sql_parameters(diagstk_t *diag, void *sql, sql_parameters_t *params)
{
    // The records grow with the request, whose size is capped; a process
    // under a memory limit may still run out.
    try {
        return read_statement_parameters(diag, static_cast<tree_t *>(sql), params);
    } catch (const std::bad_alloc &) {
        diagstk_add(diag, 3, "%s: Failed to allocate memory for the parameters", PARAM_OP);
        return -1;
    }
}

int qx_set_named_parameter(diagstk_t *diag, query_t *query, std::string_view name,
                           std::string_view value)
{
    int set = 0;
    for (sql_parameters_t &statement : query->parameters) {
        for (std::size_t i = 0; i < statement.values.size(); i++) {
            sql_parameter_t &p = statement.values[i];
            if (p.name.empty() || p.name != name) continue;
            p.is_null = false;
            const std::size_t number = statement.per_set > 0 ? i % statement.per_set + 1 : i + 1;
            if (set_value(diag, &p, value, number) < 0) return -1;
            set++;
        }
    }
    return set;
}

int get_procedure_args(diagstk_t *diag, query_t *query, void *ptree)
{
    std::free(query->sql);
    query->sql = nullptr;
    char *name = nullptr;
    int r = qx_tree_element(diag, ptree, 0, "Request/Procedure/ProcedureName", &name, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r != TREE_ELEMENT_DATA) {
        diagstk_add(diag, 3, "%s: Request not understood - missing ProcedureName", PROC_OP);
        return -1;
    }
    auto *proc = static_cast<sql_procedure_t *>(std::calloc(1, sizeof(sql_procedure_t)));
    if (proc == nullptr || (proc->name = strdup(name)) == nullptr) {
        std::free(proc);
        diagstk_add(diag, 3, "%s: Failed to allocate the procedure", PROC_OP);
        return -1;
    }
    query->procedure = proc;

    procedure_args_t **tail = &proc->parameters;
    for (unsigned i = 1;; i++) {
        char *text = nullptr;
        void *ectx = nullptr;
        r = qx_tree_element(diag, ptree, i, "Request/Procedure/Parameter", &text, &ectx);
        if (r == TREE_ELEMENT_ERROR) return -1;
        if (r == TREE_ELEMENT_NOT_FOUND) return 0;
        auto *arg = static_cast<procedure_args_t *>(std::calloc(1, sizeof(procedure_args_t)));
        if (arg == nullptr) {
            diagstk_add(diag, 3, "%s: Failed to allocate a Parameter", PROC_OP);
            return -1;
        }
        *tail = arg;
        tail = &arg->next;
        if (read_parameter(diag, ectx, r == TREE_ELEMENT_DATA ? text : nullptr, arg) < 0)
            return -1;
    }
}

namespace {

int read_principal(diagstk_t *diag, void *ptree, query_t *query)
{
    char *text = nullptr;
    int r = qx_tree_element(diag, ptree, 0, "Request/Transaction", &text, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (found(r)) return read_transaction(diag, ptree, query);

    void *ectx = nullptr;
    r = qx_tree_element(diag, ptree, 0, "Request/Sql", &text, &ectx);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r == TREE_ELEMENT_DATA) {
        query->sql = to_wide(text);
        if (query->sql == nullptr) {
            diagstk_add(diag, 3, "%s: Failed to allocate memory for query string", OP);
            return -1;
        }
        sql_parameters_t parameters;
        if (get_sql_parameters(diag, ectx, &parameters) < 0) return -1;
        if (has_parameters(parameters)) query->parameters.push_back(std::move(parameters));
        return 0;
    }
    r = qx_tree_element(diag, ptree, 0, "Request/Procedure", &text, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (found(r)) return get_procedure_args(diag, query, ptree);

    r = qx_tree_element(diag, ptree, 0, "Request/Tables", &text, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (found(r)) {
        query->meta = 1;
        return 0;
    }
    diagstk_add(diag, 3, "%s: Request not understood - missing Sql/Tables/Transaction/Procedure",
                OP);
    return -1;
}

// Sets *value to the value of the word that attribute `attr` of the
// element at `path` holds, looked up in `table`; leaves *value as it is
// when the element or the attribute is absent. 1 when the word is unknown,
// else 0; -1 on a tree error.
int attribute_choice(diagstk_t *diag, void *ptree, const char *path, const char *attr,
                     const element_attribute_t *table, int *value)
{
    char *text = nullptr;
    void *ectx = nullptr;
    int r = qx_tree_element(diag, ptree, 0, path, &text, &ectx);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (!found(r)) return 0;
    char *word = nullptr;
    r = qx_element_attr(diag, ectx, attr, &word);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (r == TREE_ELEMENT_NOT_FOUND) return 0;
    *value = qx_keyword_lookup(table, r == TREE_ELEMENT_DATA ? word : "");
    return *value == QX_KEYWORD_UNKNOWN ? 1 : 0;
}

int read_format(diagstk_t *diag, void *ptree, query_t *query)
{
    query->format = QX_FORMAT_LONG;
    query->data_output_type = QX_DATA_PCDATA;
    query->binary = QX_BINARY_SQL;
    char *text = nullptr;
    int r = qx_tree_element(diag, ptree, 0, "Request/Format", &text, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (!found(r)) return 0;

    int chosen = 0;
    for (const element_element_t *row = format_type; row->name != nullptr; row++) {
        char path[64];
        std::snprintf(path, sizeof path, "request/format/%s", row->name);
        r = qx_tree_element(diag, ptree, 0, path, &text, nullptr);
        if (r == TREE_ELEMENT_ERROR) return -1;
        if (r != TREE_ELEMENT_NO_DATA) continue;
        if (chosen != 0) {
            diagstk_add(diag, 3, "Multiple Format subelement - %s\n", row->name);
            return -1;
        }
        chosen = row->type;
    }
    if (chosen == 0) {
        diagstk_add(diag, 3, "%s: Request not understood - Format not known", OP);
        return -1;
    }
    query->format = chosen;

    r = attribute_choice(diag, ptree, "Request/Format/Data", "Type", data_type_attribute,
                         &query->data_output_type);
    if (r < 0) return -1;
    if (r > 0) {
        diagstk_add(diag, 3, "%s: Request not understood - Data Type attribute not known", OP);
        return -1;
    }
    r = attribute_choice(diag, ptree, "Request/Format/Binary", "Output", binary_attribute,
                         &query->binary);
    if (r < 0) return -1;
    if (r > 0) {
        diagstk_add(diag, 3, "%s: Request not understood - Binary attribute not known", OP);
        return -1;
    }
    return 0;
}

int read_style_sheet(diagstk_t *diag, void *ptree, query_t *query)
{
    char *text = nullptr;
    int r = qx_tree_element(diag, ptree, 0, "Request/StyleSheet", &text, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (!found(r)) return 0;
    struct {
        const char *path, *what;
        char **dest;
    } const parts[] = {{"Request/StyleSheet/Name", "name", &query->style_sheet_name},
                       {"Request/StyleSheet/Type", "type", &query->style_sheet_type}};
    for (const auto &p : parts) {
        r = qx_tree_element(diag, ptree, 0, p.path, &text, nullptr);
        if (r == TREE_ELEMENT_ERROR) return -1;
        if (r != TREE_ELEMENT_DATA) {
            diagstk_add(diag, 3, "%s: Request not understood - missing StyleSheet %s", OP, p.what);
            return -1;
        }
        if ((*p.dest = strdup(text)) == nullptr) {
            diagstk_add(diag, 3, "%s: Failed to allocate the StyleSheet %s", OP, p.what);
            return -1;
        }
    }
    return 0;
}

int read_request(diagstk_t *diag, void *ptree, io_in_t *input, query_t *query)
{
    std::vector<std::string> environment;
    if (read_environment(diag, ptree, &environment) < 0) return -1;
    if (read_connection(diag, ptree, input, query) < 0) return -1;
    if (read_principal(diag, ptree, query) < 0) return -1;
    if (read_format(diag, ptree, query) < 0) return -1;
    if (read_style_sheet(diag, ptree, query) < 0) return -1;
    char *text = nullptr;
    const int r =
        qx_tree_element(diag, ptree, 0, "Request/Format/TruncateTrailingBlanks", &text, nullptr);
    if (r == TREE_ELEMENT_ERROR) return -1;
    if (found(r)) query->flags |= QX_TRUNCATE_BLANKS;
    // Every check has passed: the entries stay set for later requests on
    // the same connection, and for the driver manager. A connection made
    // before they were set would not be the one a fresh connect makes now:
    // no connection kept so far serves this request or a later one.
    apply_environment(environment);
    if (!environment.empty()) query->keep_connection = QX_KEEP_RESET;
    return 0;
}

}  // namespace

int qx_get_request(diagstk_t *diag, io_in_t *input, query_t *query)
{
    void *ptree = nullptr;
    if (qx_parse_xml(diag, input, &ptree) < 0) return -2;
    const int r = read_request(diag, ptree, input, query);
    qx_free_parse_tree(diag, ptree);
    return r;
}
