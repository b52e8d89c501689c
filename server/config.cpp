// config.cpp - the settings table: applying a Configuration document,
// writing it back, and looking settings up by name.

#include "config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "acl.h"
#include "connstr.h"
#include "datasource.h"
#include "http.h"
#include "keep.h"
#include "log.h"
#include "parse.h"
#include "reports.h"
#include "sqlite_confine.h"
#include "tls.h"
#include "xml.h"

std::uint32_t ini_port, ini_control_port, ini_max_concurrent, ini_max_client, ini_flags;
std::uint32_t ini_request_timeout, ini_idle_timeout, ini_query_timeout, ini_max_child_memory;
std::uint32_t ini_listen_backlog;
char ini_logdir[INI_STRING_SIZE], ini_acl[INI_STRING_SIZE], ini_ctrl_acl[INI_STRING_SIZE];
char ini_listen_address[IO_ADDRESS_SIZE], ini_control_listen_address[IO_ADDRESS_SIZE];
char ini_control_socket[INI_STRING_SIZE];
int quillet_configuration_change = 0;

namespace {

constexpr bitmask_t flagsbm[] = {
    {FLAG_MULTIPROCESS, "MultiProcess", "MultiThreaded"},
    {FLAG_CONTROL_INTERFACE, "EnableControlInterface", "DisableControlInterface"},
    {FLAG_WAIT_CHILDREN, "WaitForChildrenTerminationOnClosedown", "IgnoreChildrenOnClosedown"},
    {FLAG_KILL_CHILDREN, "KillChildrenOnClosedown", "LeaveChildrenOnClosedown"},
    {FLAG_REVERSE_LOOKUP, "ReverseLookup", "NoReverseLookup"},
    {-1, nullptr, nullptr},
};

constexpr std::uint32_t FLAGS_DEFAULT =
    (1u << FLAG_MULTIPROCESS) | (1u << FLAG_CONTROL_INTERFACE) | (1u << FLAG_WAIT_CHILDREN);

constexpr std::size_t PATH_SIZE = 1024;

// One process per connection is the only model this server has.
void force_multiprocess(ini_setting_t *ini)
{
    *static_cast<std::uint32_t *>(ini->destination) |= 1u << FLAG_MULTIPROCESS;
}

// The trace log opens its file lazily, so it must always know the
// directory the setting holds at that moment.
void pass_log_dir(ini_setting_t *ini)
{
    qx_log_set_dir(static_cast<const char *>(ini->destination));
}

// An empty LogDir reads as the directory the trace log falls back to.
const char *effective_log_dir(const ini_setting_t *ini)
{
    return qx_log_effective_dir(static_cast<const char *>(ini->destination));
}

// Stores a listener address after checking that a listener could bind it,
// so that a mistyped address refuses the document instead of the next
// start. A control listener may also be "none".
int store_address(diagstk_t *diag, ini_setting_t *ini, const char *text, bool none_allowed)
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    const bool none = none_allowed && std::strcmp(text, "none") == 0;
    if (!none && (text[0] == '\0' || !io_listen_address(text, 0, &addr, &len))) {
        diagstk_add(diag, 4, "%s: invalid address \"%s\" for %s - %s expected", "xml2config",
                    text, ini->name,
                    none_allowed ? "an IPv4 or IPv6 address, * or none" : "an IPv4 or IPv6 address or *");
        return -1;
    }
    std::snprintf(static_cast<char *>(ini->destination), ini->dest_size, "%s", text);
    return 0;
}

int attr_listen_address_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    return store_address(diag, ini, static_cast<const char *>(val), false);
}

int attr_control_address_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    return store_address(diag, ini, static_cast<const char *>(val), true);
}

}  // namespace

