// refusal.h - refused connections, finished by the server loop in passing.
//
// A refused client gets one error result document and then the end of its
// connection. Two waits belong to that: for the client's first bytes (an
// HTTP client gets its refusal in HTTP, and a fast accept often comes
// before the request line), and for what it still sends after the answer
// (discarded, so that it reads the whole answer rather than a reset).
// Neither wait may hold the loop, or a client the access list keeps out
// could keep everyone else out too: the connection waits here, beside the
// listeners, while the loop goes on accepting.
#pragma once

#include <span>
#include <vector>

#include "diag.h"
#include "iodef.h"

// Takes the refused connection off `input`/`output` with the messages on
// `diag` (its refusal, moved off the stack) and the HTTP `status` it
// answers an HTTP client with; `flags` are those of qx_output_error_result.
// It is answered at once when its first bytes are there (or it cannot be
// HTTP), else when they come or after a short wait.
void qx_refusal_park(diagstk_t *diag, io_in_t *input, io_out_t *output, int status,
                     unsigned long flags);

// Takes a connection already answered off `input`/`output`, to discard
// what its client still sends and close it in passing.
void qx_refusal_drain(diagstk_t *diag, io_in_t *input, io_out_t *output);

// The descriptors the loop's wait watches for the parked connections, and
// the milliseconds until the first of their waits ends (-1: none parked).
int qx_refusal_watch(std::vector<pollfd> *fds);

// After the wait: answers, drains and closes the parked connections that
// are ready or whose wait is over (`fds` as the wait returned them). The
// records `input`/`output` are free then and are borrowed for the answers.
void qx_refusal_service(std::span<const pollfd> fds, io_in_t *input, io_out_t *output,
                        diagstk_t *diag);

// Closes every parked connection: at shutdown, and in a forked child,
// whose copies would otherwise keep the connections open.
void qx_refusal_close_all(void);
