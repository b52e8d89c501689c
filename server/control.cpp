// control.cpp - one request on the control port: fetch the configuration,
// replace it, or fetch the statistics.

#include "control.h"

#include "config.h"
#include "http.h"
#include "metrics.h"
#include "parse.h"
#include "statistics.h"
#include "xml.h"

namespace {

constexpr const char *OP = "handle_control_request";
// The standalone server reads control documents in its own loop: a client
// gets this long for its whole document, however steadily it sends.

bool found(int r) { return r == TREE_ELEMENT_DATA || r == TREE_ELEMENT_NO_DATA; }

void write_success(io_out_t *output, diagstk_t *diag)
{
    output_xml_prolog(output, nullptr, nullptr, diag);
    io_write(output, diag, "<Result Status=\"00000\">\n</Result>\n", 0);
    output_xml_epilog(output, diag);
}

enum class reply { answered, failed, refused_configuration };

// Answers a parsed control document. `failed` and `refused_configuration`
// mean the answer must be the error result document built from the stack;
// a refused configuration has changed nothing.
reply answer(diagstk_t *diag, void *ptree, io_out_t *output, stats_s *stats)
{
    char *val = nullptr;
    int r = qx_tree_element(diag, ptree, 0, "Request/Configuration", &val, nullptr);
    if (r == TREE_ELEMENT_ERROR) return reply::failed;
    if (found(r)) {
        if (qx_return_config(diag, output) < 0) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        return reply::answered;
    }
    r = qx_tree_element(diag, ptree, 0, "Configuration", &val, nullptr);
    if (r == TREE_ELEMENT_ERROR) return reply::failed;
    if (found(r)) {
        if (qx_use_config(diag, ptree) < 0) return reply::refused_configuration;
        if (qx_write_config(diag) < 0) return reply::failed;
        write_success(output, diag);
        return reply::answered;
    }
    r = qx_tree_element(diag, ptree, 0, "Request/Statistics", &val, nullptr);
    if (r == TREE_ELEMENT_ERROR) return reply::failed;
    if (found(r)) {
        if (qx_return_statistics(diag, output, stats) < 0)
            diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        return reply::answered;
    }
    diagstk_add(diag, 3, "%s: Request not recognised", OP);
    return reply::failed;
}

// PUT /config: the configuration document as the body, applied and saved
// as one sent in the raw protocol is; 400 with the error document when it
// is refused (nothing changed).
void put_config(diagstk_t *diag, io_in_t *input, io_out_t *output, const http_request_t &req)
{
    qx_http_begin_body(input, output, req, diag);
    void *ptree = nullptr;
    const int parsed = qx_parse_xml(diag, input, &ptree);
    input->http = http_body_t{};
    bool ok = parsed >= 0;
    if (ok) {
        char *val = nullptr;
        const int r = qx_tree_element(diag, ptree, 0, "Configuration", &val, nullptr);
        if (!found(r)) {
            if (r != TREE_ELEMENT_ERROR)
                diagstk_add(diag, 3, "%s: Request not recognised", OP);
            ok = false;
        } else {
            ok = qx_use_config(diag, ptree) == 0 && qx_write_config(diag) == 0;
        }
        qx_free_parse_tree(diag, ptree);
    }
    qx_http_begin_answer(output, req, ok ? 200 : qx_http_refusal_status(input));
    if (ok) {
        write_success(output, diag);
        io_flush(output, diag);
    } else {
        qx_output_error_result(diag, output);
    }
}

// One control request in HTTP: GET /metrics (Prometheus text), GET /stats,
// GET /config, PUT /config. One request per connection; nothing but a
// PUT changes or saves the configuration, so a monitoring system that
// scrapes the metrics never rewrites the file.
void control_http(diagstk_t *diag, io_in_t *input, io_out_t *output, stats_s *stats)
{
    http_request_t req;
    const int head = qx_http_read_head(diag, input, &req);
    req.keep_alive = false;
    if (head == HTTP_CLOSED) {
        diagstk_remove(diag, 0);
        return;
    }
    if (head != 0) {
        qx_http_begin_answer(output, req, head);
        qx_output_error_result(diag, output);
        return;
    }
    const std::string_view path = qx_http_path(req);
    const bool get = req.method == "GET";
    if (path == "/config" && req.method == "PUT") return put_config(diag, input, output, req);
    if (!get || (path != "/metrics" && path != "/stats" && path != "/config")) {
        const bool known = path == "/metrics" || path == "/stats" || path == "/config";
        return qx_http_refuse_path(output, req, known ? (path == "/config" ? "GET, PUT" : "GET") : nullptr,
                                   diag);
    }
    qx_http_begin_answer(output, req, 200);
    if (path == "/metrics") {
        if (stats != nullptr) qx_metrics_children_active(stats->n_active_threads);
        output->http.content_type = "text/plain; version=0.0.4; charset=utf-8";
        const std::string text = qx_metrics_text();
        io_write(output, diag, text.data(), text.size());
    } else if (path == "/stats") {
        qx_return_statistics(diag, output, stats);
    } else if (qx_return_config(diag, output) < 0) {
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    }
    io_flush(output, diag);
}

}  // namespace

int handle_control_request(diagstk_t *diag, io_in_t *input, io_out_t *output, stats_s *stats)
{
    void *ptree = nullptr;
    // A TLS handshake before the document has started the clock already.
    if (input->deadline == 0) io_set_deadline(input, CONTROL_READ_TIMEOUT_SECONDS);
    if (qx_http_request_next(input, diag)) {
        control_http(diag, input, output, stats);
        io_set_deadline(input, 0);
        io_close_channels(nullptr, output, diag);
        return 1;  // saved already when it was a PUT that changed the settings
    }
    const int parsed = qx_parse_xml(diag, input, &ptree);
    io_set_deadline(input, 0);
    if (parsed < 0) {
        qx_output_error_result(diag, output);
        io_close_channels(nullptr, output, diag);
        return -1;
    }
    const reply r = answer(diag, ptree, output, stats);
    if (r != reply::answered) qx_output_error_result(diag, output);
    qx_free_parse_tree(diag, ptree);
    io_close_channels(nullptr, output, diag);
    return r == reply::refused_configuration ? 1 : 0;
}