// The order of the rows is the order of reading and of writing back.
ini_setting_t quillet_settings[] = {
    {.type = INI_TYPE_NUMERIC, .name = "Port", .flags = INI_FLAG_DEFAULT, .num_default = 8895,
     .min = 1, .max = 65535, .destination = &ini_port, .dest_size = sizeof ini_port},
    {.type = INI_TYPE_NUMERIC, .name = "ControlPort", .flags = INI_FLAG_DEFAULT,
     .num_default = 8896, .min = 1, .max = 65535, .destination = &ini_control_port,
     .dest_size = sizeof ini_control_port},
    {.type = INI_TYPE_NUMERIC, .name = "MaxConcurrentConnect", .flags = INI_FLAG_DEFAULT,
     .num_default = 0, .destination = &ini_max_concurrent, .dest_size = sizeof ini_max_concurrent},
    {.type = INI_TYPE_NUMERIC, .name = "MaxClientConnect", .flags = INI_FLAG_DEFAULT,
     .num_default = 0, .destination = &ini_max_client, .dest_size = sizeof ini_max_client},
    {.type = INI_TYPE_NUMERIC, .name = "Logging", .flags = INI_FLAG_DEFAULT | INI_FLAG_HEX,
     .num_default = 0, .destination = &quilletlog, .dest_size = sizeof quilletlog},
    {.type = INI_TYPE_STRING, .name = "LogDir", .flags = INI_FLAG_DEFAULT,
     .string_default = "/tmp", .destination = ini_logdir, .dest_size = sizeof ini_logdir,
     .changed_func = pass_log_dir, .lookup_func = effective_log_dir},
    {.type = INI_TYPE_BITMASK, .name = "Flags", .flags = INI_FLAG_DEFAULT, .bitmasks = flagsbm,
     .num_default = FLAGS_DEFAULT, .destination = &ini_flags, .dest_size = sizeof ini_flags,
     .changed_func = force_multiprocess},
    {.type = INI_TYPE_STRING, .name = "Client", .flags = INI_FLAG_MULTIPLE,
     .destination = ini_acl, .dest_size = sizeof ini_acl, .attr_in_func = attr_acl_in,
     .attr_out_func = attr_acl_out},
    {.type = INI_TYPE_STRING, .name = "ControlClient", .flags = INI_FLAG_MULTIPLE,
     .destination = ini_ctrl_acl, .dest_size = sizeof ini_ctrl_acl, .attr_in_func = attr_acl_in,
     .attr_out_func = attr_acl_out},
    // Settings that came later: written back only when changed, after the
    // access lists, so an unchanged document looks as it always did.
    {.type = INI_TYPE_NUMERIC, .name = "RequestTimeout",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .num_default = 30,
     .destination = &ini_request_timeout, .dest_size = sizeof ini_request_timeout},
    {.type = INI_TYPE_NUMERIC, .name = "IdleTimeout",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .num_default = 300,
     .destination = &ini_idle_timeout, .dest_size = sizeof ini_idle_timeout},
    {.type = INI_TYPE_NUMERIC, .name = "QueryTimeout",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .num_default = 0,
     .destination = &ini_query_timeout, .dest_size = sizeof ini_query_timeout},
    {.type = INI_TYPE_NUMERIC, .name = "MaxChildMemory",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .num_default = 0,
     .destination = &ini_max_child_memory, .dest_size = sizeof ini_max_child_memory},
    // Where the standalone server listens; read at start, like the ports.
    {.type = INI_TYPE_STRING, .name = "ListenAddress",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "*",
     .destination = ini_listen_address, .dest_size = sizeof ini_listen_address,
     .attr_in_func = attr_listen_address_in},
    // Read when the request listener opens, like the ports.
    {.type = INI_TYPE_NUMERIC, .name = "ListenBacklog",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .num_default = 128, .min = 1,
     .max = 65535, .destination = &ini_listen_backlog, .dest_size = sizeof ini_listen_backlog},
    {.type = INI_TYPE_STRING, .name = "ControlListenAddress",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "*",
     .destination = ini_control_listen_address, .dest_size = sizeof ini_control_listen_address,
     .attr_in_func = attr_control_address_in},
    {.type = INI_TYPE_STRING, .name = "ControlSocket",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "",
     .destination = ini_control_socket, .dest_size = sizeof ini_control_socket},
    {.type = INI_TYPE_STRING, .name = "ConnectionStrings",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "Any",
     .destination = ini_connection_strings, .dest_size = sizeof ini_connection_strings,
     .attr_in_func = attr_connection_strings_in, .changed_func = connection_strings_changed},
    {.type = INI_TYPE_STRING, .name = "EnvironmentAllow",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "",
     .destination = ini_environment_allow, .dest_size = sizeof ini_environment_allow,
     .attr_in_func = attr_environment_allow_in},
    {.type = INI_TYPE_STRING, .name = "DataSource",
     .flags = INI_FLAG_MULTIPLE | INI_FLAG_WRITE_CHANGED | INI_FLAG_SECRET,
     .destination = ini_datasources, .dest_size = sizeof ini_datasources,
     .attr_in_func = attr_datasource_in, .attr_out_func = attr_datasource_out,
     .changed_func = datasources_changed, .separators = "\x1e"},
    // Read by each connection child when its SQLite driver opens a database.
    {.type = INI_TYPE_STRING, .name = "SQLiteFileAccess",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "Yes",
     .destination = ini_sqlite_file_access, .dest_size = sizeof ini_sqlite_file_access,
     .attr_in_func = attr_sqlite_file_access_in, .changed_func = sqlite_file_access_changed},
    // TLS on the ports of the standalone server and tcpip_listen. A document
    // whose files cannot make a context is refused whole (qx_use_config).
    {.type = INI_TYPE_STRING, .name = "Tls",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "Off",
     .destination = ini_tls, .dest_size = sizeof ini_tls, .attr_in_func = attr_tls_in},
    {.type = INI_TYPE_STRING, .name = "TlsCertificate",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "",
     .destination = ini_tls_certificate, .dest_size = sizeof ini_tls_certificate},
    {.type = INI_TYPE_STRING, .name = "TlsKey",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "",
     .destination = ini_tls_key, .dest_size = sizeof ini_tls_key},
    {.type = INI_TYPE_STRING, .name = "TlsClientCA",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "",
     .destination = ini_tls_client_ca, .dest_size = sizeof ini_tls_client_ca},
    // Read by each request: whether its database connection may serve the
    // next request of the same client.
    {.type = INI_TYPE_STRING, .name = "KeepConnections",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "No",
     .destination = ini_keep_connections, .dest_size = sizeof ini_keep_connections,
     .attr_in_func = attr_keep_connections_in, .changed_func = keep_connections_changed},
    // Read at each control connection over TCP: a change applies to the next.
    {.type = INI_TYPE_STRING, .name = "ControlUsers",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "",
     .destination = ini_control_users, .dest_size = sizeof ini_control_users,
     .attr_in_func = attr_control_users_in},
    // Read by each connection child as it tells HTTP from the raw protocol.
    {.type = INI_TYPE_STRING, .name = "Http",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "Yes",
     .destination = ini_http, .dest_size = sizeof ini_http, .attr_in_func = attr_http_in,
     .changed_func = http_changed},
    // Read by each connection child that serves GET /r/ or GET /xsl/.
    {.type = INI_TYPE_STRING, .name = "RequestDir",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "",
     .destination = ini_request_dir, .dest_size = sizeof ini_request_dir},
    {.type = INI_TYPE_STRING, .name = "StyleSheetDir",
     .flags = INI_FLAG_DEFAULT | INI_FLAG_WRITE_CHANGED, .string_default = "",
     .destination = ini_stylesheet_dir, .dest_size = sizeof ini_stylesheet_dir},
    {},  // a null name ends the table
};

