// signals.h - signal flags of the standalone server and its children.
#pragma once

#include "diag.h"

// Installs the flag-setting handler for SIGINT, SIGHUP and SIGTERM (no
// automatic restart of interrupted calls) and ignores SIGPIPE.
int init_signals(diagstk_t *diag);
void signal_received(int sig);
// 2 once SIGINT or SIGTERM has arrived, else 0. A SIGHUP is kept for
// qx_reload_requested.
int process_signals(void);
// True once for each turn after SIGHUP arrived (the flag is cleared): the
// standalone server then reads its configuration file again.
bool qx_reload_requested(void);
// SIGTERM or SIGINT, whichever arrived first; 0 before either.
int qx_termination_signal(void);
// True once SIGINT or SIGTERM has arrived. Unlike process_signals it
// writes no trace, so any thread may ask: it only reads two flags that the
// handler sets in single stores.
bool qx_termination_requested(void);
// Makes the process ignore SIGPIPE, so a vanished peer shows up as EPIPE.
int qx_ignore_sigpipe(diagstk_t *diag);
// For the standalone server, after init_signals: the end of a child
// (SIGCHLD) interrupts the wait for connections, so it is reaped at once;
// SIGINT, SIGHUP, SIGTERM and SIGCHLD are blocked except during that wait
// (io_wait_for_connection), so none is lost between the check of the flags
// and the wait, and none cuts another call short. 0, or -1 with a message.
int qx_hold_signals(diagstk_t *diag);
// For a child forked by the server: SIGCHLD back to its default and the
// held signals unblocked, so that SIGTERM cuts a blocked call short again.
void qx_release_signals(void);
