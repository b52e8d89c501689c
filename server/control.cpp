// control.cpp - one request on the control port: fetch the configuration,
// replace it, or fetch the statistics.

#include "control.h"

#include "config.h"
#include "parse.h"
#include "statistics.h"
#include "xml.h"

namespace {

constexpr const char *OP = "handle_control_request";

bool found(int r) { return r == TREE_ELEMENT_DATA || r == TREE_ELEMENT_NO_DATA; }

void write_success(io_out_t *output, diagstk_t *diag)
{
    output_xml_prolog(output, nullptr, nullptr, diag);
    io_write(output, diag, "<Result Status=\"00000\">\n</Result>\n", 0);
    output_xml_epilog(output, diag);
}

// Answers a parsed control document; false when the answer must be the
// error result document built from the stack.
bool answer(diagstk_t *diag, void *ptree, io_out_t *output, stats_s *stats)
{
    char *val = nullptr;
    int r = qx_tree_element(diag, ptree, 0, "Request/Configuration", &val, nullptr);
    if (r == TREE_ELEMENT_ERROR) return false;
    if (found(r)) {
        if (qx_return_config(diag, output) < 0) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        return true;
    }
    r = qx_tree_element(diag, ptree, 0, "Configuration", &val, nullptr);
    if (r == TREE_ELEMENT_ERROR) return false;
    if (found(r)) {
        if (qx_use_config(diag, ptree) < 0 || qx_write_config(diag) < 0) return false;
        write_success(output, diag);
        return true;
    }
    r = qx_tree_element(diag, ptree, 0, "Request/Statistics", &val, nullptr);
    if (r == TREE_ELEMENT_ERROR) return false;
    if (found(r)) {
        if (qx_return_statistics(diag, output, stats) < 0)
            diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        return true;
    }
    diagstk_add(diag, 3, "%s: Request not recognised", OP);
    return false;
}

}  // namespace

int handle_control_request(diagstk_t *diag, io_in_t *input, io_out_t *output, stats_s *stats)
{
    void *ptree = nullptr;
    if (qx_parse_xml(diag, input, &ptree) < 0) {
        qx_output_error_result(diag, output);
        io_close_channels(nullptr, output, diag);
        return -1;
    }
    if (!answer(diag, ptree, output, stats)) qx_output_error_result(diag, output);
    qx_free_parse_tree(diag, ptree);
    io_close_channels(nullptr, output, diag);
    return 0;
}
