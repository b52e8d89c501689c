// config.h - the settings table, the configuration document and the
// configuration file in the installation directory.
#pragma once

#include <cstddef>
#include <cstdint>

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

typedef struct ini_setting_s {
    std::uint32_t type;
    const char *name;  // null ends the table
    std::uint32_t flags;
    const bitmask_t *bitmasks;
    std::uint32_t num_default;
    const char *string_default;
    std::uint32_t min, max;
    void *destination;
    std::size_t dest_size;
    attr_in_func_t attr_in_func;
    attr_out_func_t attr_out_func;
} ini_setting_t;

extern ini_setting_t quillet_settings[];
extern std::uint32_t ini_port, ini_control_port, ini_max_concurrent, ini_max_client,
    ini_flags;
extern char ini_logdir[INI_STRING_SIZE], ini_acl[INI_STRING_SIZE],
    ini_ctrl_acl[INI_STRING_SIZE];
// Set each time a configuration document has been applied without error.
extern int quillet_configuration_change;

void qx_init_config(void);
int qx_parse_config(diagstk_t *diag, io_in_t *input);
int qx_use_config(diagstk_t *diag, void *ptree);
int xml2config(diagstk_t *diag, void *ptree, ini_setting_t *ini);
int moderate_ini_setting(diagstk_t *diag, ini_setting_t *ini);
int attr_acl_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);
int attr_acl_out(diagstk_t *diag, io_out_t *output, ini_setting_t *ini, char *value);
// Writes the configuration document (prolog, Configuration, epilog).
int qx_return_config(diagstk_t *diag, io_out_t *output);
// Looks a setting up by exact name: text items into valbuf and/or *valptr,
// numbers into *ulval. 0, or -1 with a message.
int qx_get_config(diagstk_t *diag, const char *item, char *valbuf, std::size_t valbuf_len,
                  char **valptr, unsigned long *ulval);
unsigned long qx_ini_flag_set(int bit);

// ------------------------------------------------------ configuration file

inline constexpr const char *QX_CONFIG_FILE = "config.xml";
inline constexpr unsigned long QX_CONFIG_TMP = 1;  // qx_open_config_file flag

int qx_get_install_path(diagstk_t *diag, char *buf, std::size_t buflen);
int qx_open_config_file(diagstk_t *diag, io_in_t *input, io_out_t *output,
                        unsigned long flags);
int qx_swap_config_files(diagstk_t *diag);
// Writes the settings to tmp_config.xml, then replaces config.xml with it.
int qx_write_config(diagstk_t *diag);
int qx_is_slink(const char *file);
int qx_get_string_from_registry(diagstk_t *diag, char *buf, std::size_t buflen,
                                const char *name);
