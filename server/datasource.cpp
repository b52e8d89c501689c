// datasource.cpp - the data sources of the configuration and the rules a
// request meets before anything of it runs: which source it may reach,
// what it may add to the source's connection string, whether it may bring
// a connection string of its own, and which environment variables it may
// set.

#include "datasource.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <strings.h>
#include <utility>
#include <vector>

#include "acl.h"
#include "connstr.h"
#include "event.h"
#include "keep.h"
#include "log.h"
#include "tls.h"
#include "util.h"
#include "parse.h"
#include "xml.h"

char ini_connection_strings[QX_CONNECTION_STRINGS_SIZE];
char ini_environment_allow[INI_STRING_SIZE];
char ini_datasources[QX_DATASOURCE_STORE];

namespace {

constexpr std::string_view ANY = "Any", DATA_SOURCES_ONLY = "DataSourcesOnly";

// Copies `text` into a row's buffer. 0, or -1 when it does not fit.
int store(diagstk_t *diag, const char *op, ini_setting_t *ini, std::string_view text)
{
    if (text.size() + 1 > ini->dest_size) {
        diagstk_add(diag, 4, "%s: value \"%.*s\" for %s too long", op,
                    static_cast<int>(text.size()), text.data(), ini->name);
        return -1;
    }
    auto *buf = static_cast<char *>(ini->destination);
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return 0;
}

bool data_sources_only = false;

}  // namespace

// ------------------------------------------------------- ConnectionStrings

int attr_connection_strings_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    const std::string_view text = qx_trim(static_cast<const char *>(val));
    for (const std::string_view word : {ANY, DATA_SOURCES_ONLY})
        if (qx_iequal(text, word)) return store(diag, "attr_connection_strings", ini, word);
    diagstk_add(diag, 4, "%s: \"%s\" is invalid %s value", "attr_connection_strings",
                static_cast<const char *>(val), ini->name);
    return -1;
}

void connection_strings_changed(ini_setting_t *ini)
{
    data_sources_only = static_cast<const char *>(ini->destination) == DATA_SOURCES_ONLY;
}

bool qx_data_sources_only(void) { return data_sources_only; }

// -------------------------------------------------------- EnvironmentAllow

namespace {

// Variables that let whoever sets them choose code or files the process
// loads: the dynamic loader's, the character-set and message catalogues'
// paths, the driver manager's configuration files (an ODBCINI of the
// client's choosing names any driver library), the program and home
// paths, the temporary directory and the allocator's tuning.
struct env_guard {
    std::string_view fixed;
    bool prefix;  // the guard covers every name that starts with `fixed`
};
constexpr env_guard ENV_GUARDS[] = {
    {"LD_", true},   {"GCONV_PATH", false}, {"LOCPATH", false}, {"NLSPATH", false},
    {"ODBC", true},  {"PATH", false},       {"HOME", false},    {"TMPDIR", false},
    {"MALLOC_", true},
    // Beyond the dynamic linker and the driver manager: each of these makes
    // OpenSSL, Kerberos or libpq read a file, or load a module, of the
    // client's choosing (PGSSLKEY takes an engine name: code).
    {"GLIBC_TUNABLES", false}, {"OPENSSL_", true}, {"SSL_CERT_", true}, {"KRB5", true},
    {"PGSSL", true}, {"PGPASSFILE", false}, {"PGSERVICEFILE", false}, {"PGSYSCONFDIR", false},
    {"SQLITE_TMPDIR", false},
};

const env_guard *guard_of(std::string_view name)
{
    for (const env_guard &g : ENV_GUARDS)
        if (g.prefix ? name.starts_with(g.fixed) : name == g.fixed) return &g;
    return nullptr;
}

// An entry names one variable, or with a trailing "*" every name that
// starts with the text before it. Names compare with case, as the
// environment does.
bool entry_matches(std::string_view entry, std::string_view name)
{
    if (entry.ends_with('*')) return name.starts_with(entry.substr(0, entry.size() - 1));
    return entry == name;
}

bool valid_entry(std::string_view entry)
{
    if (entry.empty()) return false;
    const std::size_t star = entry.find('*');
    if (star != std::string_view::npos && star + 1 != entry.size()) return false;
    return entry.find_first_of("= \t") == std::string_view::npos;
}

}  // namespace

