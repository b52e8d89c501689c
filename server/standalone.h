// standalone.h - the standalone server's admission, fork and connection
// child.
#pragma once

#include "diag.h"
#include "iodef.h"
#include "statistics.h"
#include "track.h"

// Admits the connection just accepted on `input`/`output`: access list,
// MaxClientConnect, a free slot in *threadspp (returned in *cthreadpp). A
// refused client has been answered with the error result; -1 then.
int new_incoming_connection(diagstk_t *diag, io_in_t *input, io_out_t *output,
                            srv_limits_t limits, threads_t **threadspp, threads_t **cthreadpp,
                            void *ip_acl, stats_t *stats);
// Forks the connection child and records it in `thread`. The parent's copy
// of the connection is closed. 0, or -1 with a message when fork failed
// (the connection is then still open).
int handle_request(diagstk_t *diag, io_in_t *input, io_out_t *output, threads_t *thread,
                   stats_t *stats);
// The connection child: serves the connection's requests and exits, 0 when
// the client closed the connection, 1 after an unreadable request.
[[noreturn]] void child_start(io_in_t input, io_out_t output);
