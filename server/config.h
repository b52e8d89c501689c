// config.h - the settings table, the configuration document and the
// configuration file in the installation directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "iodef.h"
#include "util.h"

// Setting types
inline constexpr std::uint32_t INI_TYPE_NUMERIC = 1;
inline constexpr std::uint32_t INI_TYPE_STRING = 2;
inline constexpr std::uint32_t INI_TYPE_BITMASK = 3;

// Setting flags
inline constexpr std::uint32_t INI_FLAG_DEFAULT = 0x1;
inline constexpr std::uint32_t INI_FLAG_REQUIRED = 0x2;
inline constexpr std::uint32_t INI_FLAG_MULTIPLE = 0x4;
inline constexpr std::uint32_t INI_FLAG_HEX = 0x8;
// Written back only when its value differs from its default, so the
// configuration document of a server that does not use the setting keeps
// its familiar shape.
inline constexpr std::uint32_t INI_FLAG_WRITE_CHANGED = 0x10;
// The value is a connection string: traces show it with its secrets masked.
inline constexpr std::uint32_t INI_FLAG_SECRET = 0x20;

inline constexpr std::size_t INI_STRING_SIZE = 1024;

// Bits of the Flags setting
inline constexpr int FLAG_MULTIPROCESS = 0;
inline constexpr int FLAG_CONTROL_INTERFACE = 1;
inline constexpr int FLAG_WAIT_CHILDREN = 2;
inline constexpr int FLAG_KILL_CHILDREN = 3;
inline constexpr int FLAG_REVERSE_LOOKUP = 4;

typedef struct bitmask_s {
    std::int32_t bitno;  // -1 ends a table
    const char *name_on;
    const char *name_off;
} bitmask_t;

struct ini_setting_s;
typedef int (*attr_in_func_t)(diagstk_t *diag, void *ectx, ini_setting_s *ini, void *val);
typedef int (*attr_out_func_t)(diagstk_t *diag, io_out_t *output, ini_setting_s *ini,
                               char *value);
// Called after the table code has stored a value in the row: when a
// document has been applied to it without error, and when a string row has
// been emptied (at start, and before each document, which may then fail on
// the row and leave it empty). Lets a setting adjust its value or hand it
// to the module that uses it, so no code outside the row needs its name.
typedef void (*changed_func_t)(ini_setting_s *ini);
// The text a lookup by name answers for a string row, where that is not
// simply the stored text.
typedef const char *(*lookup_func_t)(const ini_setting_s *ini);

// One setting. Rows are written with designated initialisers; a field left
// out is zero or null.
typedef struct ini_setting_s {
    std::uint32_t type = 0;
    const char *name = nullptr;  // null ends the table
    std::uint32_t flags = 0;
    const bitmask_t *bitmasks = nullptr;
    std::uint32_t num_default = 0;
    const char *string_default = nullptr;
    std::uint32_t min = 0, max = 0;  // accepted numbers when max is not 0
    void *destination = nullptr;
    std::size_t dest_size = 0;
    attr_in_func_t attr_in_func = nullptr;
    attr_out_func_t attr_out_func = nullptr;
    changed_func_t changed_func = nullptr;
    lookup_func_t lookup_func = nullptr;
    // Where a multiple row's buffer is split into entries for writing back
    // (null: ","); a row whose entries hold commas stores them with another.
    const char *separators = nullptr;
} ini_setting_t;

extern ini_setting_t quillet_settings[];
extern std::uint32_t ini_port, ini_control_port, ini_max_concurrent, ini_max_client,
    ini_flags;
// Limits of one connection, in seconds (0: none): from the first byte of a
// request to its complete document; waiting for the first byte of a
// request; the statements of one request. And the address space of one
// connection child in MiB (0: none).
extern std::uint32_t ini_request_timeout, ini_idle_timeout, ini_query_timeout,
    ini_max_child_memory;
// Connections the request listener holds before they are accepted; the
// kernel caps it at net.core.somaxconn.
extern std::uint32_t ini_listen_backlog;
extern char ini_logdir[INI_STRING_SIZE], ini_acl[INI_STRING_SIZE],
    ini_ctrl_acl[INI_STRING_SIZE];
// Addresses of the request and control listeners ("*", "::", an address;
// "none" for the control listener) and the path of the control socket
// ("" for none), all read once by the standalone start-up.
extern char ini_listen_address[IO_ADDRESS_SIZE], ini_control_listen_address[IO_ADDRESS_SIZE];
extern char ini_control_socket[INI_STRING_SIZE];
// Set each time a configuration document has been applied without error.
extern int quillet_configuration_change;

