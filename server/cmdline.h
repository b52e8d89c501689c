// cmdline.h - the start-up method record and the command line.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "iodef.h"
#include "diag.h"

enum startup_method : std::int32_t {
    STARTUP_STANDALONE = 0,
    STARTUP_LISTEN = 1,
    STARTUP_FILEIO = 2,
    STARTUP_INHERIT_SOCKET = 3,  // never produced by the command line
    STARTUP_INETD = 4,
};

typedef struct cmdline_info_s {
    startup_method method;
} cmdline_info_t;

inline constexpr const char *QX_VERSION = "1.1.0";

// Process id of the standalone server, recorded before it starts.
extern pid_t parent_pid;

// The options that come before the method word.
struct cmdline_options_t {
    bool help = false;                // -h, --help
    bool version = false;             // -V, --version
    bool check_config = false;        // --check-config
    const char *config = nullptr;     // -c FILE, --config FILE, --config=FILE
    int method_index = 1;             // argv index of the method word
};

// Reads the options before the method word into `opts`; an argument that
// does not begin with "-" (or is "-" alone) starts the method. 0, or 1 with
// one message pushed for an unknown option or a missing file name.
int qx_parse_options(int argc, char **argv, cmdline_options_t *opts, diagstk_t *diag);
// The usage text followed by the options, on standard output.
void qx_help(void);
// The version lines and the product notice on standard output.
void qx_print_version(void);

// Fills `cmd` and the channel pair from argv. 0; 1..7 or -1 after pushing
// one message. "version" prints and exits with status 0.
int qx_parse_cmdline(int argc, char **argv, cmdline_info_t *cmd, io_in_t *input,
                     io_out_t *output, diagstk_t *diag);
void qx_usage(void);