namespace {

// Empties a string row before a document is applied to it, so that the
// document replaces the old text and a multiple setting accumulates from
// nothing.
void reset_row(ini_setting_t *ini)
{
    if (ini->type != INI_TYPE_STRING) return;
    static_cast<char *>(ini->destination)[0] = '\0';
    if (ini->changed_func != nullptr) ini->changed_func(ini);
}

}  // namespace

void qx_init_config(void)
{
    for (ini_setting_t *ini = quillet_settings; ini->name != nullptr; ini++) reset_row(ini);
}

int qx_parse_config(diagstk_t *diag, io_in_t *input)
{
    const bool trace = qx_tracing(QX_LOG_CONFIG);
    if (trace)
        qx_log("%s(%p,%p)\n", "qx_parse_config", static_cast<void *>(diag),
               static_cast<void *>(input));
    void *ptree = nullptr;
    int r = qx_parse_xml(diag, input, &ptree, 0);
    if (r == 0) {
        r = qx_use_config(diag, ptree);
        qx_free_parse_tree(diag, ptree);
    }
    if (trace) qx_log("-%s()=%d\n", "qx_parse_config", r);
    return r;
}

namespace {

// The stored values of every row, taken before a document is applied, so
// that a document refused at any value leaves every setting as it was
// (a half-applied document could empty an access list and keep the rest).
class settings_snapshot {
public:
    settings_snapshot()
    {
        for (const ini_setting_t *ini = quillet_settings; ini->name != nullptr; ini++) {
            const auto *p = static_cast<const unsigned char *>(ini->destination);
            if (p != nullptr) bytes_.insert(bytes_.end(), p, p + ini->dest_size);
        }
    }
    void restore() const
    {
        std::size_t at = 0;
        for (ini_setting_t *ini = quillet_settings; ini->name != nullptr; ini++) {
            if (ini->destination == nullptr) continue;
            std::memcpy(ini->destination, bytes_.data() + at, ini->dest_size);
            at += ini->dest_size;
            if (ini->changed_func != nullptr) ini->changed_func(ini);
        }
    }

private:
    std::vector<unsigned char> bytes_;
};

}  // namespace

int qx_use_config(diagstk_t *diag, void *ptree)
{
    const bool trace = qx_tracing(QX_LOG_CONFIG);
    if (trace)
        qx_log("%s(%p,%p)\n", "qx_use_config", static_cast<void *>(diag), ptree);
    const settings_snapshot before;
    int r = 0;
    for (ini_setting_t *ini = quillet_settings; ini->name != nullptr; ini++) {
        if (ini->destination == nullptr) {
            diagstk_add(diag, 4, "%s: %s configuration setting not found", "qx_use_config",
                        ini->name);
            r = -1;
            break;
        }
        reset_row(ini);
        r = xml2config(diag, ptree, ini);
        if (r < 0) break;
    }
    // Checked last, when every value is known: a server that speaks TLS
    // takes only settings it can build its context from.
    if (r >= 0 && qx_tls_settings_applied(diag) < 0) r = -1;
    if (r >= 0) {
        r = 0;
        quillet_configuration_change = 1;
    } else {
        before.restore();
    }
    if (trace) qx_log("-%s()=%d\n", "qx_use_config", r);
    return r;
}

