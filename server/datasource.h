// datasource.h - what a request may reach and change: the data sources of
// the configuration, whether a request may bring its own connection
// string, and which environment variables it may set.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "config.h"
#include "iodef.h"

// Storage of the three settings (rows of quillet_settings).
// ConnectionStrings: "Any" or "DataSourcesOnly".
inline constexpr std::size_t QX_CONNECTION_STRINGS_SIZE = 32;
extern char ini_connection_strings[QX_CONNECTION_STRINGS_SIZE];
// EnvironmentAllow: comma-separated names, a trailing "*" a prefix.
extern char ini_environment_allow[INI_STRING_SIZE];
// DataSource: the sources as given, each record the connection string
// followed by its attributes as "Name=value", fields separated by
// QX_DS_FIELD and records by QX_DS_RECORD (characters XML cannot carry, so
// no value holds them). A plain byte buffer, so a refused document can
// restore it byte for byte.
inline constexpr std::size_t QX_DATASOURCE_STORE = 16 * 1024;
inline constexpr char QX_DS_RECORD = '\x1e';
inline constexpr char QX_DS_FIELD = '\x1f';
extern char ini_datasources[QX_DATASOURCE_STORE];

// Row handlers (config.h types). Readers validate one element and store
// it, or push one message naming the refused value and return -1.
int attr_connection_strings_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);
void connection_strings_changed(ini_setting_t *ini);
int attr_environment_allow_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);
int attr_datasource_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);
// Writes one stored record back as a DataSource element. 0, or -1 for null.
int attr_datasource_out(diagstk_t *diag, io_out_t *output, ini_setting_t *ini, char *value);
// Compiles the stored records into the registry the requests use.
void datasources_changed(ini_setting_t *ini);

// True under ConnectionStrings DataSourcesOnly.
bool qx_data_sources_only(void);

// True when a request may set or unset `name` under the allow list
// `allow` (the EnvironmentAllow text).
bool qx_environment_admits(std::string_view allow, std::string_view name);
// Checks the variable of one Environment entry ("NAME=value", or "NAME"
// to unset it) against EnvironmentAllow. 0, or -1 with "Environment
// variable %s is not allowed".
int qx_environment_check(diagstk_t *diag, std::string_view entry);

// Whether the connections of requests naming the data source
// `datasource` (null: a request with a ConnectionString alone) are kept
// for the next request of the same client: its Keep attribute, or without
// one the KeepConnections setting.
bool qx_datasource_keeps(const char *datasource);

// The connection string a request connects with. `datasource` is the text
// of its DataSource element, `connstr` that of its ConnectionString (each
// null when absent; not both). The client is the peer of `input`. 0 with
// *out set, or -1 with one message on `diag`: an unknown source, a client
// the source's Client list denies, a connection string beside a source
// holding a keyword that is not in its Extra, a connection string where
// only data sources are accepted, or one that breaks the connection-string
// rules (connstr.h).
int qx_request_connection(diagstk_t *diag, io_in_t *input, const char *datasource,
                          const char *connstr, std::string *out);
