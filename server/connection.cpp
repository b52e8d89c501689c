// connection.cpp - the one request step, shared by every method that
// serves requests.

#include "connection.h"

#include "config.h"
#include "keep.h"
#include "odbc.h"
#include "request.h"
#include "xml.h"

namespace {

enum class step_result { answered, failed, unreadable, closed };

// The peer closed the connection between requests: the end of input came
// before any byte of a new request (blanks between requests are none). A
// request cut short by the close is answered like any unreadable one.
bool closed_between_requests(const io_in_t *input)
{
    return (input->state & IO_STATE_EOF) != 0 &&
           (input->state & (IO_STATE_ERROR | IO_STATE_DOCUMENT)) == 0;
}

// One request: read, run, answer, release. `until_closed` tells a peer that
// closes the connection between requests (not an error) from an empty
// request (answered with an error result). The document must be complete
// within `request_seconds` (0: no limit) from now.
step_result serve_request(io_in_t *input, io_out_t *output, diagstk_t *diag, bool until_closed,
                          std::uint32_t request_seconds)
{
    query_t query;
    query_init(&query);
    io_set_deadline(input, request_seconds);
    const int got = qx_get_request(diag, input, &query);
    io_set_deadline(input, 0);
    if (got < 0) {
        freeup_query(&query);
        if (until_closed && closed_between_requests(input)) {
            diagstk_remove(diag, 0);  // the peer closed between requests
            return step_result::closed;
        }
        qx_output_error_result(diag, output);
        return step_result::unreadable;
    }
    const answer_outcome r = qx_odbc_result(&query, output, diag);
    if (r == ANSWER_UNREPORTED) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    freeup_query(&query);
    io_flush(output, diag);  // the whole answer is out before the next read
    return r == ANSWER_COMPLETE ? step_result::answered : step_result::failed;
}

}  // namespace

int qx_serve_connection(io_in_t *input, io_out_t *output, diagstk_t *diag, serve_mode mode)
{
    // A database connection kept between requests ends with the client
    // connection it served, however that ends.
    struct end_kept {
        ~end_kept() { qx_kept_drop(); }
    } kept;
    // The limits in force when the connection starts hold for its whole life.
    const std::uint32_t idle_seconds = ini_idle_timeout, request_seconds = ini_request_timeout;
    // Requests may follow each other without waiting for the answers: on a
    // connection that carries many, bytes read past one are kept for the next.
    input->many_documents = mode == SERVE_UNTIL_CLOSED;
    for (;;) {
        // Nothing within IdleTimeout, or the server shuts down: the
        // connection ends without an answer.
        if (io_wait_read_ready(input, idle_seconds) <= 0) return 0;
        const step_result r =
            serve_request(input, output, diag, mode == SERVE_UNTIL_CLOSED, request_seconds);
        if (mode == SERVE_ONE_REQUEST) return r == step_result::answered ? 0 : -1;
        switch (r) {
        case step_result::unreadable: return -1;
        case step_result::closed: return 0;
        case step_result::answered:
        case step_result::failed: break;  // the client has its answer
        }
        if (output->state & IO_STATE_PEER_GONE) return 0;  // nobody left to answer
    }
}
