// keep.h - a connection child's kept database connection: with
// KeepConnections Yes (or a DataSource's Keep="Yes") the ODBC connection of
// one request serves the next request on the same client connection when
// that asks for exactly the same connection string. A child keeps at most
// one; it ends with the client connection, so no other client ever meets it.
#pragma once

#include <cstddef>

#include <sql.h>
#include <sqlext.h>

#include "config.h"
#include "odbc_util.h"

// Storage of the KeepConnections row: "Yes" or "No" (default).
inline constexpr std::size_t QX_KEEP_CONNECTIONS_SIZE = 8;
extern char ini_keep_connections[QX_KEEP_CONNECTIONS_SIZE];

// Row handlers (config.h types). The reader accepts Yes or No in any case
// and stores them as written here, or pushes one message naming the
// refused value and returns -1.
int attr_keep_connections_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);
void keep_connections_changed(ini_setting_t *ini);
// True under KeepConnections Yes.
bool qx_keep_connections(void);

// What a request does with kept connections (query_s keep_connection).
inline constexpr int QX_KEEP_NO = 0;      // connects and disconnects as always
inline constexpr int QX_KEEP_YES = 1;     // reuses a kept connection, and keeps its own
inline constexpr int QX_KEEP_RESET = -1;  // like NO, and ends the kept connection first

// The kept connection for `connect_string`, if this child holds one made
// with exactly that text: *henvp, *hdbcp and *info (the driver information
// read when it was made, the caller's to free) are set and true returned;
// the child holds nothing more. A kept connection for another text, or one
// the driver reports dead or that refuses autocommit, is disconnected and
// false returned.
bool qx_kept_take(const SQLWCHAR *connect_string, SQLHENV *henvp, SQLHDBC *hdbcp,
                  odbc_info_t *info);
// Keeps a connection in a clean state (no statement, no open transaction,
// autocommit on) for the next request with `connect_string`, taking over
// the handles and the strings of *info (emptied). A connection kept before
// is disconnected first.
void qx_kept_put(const SQLWCHAR *connect_string, SQLHENV henv, SQLHDBC hdbc, odbc_info_t *info);
// Disconnects and frees the kept connection, if any.
void qx_kept_drop(void);
