// control.h - one document on the control port: fetch the configuration,
// replace it, or fetch the statistics.
#pragma once

#include "diag.h"
#include "iodef.h"

struct stats_s;

// Serves one control document (configuration fetch or change, statistics)
// and closes the connection. A document not complete within 10 seconds is
// answered with the timeout error result. 0 when the document parsed and the caller
// saves the configuration; 1 when it was a configuration refused at one of
// its values, which changed nothing and saves nothing; -1 when it did not
// parse.
// `stats` may be null (inetd), which answers a statistics request with an
// error result.
int handle_control_request(diagstk_t *diag, io_in_t *input, io_out_t *output,
                           stats_s *stats);
