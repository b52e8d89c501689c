// startup.h - the start-up routines: each runs one method on the channels
// the command line chose, and returns 0 or -1 (the process's exit status
// follows from it).
#pragma once

#include "cmdline.h"
#include "diag.h"
#include "iodef.h"

// pipe and file: one request from the input stream or file.
int startup_fileio(cmdline_info_t *cmd, io_in_t *input, io_out_t *output, diagstk_t *diag);
// tcpip_listen: listen on the port, serve one connection and one request.
int startup_listen(cmdline_info_t *cmd, io_in_t *input, io_out_t *output, diagstk_t *diag);
// inetd: the connection on standard input and output, request after
// request, or one control document when inetd gave the control argument.
int startup_inetd(cmdline_info_t *cmd, io_in_t *input, io_out_t *output, diagstk_t *diag);
// standalone: the daemon; returns only when its loop fails (-1).
int startup_standalone(cmdline_info_t *cmd, io_in_t *input, io_out_t *output,
                       diagstk_t *diag);
