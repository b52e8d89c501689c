// startup.cpp - the single-stream start-up routines: pipe and file, one TCP
// connection, inetd.

#include "startup.h"

#include <csignal>
#include <sys/socket.h>

#include "config.h"
#include "connection.h"
#include "control.h"
#include "signals.h"
#include "tls.h"
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
    if (qx_tls_start(diag) < 0 || io_open_channels(input, output, diag) != 0) {
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
    qx_tls_expect(input, output);
    if (output->tls_expected &&
        qx_tls_accept(diag, input, output, ini_request_timeout) < 0) {
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        return -1;
    }
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

namespace {

// The address of the client inetd accepted for us, for the data sources'
// Client lists. Left empty when standard input is no socket: a Client list
// then denies the request.
void set_inetd_peer(io_in_t *input)
{
    char *text = input->src.listen.client_ip;
    const socklen_t size = sizeof input->src.listen.client_ip;
    text[0] = '\0';
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(input->src.listen.sock, reinterpret_cast<sockaddr *>(&peer), &len) != 0)
        return;
    io_peer_text(peer, text, size);
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
    set_inetd_peer(input);
    if (input->src.listen.type == TYPE_CONTROL_PORT)
        return serve_control_document(input, output, diag);
    if (qx_limit_child_memory(diag) < 0) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    return qx_serve_connection(input, output, diag, SERVE_UNTIL_CLOSED);
}
