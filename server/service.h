// service.h - the standalone server as an administrator and a service
// manager see it: the lines that announce its start, reloads and stop, and
// the state messages systemd waits for (Type=notify).
#pragma once

#include <string>

#include "diag.h"
#include "iodef.h"
#include "track.h"

// Sends `state` ("READY=1", "RELOADING=1", "STOPPING=1", "STATUS=...") to
// the service manager when NOTIFY_SOCKET names one; does nothing otherwise.
// The variable stays set, so a manager that waits for a reload's READY=1
// gets it.
void qx_notify(const char *state);
// The text of a listener's address: "127.0.0.1:8895", "[::]:8895", or the
// path of a Unix-domain socket. Empty when the socket has no name.
std::string qx_socket_name(int sock);
// The start line (version, configuration file, every address the server
// listens on) as an information event, then READY=1. `control` is null when
// no control listener is open.
void qx_service_started(const io_in_t *input, const io_in_t *control);
// Reads the configuration file again (SIGHUP), with the rules of a
// configuration received on the control port: a file with any error
// changes nothing and is left as it is. Tells the service manager
// RELOADING=1 before and READY=1 after, and writes the outcome as events.
// 0 when the file was applied, -1 when it was refused; `diag` is empty
// afterwards either way.
int qx_service_reload(diagstk_t *diag);
// The children a shutdown waits for: those still serving.
unsigned qx_children_running(const threads_t *threads);
// STOPPING=1, when the server has stopped accepting.
void qx_service_stopping(void);
// The stop line: the signal that ended the server and the children it
// waited for.
void qx_service_stopped(int sig, unsigned waited_for);