int attr_environment_allow_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    const std::string_view text = static_cast<const char *>(val);
    if (!qx_trim(text).empty()) {
        for (const std::string_view entry : qx_list_items(text)) {
            if (valid_entry(entry)) continue;
            diagstk_add(diag, 4, "%s: \"%.*s\" is invalid %s entry", "attr_environment_allow",
                        static_cast<int>(entry.size()), entry.data(), ini->name);
            return -1;
        }
    }
    return store(diag, "attr_environment_allow", ini, text);
}

bool qx_environment_admits(std::string_view allow, std::string_view name)
{
    const env_guard *guard = guard_of(name);
    if (qx_trim(allow).empty()) return guard == nullptr;
    // A guarded name needs an entry that is explicit about it: one whose
    // text before any "*" begins with the guard's own text. "LD_PRELOAD",
    // "LD_*" and "ODBCINI" are explicit; "*", "L*" and "O*" admit every
    // other name they match, never a guarded one.
    for (std::string_view entry : qx_list_items(allow)) {
        if (!entry_matches(entry, name)) continue;
        if (entry.ends_with('*')) entry.remove_suffix(1);
        if (guard == nullptr || entry.starts_with(guard->fixed)) return true;
    }
    return false;
}

int qx_environment_check(diagstk_t *diag, std::string_view entry)
{
    const std::string_view name = entry.substr(0, entry.find('='));
    if (name.empty() || qx_environment_admits(ini_environment_allow, name)) return 0;
    diagstk_add(diag, 3, "Environment variable %.*s is not allowed", static_cast<int>(name.size()),
                name.data());
    return -1;
}

// -------------------------------------------------------------- DataSource

namespace {

constexpr const char *DS_OP = "attr_datasource";

// One stored record: the connection string and the attributes as given.
struct ds_record {
    std::string_view text;
    std::vector<std::pair<std::string_view, std::string_view>> attrs;

