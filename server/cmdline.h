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

// Fills `cmd` and the channel pair from argv. 0; 1..7 or -1 after pushing
// one message. "version" prints and exits with status 0.
int qx_parse_cmdline(int argc, char **argv, cmdline_info_t *cmd, io_in_t *input,
                     io_out_t *output, diagstk_t *diag);
void qx_usage(void);
