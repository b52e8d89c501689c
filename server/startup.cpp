// startup.cpp - the single-stream start-up routines (pipe and file, one TCP
// connection, inetd) and the request step they share.

#include <csignal>
#include <cstdio>

#include "cmdline.h"
#include "config.h"
#include "log.h"
#include "quillet_defs.h"

namespace {

// Executes a query that has been read and releases it. A failure that was
// not answered on the channel goes to the event channel.
int execute_request(query_t *query, io_out_t *output, diagstk_t *diag)
{
    const int r = qx_odbc_result(query, output, diag);
    if (r == ANSWER_UNREPORTED) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    freeup_query(query);
    io_flush(output, diag);  // the whole answer is out before the next read
    return r;
}

// One request step whose unreadable request is answered with the error
// result document; shared by pipe, file and tcpip_listen.
int serve_one_request(io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    query_t query;
    query_init(&query);
    if (qx_get_request(diag, input, &query) < 0) {
        freeup_query(&query);
        diagstk_output(diag, DIAGSTK_TO_CLIENT, output);
        return -1;
    }
    return execute_request(&query, output, diag) < 0 ? -1 : 0;
}

}  // namespace

int startup_fileio(cmdline_info_t *, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    if (io_open_channels(input, output, diag) != 0) {
        diagstk_output(diag, 0, nullptr);
        return -1;
    }
    return serve_one_request(input, output, diag);
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
    return serve_one_request(input, output, diag);
}

int startup_inetd(cmdline_info_t *, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    // A control connection saves the configuration: a file-size limit must
    // fail that write (and be answered), not kill the process.
    if (input->src.listen.type == TYPE_CONTROL_PORT) std::signal(SIGXFSZ, SIG_IGN);
    // inetd starts us with SIGPIPE at its default: a client that leaves
    // mid-answer must end the work through a failed send, not kill us.
    if (qx_ignore_sigpipe(diag) < 0) {
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        return -1;
    }
    for (;;) {
        if (input->src.listen.type == TYPE_CONTROL_PORT) {
            if (handle_control_request(diag, input, output, nullptr) != 0) break;
            if (qx_write_config(diag) < 0) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
            continue;
        }
        query_t query;
        query_init(&query);
        if (qx_get_request(diag, input, &query) < 0) {
            freeup_query(&query);
            if (input->state == IO_STATE_EOF) {
                diagstk_remove(diag, 0);  // the peer closed between requests
                return 0;
            }
            diagstk_output(diag, DIAGSTK_TO_CLIENT, output);
            return -1;
        }
        execute_request(&query, output, diag);
        if (output->state & IO_STATE_PEER_GONE) return 0;  // nobody left to answer
    }
    diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    return 0;
}