    const std::string_view *attr(std::string_view name) const
    {
        for (const auto &a : attrs)
            if (a.first == name) return &a.second;
        return nullptr;
    }
    std::string_view name() const
    {
        const std::string_view *n = attr("Name");
        return n != nullptr ? *n : std::string_view();
    }
};

std::vector<ds_record> records(std::string_view store)
{
    std::vector<ds_record> out;
    while (!store.empty()) {
        std::string_view rec = store.substr(0, store.find(QX_DS_RECORD));
        store.remove_prefix(std::min(store.size(), rec.size() + 1));
        ds_record r;
        r.text = rec.substr(0, rec.find(QX_DS_FIELD));
        rec.remove_prefix(std::min(rec.size(), r.text.size() + 1));
        while (!rec.empty()) {
            const std::string_view field = rec.substr(0, rec.find(QX_DS_FIELD));
            rec.remove_prefix(std::min(rec.size(), field.size() + 1));
            const std::size_t eq = field.find('=');
            r.attrs.emplace_back(field.substr(0, eq), field.substr(eq + 1));
        }
        out.push_back(std::move(r));
    }
    return out;
}

int check_client(diagstk_t *diag, std::string_view source, std::string_view value)
{
    for (const std::string_view entry : qx_list_items(value)) {
        if (entry.empty()) {
            diagstk_add(diag, 4, "%s: empty entry in Client of DataSource \"%.*s\"", DS_OP,
                        static_cast<int>(source.size()), source.data());
            return -1;
        }
        std::string copy(entry);
        if (qx_check_netip_mask(diag, copy.data(), 1, nullptr) < 0) return -1;
    }
    return 0;
}

int check_users(diagstk_t *diag, std::string_view source, std::string_view value)
{
    for (const std::string_view entry : qx_list_items(value)) {
        if (!entry.empty()) continue;
        diagstk_add(diag, 4, "%s: empty entry in Users of DataSource \"%.*s\"", DS_OP,
                    static_cast<int>(source.size()), source.data());
        return -1;
    }
    return 0;
}

// The source fixes what is connected to: a client adds options, never
// another data source, driver or file data source.
bool fixed_by_source(std::string_view key)
{
    return qx_connstr_keyword_refused(key) || qx_iequal(key, "DSN") || qx_iequal(key, "DRIVER") ||
           qx_iequal(key, "FILEDSN");
}

int check_extra(diagstk_t *diag, std::string_view source, std::string_view value)
{
    for (const std::string_view key : qx_list_items(value)) {
        if (!key.empty() && !fixed_by_source(key)) continue;
        diagstk_add(diag, 4, "%s: keyword \"%.*s\" may not be in Extra of DataSource \"%.*s\"",
                    DS_OP, static_cast<int>(key.size()), key.data(),
                    static_cast<int>(source.size()), source.data());
        return -1;
    }
    return 0;
}

int check_keep(diagstk_t *diag, std::string_view source, std::string_view value)
{
    if (qx_iequal(qx_trim(value), "Yes") || qx_iequal(qx_trim(value), "No")) return 0;
    diagstk_add(diag, 4, "%s: \"%.*s\" is invalid Keep value of DataSource \"%.*s\"", DS_OP,
                static_cast<int>(value.size()), value.data(), static_cast<int>(source.size()),
                source.data());
    return -1;
}

// The attributes of a DataSource element, in the order they are stored
// and written back. A later attribute is one more row.
struct ds_attribute {
    std::string_view name;
    int (*check)(diagstk_t *diag, std::string_view source, std::string_view value);
};
constexpr ds_attribute DS_ATTRIBUTES[] = {
    {"Name", nullptr},
    {"Client", check_client},
    {"Extra", check_extra},
    {"Users", check_users},
    {"Keep", check_keep},
};

// The attributes of `node`, each checked, into *out in table order. An
// unknown attribute is refused (a misspelt Client must not open the source
// to everyone). 0, or -1 with the refusal on `diag`.
int element_attrs(diagstk_t *diag, const tree_t *node, std::string_view source,
                  std::vector<std::pair<std::string_view, std::string_view>> *out)
{
    for (const attribute_t *a = node != nullptr ? node->attrs : nullptr; a != nullptr;
         a = a->next) {
        const auto known = std::find_if(std::begin(DS_ATTRIBUTES), std::end(DS_ATTRIBUTES),
                                        [a](const ds_attribute &d) { return qx_iequal(d.name, a->name); });
        if (known == std::end(DS_ATTRIBUTES)) {
            diagstk_add(diag, 4, "%s: unknown attribute %s of DataSource \"%.*s\"", DS_OP,
                        a->name, static_cast<int>(source.size()), source.data());
            return -1;
        }
        if (known->check != nullptr && known->check(diag, source, a->value) < 0) return -1;
        out->emplace_back(known->name, a->value);
    }
    std::sort(out->begin(), out->end(), [](const auto &x, const auto &y) {
        auto rank = [](std::string_view n) {
            for (std::size_t i = 0; i < std::size(DS_ATTRIBUTES); i++)
                if (DS_ATTRIBUTES[i].name == n) return i;
            return std::size(DS_ATTRIBUTES);
        };
        return rank(x.first) < rank(y.first);
    });
    return 0;
}

// The Name attribute of `node`, or the empty text.
std::string_view name_of(const tree_t *node)
{
    for (const attribute_t *a = node != nullptr ? node->attrs : nullptr; a != nullptr; a = a->next)
        if (qx_iequal(a->name, "Name")) return a->value;
    return {};
}

}  // namespace

