// startup.cpp - the single-stream start-up routines: pipe and file, one TCP
// connection, inetd.

#include "startup.h"

#include <csignal>

#include "config.h"
#include "connection.h"
#include "control.h"
#include "signals.h"
#include "watchdog.h"

int startup_fileio(cmdline_info_t *, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    if (io_open_channels(input, output, diag) != 0) {
        diagstk_output(diag, 0, nullptr);
        return -1;
    }
    return qx_serve_connection(input, output, diag, SERVE_ONE_REQUEST);
}

int startup_listen(cmdline_info_t *, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    if (io_open_channels(input, output, diag) != 0) {
        diagstk_output(diag, 0, nullptr);
        return -1;
    }
    int ready;
    while ((ready = io_wait_for_connection(input, nullptr, diag)) == 0) {
        // A time-out or an interrupted wait: nothing to report, wait again.
        diagstk_remove(diag, 0);
    }
    if (ready < 0 || io_accept_connection(input, output, diag) < 0) {
        diagstk_output(diag, 0, nullptr);
        return -1;
    }
    if (qx_limit_child_memory(diag) < 0) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    return qx_serve_connection(input, output, diag, SERVE_ONE_REQUEST);
}

namespace {

// One control document, as on the control port: the connection ends with
// its answer. The configuration is saved after a document that parsed, so
// the file holds what the server runs with; a refused one saves nothing.
int serve_control_document(io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    // Saving must fail under a file-size limit (and be answered), not kill
    // the process.
    std::signal(SIGXFSZ, SIG_IGN);
    if (handle_control_request(diag, input, output, nullptr) == 0) qx_write_config(diag);
    diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    return 0;
}

}  // namespace

int startup_inetd(cmdline_info_t *, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    // inetd starts us with SIGPIPE at its default: a client that leaves
    // mid-answer must end the work through a failed send, not kill us.
    if (qx_ignore_sigpipe(diag) < 0) {
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        return -1;
    }
    io_keep_alive(input->src.listen.sock);  // the connection inetd accepted for us
    if (input->src.listen.type == TYPE_CONTROL_PORT)
        return serve_control_document(input, output, diag);
    if (qx_limit_child_memory(diag) < 0) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    return qx_serve_connection(input, output, diag, SERVE_UNTIL_CLOSED);
}