namespace {

constexpr const char *X2C_OP = "xml2config";

int apply_string(diagstk_t *diag, ini_setting_t *ini, bool specified, const char *text,
                 void *ectx)
{
    auto *buf = static_cast<char *>(ini->destination);
    // An element without text counts as an empty text.
    const char *source = specified ? (text ? text : "") : ini->string_default;
    if (source == nullptr) source = "";
    if (std::strlen(buf) + 1 + std::strlen(source) > ini->dest_size) {
        const std::string shown =
            (ini->flags & INI_FLAG_SECRET) ? qx_connstr_mask(source) : std::string(source);
        diagstk_add(diag, 3, "%s: value \"%s\" for %s too long", X2C_OP, shown.c_str(),
                    ini->name);
        return -1;
    }
    if (ini->attr_in_func != nullptr)
        return ini->attr_in_func(diag, ectx, ini, const_cast<char *>(source)) < 0 ? -1 : 0;
    if (buf[0] != '\0') std::strcat(buf, ",");
    std::strcat(buf, source);
    return 0;
}

int apply_numeric(diagstk_t *diag, ini_setting_t *ini, bool specified, const char *text)
{
    auto *dest = static_cast<std::uint32_t *>(ini->destination);
    if (!specified) {
        *dest = ini->num_default;
        return 0;
    }
    // An element without text is refused like any other non-number.
    if (text == nullptr) text = "";
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 0);
    if (*end != '\0' || end == text) {
        diagstk_add(diag, 4, "%s: invalid value %s for %s", X2C_OP, text, ini->name);
        return -1;
    }
    if (v >= 0xFFFFFFFFUL || errno == ERANGE) {
        diagstk_add(diag, 4, "%s: value \"%s\" for %s too big", X2C_OP, text, ini->name);
        return -1;
    }
    // A port TCP cannot carry is refused, not masked to another port.
    if (ini->max != 0 && (v < ini->min || v > ini->max)) {
        diagstk_add(diag, 4, "%s: value \"%s\" for %s out of range (%u to %u)", X2C_OP, text,
                    ini->name, static_cast<unsigned>(ini->min), static_cast<unsigned>(ini->max));
        return -1;
    }
    *dest = static_cast<std::uint32_t>(v);
    return 0;
}

int apply_bitmask(diagstk_t *diag, void *ptree, ini_setting_t *ini, bool specified,
                  unsigned instance, const char *path)
{
    auto *dest = static_cast<std::uint32_t *>(ini->destination);
    if (!specified) {
        *dest = ini->num_default;
        return 0;
    }
    std::uint32_t value = *dest;
    for (const bitmask_t *bm = ini->bitmasks; bm != nullptr && bm->bitno != -1; bm++) {
        char sub[PATH_SIZE];
        char *val = nullptr;
        if (std::snprintf(sub, sizeof sub, "%s/%s", path, bm->name_on) >= int(sizeof sub)) continue;
        const int on = qx_tree_element(diag, ptree, instance, sub, &val, nullptr);
        if (on == TREE_ELEMENT_ERROR) return -1;
        const bool on_found = on != TREE_ELEMENT_NOT_FOUND;
        if (on_found) value |= 1u << bm->bitno;
        if (std::snprintf(sub, sizeof sub, "%s/%s", path, bm->name_off) >= int(sizeof sub)) continue;
        const int off = qx_tree_element(diag, ptree, instance, sub, &val, nullptr);
        if (off == TREE_ELEMENT_ERROR) return -1;
        if (off != TREE_ELEMENT_NOT_FOUND) {
            if (on_found) {
                diagstk_add(diag, 4, "%s: bitmask \"%s\" has on (%s) and off (%s) values", X2C_OP,
                            ini->name, bm->name_on, bm->name_off);
                return -1;
            }
            value &= ~(1u << bm->bitno);
        }
    }
    *dest = value;
    return 0;
}

int apply_value(diagstk_t *diag, void *ptree, ini_setting_t *ini, bool specified,
                const char *text, void *ectx, unsigned instance, const char *path)
{
    switch (ini->type) {
    case INI_TYPE_STRING: return apply_string(diag, ini, specified, text, ectx);
    case INI_TYPE_NUMERIC: return apply_numeric(diag, ini, specified, text);
    case INI_TYPE_BITMASK: return apply_bitmask(diag, ptree, ini, specified, instance, path);
    default:
        diagstk_add(diag, 4, "%s: Invalid type %u for configuration option %s", X2C_OP,
                    static_cast<unsigned>(ini->type), ini->name);
        return -1;
    }
}