int attr_datasource_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val)
{
    const auto *node = static_cast<const tree_t *>(ectx);
    const std::string_view text = static_cast<const char *>(val), name = name_of(node);
    if (name.empty()) {
        diagstk_add(diag, 4, "%s: DataSource without a Name", DS_OP);
        return -1;
    }
    auto *buf = static_cast<char *>(ini->destination);
    for (const ds_record &r : records(buf)) {
        if (r.name() != name) continue;
        diagstk_add(diag, 4, "%s: DataSource \"%.*s\" given twice", DS_OP,
                    static_cast<int>(name.size()), name.data());
        return -1;
    }
    std::vector<std::pair<std::string_view, std::string_view>> attrs;
    if (element_attrs(diag, node, name, &attrs) < 0) return -1;
    // Whoever wrote it, the server never connects with a string that
    // breaks the rules; a source that needs such an option names a DSN of
    // the root-owned odbc.ini instead.
    if (qx_trim(text).empty()) {
        diagstk_add(diag, 4, "%s: DataSource \"%.*s\" has no connection string", DS_OP,
                    static_cast<int>(name.size()), name.data());
        return -1;
    }
    if (const std::string why = qx_connstr_violation(text); !why.empty()) {
        diagstk_add(diag, 4, "%s: DataSource \"%.*s\": %s", DS_OP, static_cast<int>(name.size()),
                    name.data(), why.c_str());
        return -1;
    }
    std::string record(text);
    for (const auto &[attr, value] : attrs)
        record.append(1, QX_DS_FIELD).append(attr).append(1, '=').append(value);
    const std::size_t used = std::strlen(buf);
    if (used + (used ? 1 : 0) + record.size() + 1 > ini->dest_size) {
        diagstk_add(diag, 4, "%s: no room for DataSource \"%.*s\" in %zu bytes", DS_OP,
                    static_cast<int>(name.size()), name.data(), ini->dest_size);
        return -1;
    }
    if (used) record.insert(record.begin(), QX_DS_RECORD);
    std::memcpy(buf + used, record.c_str(), record.size() + 1);
    return 0;
}

int attr_datasource_out(diagstk_t *diag, io_out_t *output, ini_setting_t *ini, char *value)
{
    if (value == nullptr) return -1;
    for (const ds_record &r : records(value)) {
        io_writef(output, diag, "    <%s", ini->name);
        for (const auto &[attr, v] : r.attrs) {
            io_writef(output, diag, " %.*s=\"", static_cast<int>(attr.size()), attr.data());
            qx_write_escaped(output, diag, v, '"');
            io_write(output, diag, "\"", 1);
        }
        io_write(output, diag, ">", 1);
        qx_write_escaped(output, diag, r.text);
        io_writef(output, diag, "</%s>\n", ini->name);
    }
    return 0;
}

namespace {

struct acl_deleter {
    void operator()(void *acl) const { qx_free_ip_acl(nullptr, &acl); }
};

// One data source as the requests use it.
struct datasource {
    std::string name, connect;
    bool limited = false;  // a Client list applies
    std::unique_ptr<void, acl_deleter> clients;
    std::vector<std::string> extra;
    // Users: the identities admitted; absent, every client is.
    std::optional<std::string> users;
    // Keep: whether its connections are kept; absent, KeepConnections says.
    std::optional<bool> keep;
};

std::vector<datasource> registry;

const datasource *find_datasource(std::string_view name)
{
    for (const datasource &d : registry)
        if (d.name == name) return &d;
    return nullptr;
}

}  // namespace

void datasources_changed(ini_setting_t *ini)
{
    registry.clear();
    std::vector<std::string> secrets;
    for (const ds_record &r : records(static_cast<const char *>(ini->destination))) {
        datasource d;
        d.name = r.name();
        d.connect = r.text;
        if (const std::string_view *client = r.attr("Client")) {
            // Each entry allows; a client no entry covers is denied. A list
            // that cannot be built (no memory) stays empty and denies all.
            d.limited = true;
            std::string acl;
            for (const std::string_view entry : qx_list_items(*client))
                acl.append(acl.empty() ? "+" : ",+").append(entry);
            void *list = nullptr;
            if (qx_create_ip_acl(nullptr, acl.data(), &list) == 0) d.clients.reset(list);
        }
        if (const std::string_view *extra = r.attr("Extra"))
            for (const std::string_view key : qx_list_items(*extra)) {
                d.extra.emplace_back(key);
                secrets.emplace_back(key);
            }
        if (const std::string_view *users = r.attr("Users")) d.users.emplace(*users);
        if (const std::string_view *keep = r.attr("Keep"))
            d.keep = qx_iequal(qx_trim(*keep), "Yes");
        registry.push_back(std::move(d));
    }
    // What a client may add to a source (a user name, a password) is never
    // traced in clear.
    qx_connstr_set_secrets(std::move(secrets));
}

