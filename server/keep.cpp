// keep.cpp - the one database connection a connection child may keep
// between the requests of its client.

#include "keep.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "log.h"
#include "odbc.h"
#include "util.h"

char ini_keep_connections[QX_KEEP_CONNECTIONS_SIZE];

namespace {

constexpr std::string_view YES = "Yes", NO = "No";

bool keep_all = false;

struct kept_connection {
    std::vector<SQLWCHAR> key;  // the connection string, NUL included
    SQLHENV henv = SQL_NULL_HENV;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    odbc_info_t info{};
};

kept_connection kept;

bool ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

std::size_t wide_length(const SQLWCHAR *text)
{
    std::size_t n = 0;
    while (text[n] != 0) n++;
    return n;
}

bool same_key(const SQLWCHAR *connect_string)
{
    const std::size_t n = wide_length(connect_string) + 1;
    return kept.key.size() == n && std::equal(kept.key.begin(), kept.key.end(), connect_string);
}

// Whether a kept connection can take the next request: the driver does not
// know it dead, and it takes autocommit (which every request sets anyway).
// Asking costs no round trip to the database with the drivers we know.
bool usable(SQLHDBC hdbc)
{
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (ok(SQLGetConnectAttr(hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
        dead == SQL_CD_TRUE)
        return false;
    return ok(SQLSetConnectAttr(hdbc, SQL_ATTR_AUTOCOMMIT,
                                reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER));
}

}  // namespace

int attr_keep_connections_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    return qx_ini_word(diag, ini, static_cast<const char *>(val), {YES, NO},
                       "attr_keep_connections", nullptr);
}

void keep_connections_changed(ini_setting_t *ini)
{
    // An emptied row is read as the default.
    keep_all = static_cast<const char *>(ini->destination) == YES;
}

bool qx_keep_connections(void) { return keep_all; }

bool qx_kept_take(const SQLWCHAR *connect_string, SQLHENV *henvp, SQLHDBC *hdbcp,
                  odbc_info_t *info)
{
    if (kept.hdbc == SQL_NULL_HDBC) return false;
    if (!same_key(connect_string) || !usable(kept.hdbc)) {
        if (qx_tracing(QX_LOG_ODBC)) qx_log("kept connection not reused: ended\n");
        qx_kept_drop();
        return false;
    }
    *henvp = std::exchange(kept.henv, nullptr);
    *hdbcp = std::exchange(kept.hdbc, nullptr);
    *info = std::exchange(kept.info, odbc_info_t{});
    kept.key.clear();
    if (qx_tracing(QX_LOG_ODBC)) qx_log("kept connection reused\n");
    return true;
}

void qx_kept_put(const SQLWCHAR *connect_string, SQLHENV henv, SQLHDBC hdbc, odbc_info_t *info)
{
    qx_kept_drop();
    kept.key.assign(connect_string, connect_string + wide_length(connect_string) + 1);
    kept.henv = henv;
    kept.hdbc = hdbc;
    kept.info = std::exchange(*info, odbc_info_t{});
}

void qx_kept_drop(void)
{
    if (kept.hdbc == SQL_NULL_HDBC) return;
    odbc_close(nullptr, std::exchange(kept.henv, nullptr),
               std::exchange(kept.hdbc, nullptr), SQL_NULL_HSTMT, &kept.info);
    kept.key.clear();
}