// Reads the row's element (every instance of it for a multiple row) into
// the storage; an absent element stores the default. -1 on failure, 0 when
// the row is read, 1 when a row without a default found no (more) element
// and keeps what it holds.
int read_row(diagstk_t *diag, void *ptree, ini_setting_t *ini, bool trace)
{
    char path[PATH_SIZE];
    std::snprintf(path, sizeof path, "%s/%s", "Configuration", ini->name);
    for (unsigned instance = 1;; instance++) {
        char *text = nullptr;
        void *ectx = nullptr;
        const int found = qx_tree_element(diag, ptree, instance, path, &text, &ectx);
        if (found == TREE_ELEMENT_ERROR) return -1;
        const bool specified = found != TREE_ELEMENT_NOT_FOUND;
        if (specified && trace) {
            if (found == TREE_ELEMENT_DATA && (ini->flags & INI_FLAG_SECRET))
                qx_log("\telement: %s -> %s\n", path, qx_connstr_mask(text).c_str());
            else if (found == TREE_ELEMENT_DATA)
                qx_log("\telement: %s -> %s\n", path, text);
            else
                qx_log("\telement: %s\n", path);
        }
        if (found != TREE_ELEMENT_DATA) text = nullptr;
        if ((ini->flags & INI_FLAG_REQUIRED) && !specified) {
            diagstk_add(diag, 4, "%s: Configuration missing required parameter \"%s\"", X2C_OP,
                        ini->name);
            return -1;
        }
        if (!specified && !(ini->flags & INI_FLAG_DEFAULT)) return 1;
        if (apply_value(diag, ptree, ini, specified, text, ectx, instance, path) < 0) return -1;
        // A multiple row with a default also stores it after its last element.
        if (!specified || !(ini->flags & INI_FLAG_MULTIPLE)) return 0;
    }
}

}  // namespace

int xml2config(diagstk_t *diag, void *ptree, ini_setting_t *ini)
{
    const bool trace = qx_tracing(QX_LOG_CONFIG);
    if (trace)
        qx_log("%s(%p,%p,%p)\n", X2C_OP, static_cast<void *>(diag), ptree,
               static_cast<void *>(ini));
    int r = read_row(diag, ptree, ini, trace);
    // A row that ran out of elements is moderated too, but no exit line is
    // traced for it.
    if (r > 0) return moderate_ini_setting(diag, ini);
    if (r == 0) r = moderate_ini_setting(diag, ini);
    if (trace) qx_log("-%s()=%d\n", X2C_OP, r);
    return r;
}

int moderate_ini_setting(diagstk_t *diag, ini_setting_t *ini)
{
    if (ini == nullptr) {
        diagstk_add(diag, 3, "%s: internal error - NULL ini", "moderate_ini_setting");
        return -1;
    }
    if (ini->changed_func != nullptr) ini->changed_func(ini);
    return 0;
}

int qx_ini_word(diagstk_t *diag, ini_setting_t *ini, const char *text,
                std::initializer_list<std::string_view> words, const char *op, const char *hint)
{
    const std::string_view word = qx_trim(text);
    for (const std::string_view known : words) {
        if (!qx_iequal(word, known) || known.size() >= ini->dest_size) continue;
        std::memcpy(ini->destination, known.data(), known.size());
        static_cast<char *>(ini->destination)[known.size()] = '\0';
        return 0;
    }
    diagstk_add(diag, 4, "%s: \"%s\" is invalid %s value%s%s", op, text, ini->name,
                hint != nullptr ? " - " : "", hint != nullptr ? hint : "");
    return -1;
}

int attr_acl_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val)
{
    constexpr const char *op = "attr_acl";
    if (val == nullptr) {
        diagstk_add(diag, 3, "%s: NULL value for attribute value", op);
        return -1;
    }
    if (ini == nullptr) {
        diagstk_add(diag, 3, "%s: NULL ptr for ini setting", op);
        return -1;
    }
    c_ptr<char> copy(qx_strip_spaces(diag, static_cast<char *>(val), 7));
    if (!copy) return -1;
    if (qx_check_netip_mask(diag, copy.get(), 1, nullptr) < 0) return -1;

    char *allow = nullptr;
    const int found = qx_element_attr(diag, ectx, "Allow", &allow);
    if (found == TREE_ELEMENT_ERROR) return -1;
    char sign;
    if (found != TREE_ELEMENT_DATA || strcasecmp(allow, "Yes") == 0) {
        sign = '+';
    } else if (strcasecmp(allow, "No") == 0) {
        sign = '-';
    } else {
        diagstk_add(diag, 3, "%s: \"%s\" is invalid Allow attribute value", op, allow);
        return -1;
    }

    auto *buf = static_cast<char *>(ini->destination);
    const std::size_t used = std::strlen(buf);
    const std::size_t need = used + (used ? 1 : 0) + 1 + std::strlen(copy.get()) + 1;
    if (need > ini->dest_size) {
        diagstk_add(diag, 3, "%s: access list %s is full - \"%s\" does not fit", op, ini->name,
                    copy.get());
        return -1;
    }
    if (used) std::strcat(buf, ",");
    const std::size_t at = std::strlen(buf);
    buf[at] = sign;
    buf[at + 1] = '\0';
    std::strcat(buf, copy.get());
    return 0;
}

