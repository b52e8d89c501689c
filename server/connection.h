// connection.h - the one request step: read a request document, run it,
// answer it, for every method that serves requests (pipe, file,
// tcpip_listen, inetd and the standalone server's connection child).
#pragma once

#include "diag.h"
#include "iodef.h"

enum serve_mode : int {
    SERVE_ONE_REQUEST = 0,   // pipe, file, tcpip_listen: one document, then done
    SERVE_UNTIL_CLOSED = 1,  // inetd, connection child: request after request
};

// Serves the requests of one connection: query_init, qx_get_request,
// qx_odbc_result, freeup_query, once or until the peer closes the
// connection between requests or leaves in the middle of an answer. A
// request ends where its root element ends. With SERVE_UNTIL_CLOSED a
// client may send requests without waiting for the answers (they are
// answered in order); with SERVE_ONE_REQUEST what follows the request is
// ignored. A request that cannot be read (one cut short by the end of input
// included) is answered with the error result document and ends the
// connection. A failure that was not answered on the channel
// goes to the event channel. Every answer is flushed before the next read.
//
// On a socket the settings IdleTimeout and RequestTimeout, as they are when
// the call starts, limit the wait for the first byte of each request and
// the time from that byte to the whole document. A connection idle for
// longer, or told to stop while it waits (the server shuts down), ends
// without an answer; a late document is answered with the timeout error
// result, like any unreadable request.
//
// Returns 0 when every request was answered (with SERVE_UNTIL_CLOSED: the
// peer closed or left, or the connection ended idle), -1 when a request
// could not be read, or (with SERVE_ONE_REQUEST) when the request failed.
// The caller closes the channels.
int qx_serve_connection(io_in_t *input, io_out_t *output, diagstk_t *diag, serve_mode mode);
