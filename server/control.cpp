// control.cpp - one request on the control port: fetch the configuration,
// replace it, or fetch the statistics.

#include "control.h"

#include "config.h"
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

}  // namespace

int handle_control_request(diagstk_t *diag, io_in_t *input, io_out_t *output, stats_s *stats)
{
    void *ptree = nullptr;
    // A TLS handshake before the document has started the clock already.
    if (input->deadline == 0) io_set_deadline(input, CONTROL_READ_TIMEOUT_SECONDS);
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