int attr_acl_out(diagstk_t *diag, io_out_t *output, ini_setting_t *ini, char *value)
{
    if (value == nullptr) return -1;
    const char *allow = "Yes";
    if (value[0] == '+') {
        value++;
    } else if (value[0] == '-') {
        allow = "No";
        value++;
    }
    io_writef(output, diag, "    <%s Allow=\"%s\">", ini->name, allow);
    qx_write_escaped(output, diag, value);
    io_writef(output, diag, "</%s>\n", ini->name);
    return 0;
}

namespace {

void write_string_row(diagstk_t *diag, io_out_t *output, ini_setting_t *ini)
{
    const char *value = static_cast<const char *>(ini->destination);
    if (!(ini->flags & INI_FLAG_MULTIPLE)) {
        // Unformatted, so a value as long as the buffer arrives whole.
        io_writef(output, diag, "    <%s>", ini->name);
        qx_write_escaped(output, diag, value);
        io_writef(output, diag, "</%s>\n", ini->name);
        return;
    }
    std::string copy(value);
    const char *separators = ini->separators != nullptr ? ini->separators : ",";
    char *save = nullptr;
    for (char *piece = strtok_r(copy.data(), separators, &save); piece != nullptr;
         piece = strtok_r(nullptr, separators, &save)) {
        if (ini->attr_out_func != nullptr) {
            ini->attr_out_func(diag, output, ini, piece);
        } else {
            io_writef(output, diag, "    <%s>", ini->name);
            qx_write_escaped(output, diag, piece);
            io_writef(output, diag, "</%s>\n", ini->name);
        }
    }
}

void write_bitmask_row(diagstk_t *diag, io_out_t *output, const ini_setting_t *ini)
{
    const std::uint32_t value = *static_cast<const std::uint32_t *>(ini->destination);
    io_writef(output, diag, "    <%s>\n", ini->name);
    for (const bitmask_t *bm = ini->bitmasks; bm != nullptr && bm->bitno != -1; bm++)
        io_writef(output, diag, "        <%s/>\n",
                  (value & (1u << bm->bitno)) ? bm->name_on : bm->name_off);
    io_writef(output, diag, "    </%s>\n", ini->name);
}

}  // namespace

namespace {

// True when the row holds its default value.
bool at_default(const ini_setting_t *ini)
{
    if (ini->type == INI_TYPE_STRING) {
        const char *def = ini->string_default != nullptr ? ini->string_default : "";
        return std::strcmp(static_cast<const char *>(ini->destination), def) == 0;
    }
    return *static_cast<const std::uint32_t *>(ini->destination) == ini->num_default;
}

}  // namespace

int qx_return_config(diagstk_t *diag, io_out_t *output)
{
    int result = 0;
    output_xml_prolog(output, nullptr, nullptr, diag);
    io_writef(output, diag, "<Configuration>\n");
    for (ini_setting_t *ini = quillet_settings; ini->name != nullptr; ini++) {
        if ((ini->flags & INI_FLAG_WRITE_CHANGED) && at_default(ini)) continue;
        switch (ini->type) {
        case INI_TYPE_NUMERIC: {
            const unsigned long v = *static_cast<const std::uint32_t *>(ini->destination);
            if (ini->flags & INI_FLAG_HEX)
                io_writef(output, diag, "    <%s>0x%lx</%s>\n", ini->name, v, ini->name);
            else
                io_writef(output, diag, "    <%s>%lu</%s>\n", ini->name, v, ini->name);
            break;
        }
        case INI_TYPE_STRING: write_string_row(diag, output, ini); break;
        case INI_TYPE_BITMASK: write_bitmask_row(diag, output, ini); break;
        default:
            diagstk_add(diag, 3, "%s: internal error - unrecognised setting type %d",
                        "qx_return_config", static_cast<int>(ini->type));
            result = -1;
        }
    }
    io_writef(output, diag, "</Configuration>\n");
    output_xml_epilog(output, diag);
    return result;
}

