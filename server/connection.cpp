// connection.cpp - the one request step, shared by every method that
// serves requests.

#include "connection.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "http.h"
#include "keep.h"
#include "metrics.h"
#include "odbc.h"
#include "parse.h"
#include "reports.h"
#include "request.h"
#include "xml.h"

namespace {

// `finished`: answered, and the connection ends (an HTTP client asked for
// it, or its request cannot be told from the next).
enum class step_result { answered, failed, unreadable, closed, finished };

// The peer closed the connection between requests: the end of input came
// before any byte of a new request (blanks between requests are none). A
// request cut short by the close is answered like any unreadable one.
bool closed_between_requests(const io_in_t *input)
{
    return (input->state & IO_STATE_EOF) != 0 &&
           (input->state & (IO_STATE_ERROR | IO_STATE_DOCUMENT)) == 0;
}

// Counts one request in the shared metrics when it ends: its kind and
// outcome, the bytes of its answer and the time from its first byte.
class request_meter {
public:
    explicit request_meter(const io_out_t *output)
        : output_(output), written_(sent(output)), start_(std::chrono::steady_clock::now())
    {
    }
    void count(request_kind kind, request_outcome outcome) const
    {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start_;
        // Sent bytes are counted modulo 2^32: exact for any answer below 4 GiB.
        qx_metrics_request(kind, outcome, static_cast<std::uint32_t>(sent(output_) - written_),
                           took.count());
    }

private:
    static std::uint32_t sent(const io_out_t *o)
    {
        return o->method == XML_OUTPUT_METHOD_LISTEN ? o->dst.written : 0;
    }
    const io_out_t *output_;
    std::uint32_t written_;
    std::chrono::steady_clock::time_point start_;
};

request_kind kind_of(const query_t *q)
{
    if (q->procedure != nullptr) return request_kind::procedure;
    if (q->transaction != nullptr) return request_kind::transaction;
    if (q->meta != 0) return request_kind::tables;
    return request_kind::sql;
}

request_outcome outcome_of(answer_outcome r)
{
    switch (r) {
    case ANSWER_COMPLETE: return request_outcome::ok;
    case ANSWER_FAILED: return request_outcome::error;
    case ANSWER_UNREPORTED:
    case ANSWER_PEER_GONE: break;
    }
    return request_outcome::incomplete;
}

// Runs a request that was read, answers it and releases it; the whole
// answer is out (an HTTP answer ended) before the next read.
answer_outcome run_query(query_t *query, io_out_t *output, diagstk_t *diag,
                         const request_meter &meter)
{
    const request_kind kind = kind_of(query);
    const answer_outcome r = qx_odbc_result(query, output, diag);
    if (r == ANSWER_UNREPORTED) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    freeup_query(query);
    io_flush(output, diag);
    meter.count(kind, outcome_of(r));
    return r;
}

// One request: read, run, answer, release. `until_closed` tells a peer that
// closes the connection between requests (not an error) from an empty
// request (answered with an error result). The document must be complete
// by the input's deadline.
step_result serve_request(io_in_t *input, io_out_t *output, diagstk_t *diag, bool until_closed)
{
    const request_meter meter(output);
    query_t query;
    query_init(&query);
    const int got = qx_get_request(diag, input, &query);
    io_set_deadline(input, 0);
    if (got < 0) {
        freeup_query(&query);
        if (until_closed && closed_between_requests(input)) {
            diagstk_remove(diag, 0);  // the peer closed between requests
            return step_result::closed;
        }
        qx_output_error_result(diag, output);
        meter.count(request_kind::none, request_outcome::refused);
        return step_result::unreadable;
    }
    const answer_outcome r = run_query(&query, output, diag, meter);
    return r == ANSWER_COMPLETE ? step_result::answered : step_result::failed;
}

// Answers an HTTP request that is refused before it runs with `status`
// and the error result document of the reason; the connection ends.
step_result refuse_http(io_out_t *output, diagstk_t *diag, http_request_t req, int status,
                        const request_meter &meter)
{
    req.keep_alive = false;
    qx_http_begin_answer(output, req, status);
    qx_output_error_result(diag, output);  // ends the answer
    meter.count(request_kind::none, request_outcome::refused);
    return step_result::unreadable;
}

// Values for the named parameters of a stored request, from its query string.
using named_values = std::vector<std::pair<std::string, std::string>>;

step_result run_body(io_in_t *input, io_out_t *output, diagstk_t *diag, http_request_t req,
                     const request_meter &meter, const named_values &named = {});

// Runs the request document in the body of `req` and answers it with 200,
// whatever the State values in the answer: the request ran.
step_result run_http_query(io_in_t *input, io_out_t *output, diagstk_t *diag, http_request_t req,
                           const request_meter &meter)
{
    if (req.content_length > static_cast<long long>(QX_MAX_REQUEST_BYTES)) {
        diagstk_add(diag, 3, "Request too large - more than %zu bytes", QX_MAX_REQUEST_BYTES);
        return refuse_http(output, diag, req, 413, meter);
    }
    qx_http_begin_body(input, output, req, diag);
    return run_body(input, output, diag, req, meter);
}

// GET /r/NAME: the stored request document NAME.xml of RequestDir, read as
// the body of the request would be, with the connection's address and
// identity for the data source's lists.
step_result run_stored_request(io_in_t *input, io_out_t *output, diagstk_t *diag,
                               http_request_t req, const request_meter &meter)
{
    const std::string_view path = qx_http_path(req);
    std::string doc;
    switch (qx_read_report_file(diag, ini_request_dir, path.substr(3), ".xml", &doc)) {
    case report_file::unknown: qx_http_refuse_path(output, req, nullptr, diag); return step_result::finished;
    case report_file::unreadable: return refuse_http(output, diag, req, 500, meter);
    case report_file::found: break;
    }
    named_values named;
    if (!qx_http_query(req, &named)) {
        diagstk_add(diag, 3, "Bad HTTP request - malformed query string");
        return refuse_http(output, diag, req, 400, meter);
    }
    // A body sent with a GET is not read: the connection ends after it.
    if (req.chunked || req.content_length > 0) req.keep_alive = false;
    io_unread(input, doc);
    input->http.framing = http_framing::length;
    input->http.remaining = doc.size();
    return run_body(input, output, diag, req, meter, named);
}

// GET /xsl/NAME.xsl: a style sheet of StyleSheetDir, for the browser that
// shows a report.
step_result send_style_sheet(io_out_t *output, diagstk_t *diag, http_request_t req)
{
    const std::string_view file = qx_http_path(req).substr(5);
    const std::size_t dot = file.rfind(".xsl");
    std::string sheet;
    const report_file r =
        dot == std::string_view::npos || dot + 4 != file.size()
            ? report_file::unknown
            : qx_read_report_file(diag, ini_stylesheet_dir, file.substr(0, dot), ".xsl", &sheet);
    if (r != report_file::found) {
        if (r == report_file::unreadable) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        qx_http_refuse_path(output, req, nullptr, diag);
        return step_result::finished;
    }
    if (req.chunked || req.content_length > 0) req.keep_alive = false;
    qx_http_begin_answer(output, req, 200);
    output->http.content_type = "text/xsl; charset=utf-8";
    io_write(output, diag, sheet.data(), sheet.size());
    io_flush(output, diag);
    return output->http.keep_alive ? step_result::answered : step_result::finished;
}

// Reads the request document of an HTTP request through the body framing
// set up on `input`, then runs and answers it.
// Binds the query string's values to the stored request's parameters of
// those names; a name the document does not declare refuses the request.
bool bind_named(diagstk_t *diag, query_t *query, const named_values &named)
{
    for (const auto &[name, value] : named) {
        const int changed = qx_set_named_parameter(diag, query, name, value);
        if (changed < 0) return false;
        if (changed == 0) {
            diagstk_add(diag, 3, "Unknown parameter \"%s\" - the stored request declares no Parameter of that Name",
                        name.c_str());
            return false;
        }
    }
    return true;
}

step_result run_body(io_in_t *input, io_out_t *output, diagstk_t *diag, http_request_t req,
                     const request_meter &meter, const named_values &named)
{
    query_t query;
    query_init(&query);
    // The body holds one document: what follows its root element is the
    // body's, not the next request's.
    const bool many = input->many_documents;
    input->many_documents = false;
    const int got = qx_get_request(diag, input, &query);
    input->many_documents = many;
    if (got < 0) {
        freeup_query(&query);
        input->http = http_body_t{};
        return refuse_http(output, diag, req, qx_http_refusal_status(input), meter);
    }
    if (!bind_named(diag, &query, named)) {
        freeup_query(&query);
        input->http = http_body_t{};
        return refuse_http(output, diag, req, 400, meter);
    }
    // A body that does not end as its framing says leaves the connection
    // out of step: it ends after this answer.
    if (!qx_http_end_body(input, diag)) req.keep_alive = false;
    qx_http_begin_answer(output, req, 200);
    const answer_outcome r = run_query(&query, output, diag, meter);
    if (!output->http.keep_alive) return step_result::finished;
    return r == ANSWER_COMPLETE ? step_result::answered : step_result::failed;
}

// One HTTP exchange, the head and body by the input's deadline.
step_result serve_http(io_in_t *input, io_out_t *output, diagstk_t *diag, bool until_closed)
{
    const request_meter meter(output);
    http_request_t req;
    const int head = qx_http_read_head(diag, input, &req);
    step_result r = step_result::closed;
    if (head == HTTP_CLOSED) {
        diagstk_remove(diag, 0);
    } else if (head != 0) {
        r = refuse_http(output, diag, req, head, meter);
    } else {
        if (!until_closed) req.keep_alive = false;
        const std::string_view path = qx_http_path(req);
        if (qx_http_is_query(req)) {
            r = run_http_query(input, output, diag, req, meter);
        } else if (req.method == "GET" && path.starts_with("/r/")) {
            r = run_stored_request(input, output, diag, req, meter);
        } else if (req.method == "GET" && path.starts_with("/xsl/")) {
            r = send_style_sheet(output, diag, req);
        } else {
            r = qx_http_answer_other(output, req, diag) == http_outcome::keep
                    ? step_result::answered
                    : step_result::finished;
        }
    }
    io_set_deadline(input, 0);
    return r;
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
        const bool until_closed = mode == SERVE_UNTIL_CLOSED;
        // The clock starts before the first byte is looked at: over TLS
        // even that byte may be a record the client never completes.
        io_set_deadline(input, request_seconds);
        const step_result r = qx_http_request_next(input, diag)
                                  ? serve_http(input, output, diag, until_closed)
                                  : serve_request(input, output, diag, until_closed);
        io_set_deadline(input, 0);
        if (mode == SERVE_ONE_REQUEST)
            return r == step_result::answered || r == step_result::finished ? 0 : -1;
        switch (r) {
        case step_result::unreadable: return -1;
        case step_result::closed:
        case step_result::finished: return 0;
        case step_result::answered:
        case step_result::failed: break;  // the client has its answer
        }
        if (output->state & IO_STATE_PEER_GONE) return 0;  // nobody left to answer
    }
}