// Empties the string settings; called once before anything reads them.
void qx_init_config(void);
// Parses a Configuration document from `input` and applies it. 0, or a
// negative value with the reason on `diag`.
int qx_parse_config(diagstk_t *diag, io_in_t *input);
// Applies a parsed Configuration document row by row, in table order; sets
// quillet_configuration_change when every row succeeded. A document with a
// refused value changes nothing: every setting keeps the value it had. 0,
// or -1 with the first refused value named on `diag`.
int qx_use_config(diagstk_t *diag, void *ptree);
// Reads one row from the document into its storage. 0 or -1.
int xml2config(diagstk_t *diag, void *ptree, ini_setting_t *ini);
// Last step of reading a row: runs the row's changed_func. 0, or -1 for a
// null row.
int moderate_ini_setting(diagstk_t *diag, ini_setting_t *ini);
// Reader of one access-list element (`ectx` its tree node, `val` its text):
// appends "+net" or "-net" to the row's buffer. 0 or -1.
int attr_acl_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);
// For a string row that takes one of a few words: stores the word of
// `words` that `text` names (blanks and case ignored) as `words` spells it.
// Else -1 with "OP: \"TEXT\" is invalid NAME value", followed by " - HINT"
// when `hint` is given.
int qx_ini_word(diagstk_t *diag, ini_setting_t *ini, const char *text,
                std::initializer_list<std::string_view> words, const char *op, const char *hint);
// Writes one access-list entry ("+net" or "-net") back as an element. 0, or
// -1 for a null value.
int attr_acl_out(diagstk_t *diag, io_out_t *output, ini_setting_t *ini, char *value);
// Writes the configuration document (prolog, Configuration, epilog). 0, or
// -1 when a row has an unknown type.
int qx_return_config(diagstk_t *diag, io_out_t *output);
// Looks a setting up by exact name: text items into valbuf and/or *valptr
// (the storage itself, not a copy), numbers into *ulval. 0, or -1 with a
// message.
int qx_get_config(diagstk_t *diag, const char *item, char *valbuf, std::size_t valbuf_len,
                  char **valptr, unsigned long *ulval);
// Non-zero when bit `bit` of the Flags setting is set.
unsigned long qx_ini_flag_set(int bit);

// ------------------------------------------------------ configuration file

inline constexpr const char *QX_CONFIG_FILE = "config.xml";
inline constexpr unsigned long QX_CONFIG_TMP = 1;  // qx_open_config_file flag

// Copies the installation directory into buf. 0, or -1 when it does not fit.
int qx_get_install_path(diagstk_t *diag, char *buf, std::size_t buflen);
// Names the configuration file instead of config.xml in the installation
// directory (the -c option); its temporary file is "tmp_" and its name, in
// the same directory. A relative name is relative to the working
// directory. 0, or -1 with a message for an empty name or one ending in "/".
int qx_set_config_file(diagstk_t *diag, const char *file);
// The path of the configuration file in use into buf. 0 or -1.
int qx_config_file_path(diagstk_t *diag, char *buf, std::size_t buflen);
// The directory of the configuration file in use into buf ("." for a
// relative name without one). 0 or -1.
int qx_get_config_dir(diagstk_t *diag, char *buf, std::size_t buflen);
// Opens the configuration file (config.xml in the installation directory
// unless qx_set_config_file named another; its temporary file with
// QX_CONFIG_TMP): for reading on `input` when given, else for writing on
// `output` (refused for a symbolic link or an unwritable directory). The
// channel owns the stream. 0 or -1.
int qx_open_config_file(diagstk_t *diag, io_in_t *input, io_out_t *output,
                        unsigned long flags);
// Replaces config.xml by tmp_config.xml. 0 or -1.
int qx_swap_config_files(diagstk_t *diag);
// Writes the settings to tmp_config.xml, then replaces config.xml with it.
int qx_write_config(diagstk_t *diag);
// 1 when `file` is a symbolic link, else 0.
int qx_is_slink(const char *file);
// Reads `name` from the [Settings] section of quilletserver.ini beside the
// installation directory into buf ("" when absent). 0, or -1 when the value
// does not fit.
int qx_get_string_from_registry(diagstk_t *diag, char *buf, std::size_t buflen,
                                const char *name);