namespace {

constexpr const char *GET_OP = "qx_get_config";

ini_setting_t *find_setting(const char *name)
{
    for (ini_setting_t *ini = quillet_settings; ini->name != nullptr; ini++)
        if (std::strcmp(ini->name, name) == 0) return ini;
    return nullptr;
}

int get_text(diagstk_t *diag, const ini_setting_t *ini, char *valbuf, std::size_t valbuf_len,
             char **valptr)
{
    const char *text = ini->lookup_func != nullptr ? ini->lookup_func(ini)
                                                    : static_cast<const char *>(ini->destination);
    if (valbuf != nullptr) {
        if (std::strlen(text) + 1 > valbuf_len) {
            diagstk_add(diag, 3, "%s: %s value is too long for supplied buffer", GET_OP,
                        ini->name);
            return -1;
        }
        std::memcpy(valbuf, text, std::strlen(text) + 1);
    }
    // Callers read the text through the pointer; they never write to it.
    if (valptr != nullptr) *valptr = const_cast<char *>(text);
    return 0;
}

}  // namespace

int qx_get_config(diagstk_t *diag, const char *item, char *valbuf, std::size_t valbuf_len,
                  char **valptr, unsigned long *ulval)
{
    if (item == nullptr) {
        diagstk_add(diag, 4, "%s: no item specified", GET_OP);
        return -1;
    }
    const ini_setting_t *ini = find_setting(item);
    if (ini == nullptr) {
        diagstk_add(diag, 3, "%s: Request for unknown configuration option \"%s\"", GET_OP,
                    item);
        return -1;
    }
    if (ini->type == INI_TYPE_STRING) return get_text(diag, ini, valbuf, valbuf_len, valptr);
    if (ulval == nullptr) {
        diagstk_add(diag, 3, "%s: no destination for %s", GET_OP, item);
        return -1;
    }
    *ulval = *static_cast<const std::uint32_t *>(ini->destination);
    return 0;
}

unsigned long qx_ini_flag_set(int bit) { return ini_flags & (1ul << bit); }

// ------------------------------------------------------ configuration file

int qx_get_install_path(diagstk_t *diag, char *buf, std::size_t buflen)
{
    constexpr const char *dir = QUILLET_INSTALL_DIR;
    if (std::strlen(dir) + 1 > buflen) {
        diagstk_add(diag, 3, "%s: %s value too big for buffer", "qx_get_install_path", dir);
        return -1;
    }
    std::memcpy(buf, dir, std::strlen(dir) + 1);
    return 0;
}

namespace {

// The file named with -c, empty for config.xml in the installation
// directory.
std::string config_file_override;

// The directory and the name of the configuration file: the temporary file
// is "tmp_" and the name, beside it.
int config_location(diagstk_t *diag, char *dir, std::string *name)
{
    if (config_file_override.empty()) {
        *name = QX_CONFIG_FILE;
        return qx_get_install_path(diag, dir, PATH_SIZE);
    }
    const std::string &file = config_file_override;
    const std::size_t slash = file.rfind('/');
    const std::string d = slash == std::string::npos ? "."
                          : slash == 0                ? "/"
                                                      : file.substr(0, slash);
    *name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (d.size() + 1 > PATH_SIZE) {
        diagstk_add(diag, 3, "Configuration file name %s is too long", file.c_str());
        return -1;
    }
    std::memcpy(dir, d.c_str(), d.size() + 1);
    return 0;
}

// The path of the configuration file, or of its temporary file.
int config_path(diagstk_t *diag, bool tmp, char *path)
{
    char dir[PATH_SIZE];
    std::string name;
    if (config_location(diag, dir, &name) < 0) return -1;
    if (tmp) name.insert(0, "tmp_");
    return qx_filespec(diag, dir, name.c_str(), path, PATH_SIZE);
}

}  // namespace

int qx_set_config_file(diagstk_t *diag, const char *file)
{
    const std::size_t len = std::strlen(file);
    if (len == 0 || file[len - 1] == '/') {
        diagstk_add(diag, 3, "Invalid configuration file name \"%s\" - a file name expected", file);
        return -1;
    }
    if (len + 5 > PATH_SIZE) {
        diagstk_add(diag, 3, "Configuration file name %s is too long", file);
        return -1;
    }
    config_file_override = file;
    return 0;
}

int qx_config_file_path(diagstk_t *diag, char *buf, std::size_t buflen)
{
    char path[PATH_SIZE];
    if (config_path(diag, false, path) < 0) return -1;
    if (std::strlen(path) + 1 > buflen) {
        diagstk_add(diag, 3, "Configuration file name %s is too long", path);
        return -1;
    }
    std::memcpy(buf, path, std::strlen(path) + 1);
    return 0;
}

