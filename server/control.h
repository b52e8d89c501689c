// control.h - one document on the control port: fetch the configuration,
// replace it, or fetch the statistics.
#pragma once

#include <cstdint>

#include "diag.h"
#include "iodef.h"

struct stats_s;

// A control connection has this long for its whole document (and for its
// TLS handshake before it, when the port speaks TLS).
inline constexpr std::uint32_t CONTROL_READ_TIMEOUT_SECONDS = 10;

// Serves one control document (configuration fetch or change, statistics),
// or one HTTP request (GET /metrics, /stats, /config; PUT /config), and
// closes the connection. A document not complete within 10 seconds is
// answered with the timeout error result; a deadline already running on
// `input` (set before a handshake) is kept instead. 0 when the document parsed and the caller
// saves the configuration; 1 when it was a configuration refused at one of
// its values, which changed nothing and saves nothing, or an HTTP request
// (a PUT saved what it changed); -1 when it did not parse.
// `stats` may be null (inetd), which answers a statistics request with an
// error result.
int handle_control_request(diagstk_t *diag, io_in_t *input, io_out_t *output,
                           stats_s *stats);