namespace {

// pipe and file have no network peer: the local user who runs them can
// read the server's files anyway, so a Client list does not apply there.
// A socket whose peer address is unknown is denied by any list.
bool admits_client(const datasource &d, const io_in_t *input, const char **address)
{
    *address = "";
    if (!d.limited || input == nullptr || input->method != XML_INPUT_METHOD_LISTEN) return true;
    *address = input->src.listen.client_ip;
    if (**address == '\0') return false;
    return qx_acl_first_match(nullptr, *address, d.clients.get()) == 1;
}

// Like the Client list, a Users list does not apply to pipe and file. A
// connection without an identity (plain, no TlsClientCA, inetd) is denied
// by any list.
bool admits_user(const datasource &d, const io_in_t *input)
{
    if (!d.users || input == nullptr || input->method != XML_INPUT_METHOD_LISTEN) return true;
    return qx_identity_listed(*d.users, input->identity);
}

bool in_extra(const datasource &d, std::string_view key)
{
    return std::any_of(d.extra.begin(), d.extra.end(),
                       [key](const std::string &k) { return qx_iequal(k, key); });
}

// The source's string with the request's pairs added. A keyword the source
// already has is dropped from the source's text, so the client's value is
// the only one whatever a driver does with a keyword given twice (the
// driver manager takes the first, others the last).
int add_extra(diagstk_t *diag, const datasource &d, std::string_view extra, std::string *out)
{
    const auto mine = qx_connstr_pairs(extra, connstr_reading::braced);
    for (const connstr_reading how : {connstr_reading::braced, connstr_reading::plain})
        for (const connstr_pair &p : qx_connstr_pairs(extra, how)) {
            // A piece without "=" sets nothing for a reader without braces.
            if (in_extra(d, p.key) || (how == connstr_reading::plain && !p.has_value)) continue;
            diagstk_add(diag, 3, "Connection string refused - keyword %.*s is not allowed",
                        static_cast<int>(p.key.size()), p.key.data());
            return -1;
        }
    const auto piece = [](std::string_view text, const connstr_pair &p) {
        return text.substr(p.begin, p.value_end - p.begin);
    };
    out->clear();
    for (const connstr_pair &p : qx_connstr_pairs(d.connect, connstr_reading::braced)) {
        if (std::any_of(mine.begin(), mine.end(),
                        [&p](const connstr_pair &m) { return qx_iequal(m.key, p.key); }))
            continue;
        out->append(out->empty() ? "" : ";").append(piece(d.connect, p));
    }
    for (const connstr_pair &p : mine) out->append(out->empty() ? "" : ";").append(piece(extra, p));
    return 0;
}

}  // namespace

bool qx_datasource_keeps(const char *datasource_name)
{
    const datasource *d = datasource_name != nullptr ? find_datasource(datasource_name) : nullptr;
    return d != nullptr && d->keep ? *d->keep : qx_keep_connections();
}

int qx_request_connection(diagstk_t *diag, io_in_t *input, const char *datasource_name,
                          const char *connstr, std::string *out)
{
    if (datasource_name == nullptr) {
        if (data_sources_only) {
            diagstk_add(diag, 3, "Connection strings are not accepted - name a DataSource");
            return -1;
        }
        if (qx_connstr_check(diag, connstr) < 0) return -1;
        *out = connstr;
        return 0;
    }
    const datasource *d = find_datasource(datasource_name);
    if (d == nullptr) {
        diagstk_add(diag, 3, "Unknown data source \"%s\"", datasource_name);
        return -1;
    }
    const char *address = nullptr;
    if (!admits_client(*d, input, &address)) {
        input->state |= IO_STATE_DENIED;
        diagstk_add(diag, 3, "Client (%s) denied access to data source \"%s\"",
                    *address ? address : "unknown", datasource_name);
        return -1;
    }
    if (!admits_user(*d, input)) {
        input->state |= IO_STATE_DENIED;
        // Named by the certificate's common name, the name an administrator
        // put on it; "none" when the connection presented no certificate.
        const std::string user = qx_identity_text(input);
        diagstk_add(diag, 3, "User %s denied access to data source \"%s\"", user.c_str(),
                    datasource_name);
        qx_report_event(eventlog, EVENT_TYPE_ERROR, EVENT_DSN_DENIED,
                        qx_client_text(input).c_str(), datasource_name);
        return -1;
    }
    if (connstr == nullptr) {
        *out = d->connect;
    } else if (add_extra(diag, *d, connstr, out) < 0) {
        return -1;
    }
    return qx_connstr_check(diag, *out);
}