int qx_get_config_dir(diagstk_t *diag, char *buf, std::size_t buflen)
{
    char dir[PATH_SIZE];
    std::string name;
    if (config_location(diag, dir, &name) < 0) return -1;
    if (std::strlen(dir) + 1 > buflen) {
        diagstk_add(diag, 3, "Configuration directory %s is too long", dir);
        return -1;
    }
    std::memcpy(buf, dir, std::strlen(dir) + 1);
    return 0;
}

int qx_open_config_file(diagstk_t *diag, io_in_t *input, io_out_t *output, unsigned long flags)
{
    constexpr const char *op = "qx_open_config_file";
    char dir[PATH_SIZE], path[PATH_SIZE];
    std::string name;
    if (config_location(diag, dir, &name) < 0) return -1;
    if (flags & QX_CONFIG_TMP) name.insert(0, "tmp_");
    if (qx_filespec(diag, dir, name.c_str(), path, sizeof path) < 0) return -1;

    if (input != nullptr) {
        input->method = XML_INPUT_METHOD_FILE;
        FILE *fp = std::fopen(path, "rb");
        if (fp == nullptr) {
            diagstk_add(diag, 4, "%s: Failed to open %s for read access - %s", op, path,
                        std::strerror(errno));
            return -1;
        }
        input->src.file.fp = fp;
        input->src.file.filespec = strdup(path);
        return 0;
    }
    if (output == nullptr) {
        diagstk_add(diag, 3, "%s: No input or output", op);
        return -1;
    }
    if (access(dir, W_OK) != 0) {
        diagstk_add(diag, 3, "%s: No write access to %s", op, dir);
        return -1;
    }
    if (qx_is_slink(path)) {
        diagstk_add(diag, 3, "%s: %s is a symbolic link - refusing to use it", op, path);
        return -1;
    }
    output->method = XML_OUTPUT_METHOD_FILE;
    FILE *fp = std::fopen(path, "wb");
    if (fp == nullptr) {
        diagstk_add(diag, 4, "%s: Failed to open %s for write access - %s", op, path,
                    std::strerror(errno));
        return -1;
    }
    output->dst.file.fp = fp;
    output->dst.file.filespec = strdup(path);
    return 0;
}

int qx_swap_config_files(diagstk_t *diag)
{
    constexpr const char *op = "qx_swap_config_files";
    char path[PATH_SIZE], tmp_path[PATH_SIZE];
    // The rename alone replaces the file: there is no moment without one.
    if (config_path(diag, false, path) < 0 || config_path(diag, true, tmp_path) < 0) return -1;
    if (std::rename(tmp_path, path) < 0) {
        diagstk_add(diag, 3, "%s: Failed to rename %s to %s - %s", op, tmp_path, path,
                    std::strerror(errno));
        return -1;
    }
    return 0;
}

int qx_write_config(diagstk_t *diag)
{
    io_out_t output{};
    if (qx_open_config_file(diag, nullptr, &output, QX_CONFIG_TMP) < 0) return -1;
    if (qx_return_config(diag, &output) < 0) {
        io_close_channels(nullptr, &output, diag);
        return -1;
    }
    if (io_close_channels(nullptr, &output, diag) < 0) return -1;
    return qx_swap_config_files(diag);
}

int qx_is_slink(const char *file)
{
    struct stat st {};
    if (lstat(file, &st) != 0) return 0;
    return (st.st_mode & 0xF000) == 0xA000 ? 1 : 0;
}

int qx_get_string_from_registry(diagstk_t *diag, char *buf, std::size_t buflen,
                                const char *name)
{
    // The support library's profile file: "key=value" lines, "[Settings]"
    // section. No server path reads it; settings come from config.xml.
    char dir[PATH_SIZE];
    if (qx_get_install_path(diag, dir, sizeof dir) < 0) return -1;
    char *slash = std::strrchr(dir, '/');
    if (slash != nullptr) *slash = '\0';
    char path[PATH_SIZE];
    if (qx_filespec(diag, dir, "quilletserver.ini", path, sizeof path) < 0) return -1;

    char value[4096] = "";
    if (FILE *fp = std::fopen(path, "r"); fp != nullptr) {
        char line[4096];
        bool in_settings = false;
        const std::size_t name_len = std::strlen(name);
        while (std::fgets(line, sizeof line, fp) != nullptr) {
            line[std::strcspn(line, "\r\n")] = '\0';
            if (line[0] == '[') {
                in_settings = std::strcmp(line, "[Settings]") == 0;
            } else if (in_settings && std::strncmp(line, name, name_len) == 0 &&
                       line[name_len] == '=') {
                std::snprintf(value, sizeof value, "%s", line + name_len + 1);
                break;
            }
        }
        std::fclose(fp);
    }
    if (std::strlen(value) + 1 > buflen) {
        diagstk_add(diag, 3, "%s: %s value too big for buffer", "qx_get_string_from_registry",
                    name);
        return -1;
    }
    std::memcpy(buf, value, std::strlen(value) + 1);
    return 0;
}
