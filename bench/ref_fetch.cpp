// ref_fetch - the smallest program that takes the server's data path: per
// row SQLFetch, per column SQLGetData in the same chunks (2048 bytes of
// UTF-16 for character columns, 1024 bytes of 8-bit text for the others),
// each chunk escaped in one pass into a 64 KiB output buffer written with
// write(2). It prints the body of a Long/pcdata answer, byte for byte what
// the server writes after its head, so that the two can be compared with cmp
// and their speeds put side by side.
//
//   ref_fetch CONNSTR SQL            the Result element on standard output
//   ref_fetch --cycle N CONNSTR      N times connect, SELECT 1, disconnect;
//                                    prints the mean milliseconds per cycle
//   ref_fetch --block CONNSTR SQL    the same Result element fetched the
//                                    fastest way ODBC has: every column
//                                    bound, 256 rows per SQLFetch (values
//                                    must fit 1023 characters)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

namespace {

bool ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

[[noreturn]] void die(const char *what, SQLSMALLINT type, SQLHANDLE h)
{
    SQLCHAR state[6] = "", text[512] = "";
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (h != SQL_NULL_HANDLE) SQLGetDiagRec(type, h, 1, state, &native, text, sizeof text, &len);
    std::fprintf(stderr, "ref_fetch: %s failed: %s %s\n", what, state, text);
    std::exit(1);
}

// ------------------------------------------------------------- output

char out_buf[64 * 1024];
std::size_t out_len = 0;

void flush_out()
{
    std::size_t done = 0;
    while (done < out_len) {
        const ssize_t n = write(1, out_buf + done, out_len - done);
        if (n <= 0) std::exit(1);
        done += static_cast<std::size_t>(n);
    }
    out_len = 0;
}

// Room for `n` more bytes (n is at most a few hundred).
inline char *reserve(std::size_t n)
{
    if (out_len + n > sizeof out_buf) flush_out();
    return out_buf + out_len;
}

void put(const char *s, std::size_t n)
{
    if (n > sizeof out_buf / 2) {
        flush_out();
        if (write(1, s, n) != static_cast<ssize_t>(n)) std::exit(1);
        return;
    }
    std::memcpy(reserve(n), s, n);
    out_len += n;
}

void put(const std::string &s) { put(s.data(), s.size()); }

constexpr char HEX[] = "0123456789abcdef";

// One character of character data: markup characters as entities, ASCII as
// itself, everything else as a hexadecimal character reference.
inline char *escape_char(unsigned c, char *p)
{
    switch (c) {
    case '<': std::memcpy(p, "&lt;", 4); return p + 4;
    case '>': std::memcpy(p, "&gt;", 4); return p + 4;
    case '&': std::memcpy(p, "&amp;", 5); return p + 5;
    case '\'': std::memcpy(p, "&apos;", 6); return p + 6;
    case '"': std::memcpy(p, "&quot;", 6); return p + 6;
    default: break;
    }
    if (c < 0x80) {
        *p++ = static_cast<char>(c);
        return p;
    }
    const int digits = c <= 0xFF ? 2 : c <= 0xFFFF ? 4 : 5;
    *p++ = '&';
    *p++ = '#';
    *p++ = 'x';
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *p++ = HEX[(c >> shift) & 0xF];
    *p++ = ';';
    return p;
}

// A chunk of UTF-16 text (no terminator), up to its first NUL. At most 10
// output bytes per unit, so a 1024-unit chunk needs at most 10 KiB.
void put_wide(const SQLWCHAR *w, std::size_t units)
{
    char *p = reserve(units * 10);
    char *const start = p;
    for (std::size_t i = 0; i < units; i++) {
        unsigned u = w[i];
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF)
            u = 0x10000 + ((u - 0xD800) << 10) + (w[++i] - 0xDC00u);
        else if (u >= 0xD800 && u <= 0xDFFF)
            u = 0xFFFD;
        p = escape_char(u, p);
    }
    out_len += static_cast<std::size_t>(p - start);
}

void put_8bit(const unsigned char *s, std::size_t n)
{
    char *p = reserve(n * 6);
    char *const start = p;
    for (std::size_t i = 0; i < n && s[i] != 0; i++) p = escape_char(s[i], p);
    out_len += static_cast<std::size_t>(p - start);
}

// ------------------------------------------------------------- columns

bool wide_type(SQLSMALLINT t)
{
    return t == SQL_WVARCHAR || t == SQL_WCHAR || t == SQL_WLONGVARCHAR || t == SQL_LONGVARCHAR ||
           t == SQL_CHAR || t == SQL_VARCHAR;
}

struct column {
    SQLUSMALLINT number;
    bool wide;
    std::string open;  // "    <Column Name=\"x\">"
    std::string null;  // "    <Column Name=\"x\" isnull=\"yes\" />\n"
};

std::string attribute(const std::string &name)
{
    const bool dq = name.find('"') != std::string::npos;
    const char delim = dq ? '\'' : '"';
    std::string r(1, delim);
    for (char c : name) {
        switch (c) {
        case '&': r += "&amp;"; break;
        case '<': r += "&lt;"; break;
        case '>': r += "&gt;"; break;
        case '\'': r += delim == '\'' ? "&apos;" : "'"; break;
        case '"': r += delim == '"' ? "&quot;" : "\""; break;
        default: r += c;
        }
    }
    return r + delim;
}

std::vector<column> describe(SQLHSTMT st)
{
    SQLSMALLINT count = 0;
    SQLNumResultCols(st, &count);
    std::vector<column> cols;
    for (SQLUSMALLINT i = 1; i <= count; i++) {
        SQLCHAR name[256] = "";
        SQLSMALLINT name_len = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!ok(SQLDescribeCol(st, i, name, sizeof name, &name_len, &type, &size, &digits,
                               &nullable)))
            die("SQLDescribeCol", SQL_HANDLE_STMT, st);
        std::string n = name[0] ? reinterpret_cast<char *>(name) : "Column" + std::to_string(i);
        const std::string head = "    <Column Name=" + attribute(n);
        cols.push_back({i, wide_type(type), head + ">", head + " isnull=\"yes\" />\n"});
    }
    return cols;
}

// One value, chunk by chunk.
void put_value(SQLHSTMT st, const column &c)
{
    alignas(8) unsigned char buf[2048];
    const SQLSMALLINT ctype = c.wide ? SQL_C_WCHAR : SQL_C_CHAR;
    const SQLLEN size = c.wide ? 2048 : 1024;
    const SQLLEN term = c.wide ? 2 : 1;
    bool opened = false;
    for (;;) {
        SQLLEN ind = 0;
        const SQLRETURN r = SQLGetData(st, c.number, ctype, buf, size, &ind);
        if (r == SQL_NO_DATA) break;
        if (!ok(r)) die("SQLGetData", SQL_HANDLE_STMT, st);
        if (ind == SQL_NULL_DATA) {
            put(c.null);
            return;
        }
        if (!opened) {
            put(c.open);
            opened = true;
        }
        const SQLLEN bytes =
            (r == SQL_SUCCESS_WITH_INFO || ind < 0 || ind + term > size) ? size - term : ind;
        if (c.wide)
            put_wide(reinterpret_cast<SQLWCHAR *>(buf), static_cast<std::size_t>(bytes) / 2);
        else
            put_8bit(buf, static_cast<std::size_t>(bytes));
        if (r == SQL_SUCCESS) break;
    }
    put("</Column>\n", 10);
}

struct handles {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT st = SQL_NULL_HSTMT;
};

handles connect(const char *connstr, SQLINTEGER version = SQL_OV_ODBC2)
{
    handles h;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h.env);
    // ODBC 2 behaviour, as the server asks for it: the same type codes.
    // (Row arrays need ODBC 3.)
    SQLSetEnvAttr(h.env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(version), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, h.env, &h.dbc);
    if (!ok(SQLDriverConnect(h.dbc, nullptr, (SQLCHAR *)connstr, SQL_NTS, nullptr, 0, nullptr,
                             SQL_DRIVER_NOPROMPT)))
        die("SQLDriverConnect", SQL_HANDLE_DBC, h.dbc);
    SQLAllocHandle(SQL_HANDLE_STMT, h.dbc, &h.st);
    return h;
}

void disconnect(handles &h)
{
    SQLFreeHandle(SQL_HANDLE_STMT, h.st);
    SQLDisconnect(h.dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, h.dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, h.env);
}

int cycles(long n, const char *connstr)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < n; i++) {
        handles h = connect(connstr);
        if (!ok(SQLExecDirect(h.st, (SQLCHAR *)"SELECT 1", SQL_NTS)))
            die("SQLExecDirect", SQL_HANDLE_STMT, h.st);
        char v[16];
        SQLLEN ind = 0;
        while (ok(SQLFetch(h.st))) SQLGetData(h.st, 1, SQL_C_CHAR, v, sizeof v, &ind);
        disconnect(h);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%.4f\n", ms / static_cast<double>(n));
    return 0;
}

// The rows through bound columns, ROWS at a time.
int block(const char *connstr, const char *sql)
{
    constexpr SQLULEN ROWS = 256;
    handles h = connect(connstr, SQL_OV_ODBC3);
    SQLSetStmtAttr(h.st, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(ROWS), 0);
    SQLULEN fetched = 0;
    SQLSetStmtAttr(h.st, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    if (!ok(SQLExecDirect(h.st, (SQLCHAR *)sql, SQL_NTS))) die("SQLExecDirect", SQL_HANDLE_STMT, h.st);
    const std::vector<column> cols = describe(h.st);
    std::vector<std::vector<unsigned char>> data(cols.size());
    std::vector<std::vector<SQLLEN>> ind(cols.size(), std::vector<SQLLEN>(ROWS));
    for (std::size_t i = 0; i < cols.size(); i++) {
        const SQLLEN size = cols[i].wide ? 2048 : 1024;
        data[i].resize(static_cast<std::size_t>(size) * ROWS);
        if (!ok(SQLBindCol(h.st, cols[i].number, cols[i].wide ? SQL_C_WCHAR : SQL_C_CHAR,
                           data[i].data(), size, ind[i].data())))
            die("SQLBindCol", SQL_HANDLE_STMT, h.st);
    }
    put("<Result State=\"00000\">\n", 23);
    for (;;) {
        const SQLRETURN r = SQLFetch(h.st);
        if (r == SQL_NO_DATA) break;
        if (!ok(r)) die("SQLFetch", SQL_HANDLE_STMT, h.st);
        for (SQLULEN row = 0; row < fetched; row++) {
            put("<Row>\n", 6);
            for (std::size_t i = 0; i < cols.size(); i++) {
                const SQLLEN n = ind[i][row];
                if (n == SQL_NULL_DATA) {
                    put(cols[i].null);
                    continue;
                }
                put(cols[i].open);
                const unsigned char *v = data[i].data() + row * (cols[i].wide ? 2048 : 1024);
                if (cols[i].wide)
                    put_wide(reinterpret_cast<const SQLWCHAR *>(v), static_cast<std::size_t>(n) / 2);
                else
                    put_8bit(v, static_cast<std::size_t>(n));
                put("</Column>\n", 10);
            }
            put("</Row>\n", 7);
        }
    }
    put("</Result>\n", 10);
    flush_out();
    disconnect(h);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--block") == 0) return block(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "--cycle") == 0) {
        const long n = std::strtol(argv[2], nullptr, 10);
        if (n < 1 || n > 1000000) return 2;
        return cycles(n, argv[3]);
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: ref_fetch CONNSTR SQL | ref_fetch --cycle N CONNSTR | ref_fetch --block CONNSTR SQL\n");
        return 2;
    }
    handles h = connect(argv[1]);
    if (!ok(SQLExecDirect(h.st, (SQLCHAR *)argv[2], SQL_NTS)))
        die("SQLExecDirect", SQL_HANDLE_STMT, h.st);
    const std::vector<column> cols = describe(h.st);
    put("<Result State=\"00000\">\n", 23);
    for (;;) {
        const SQLRETURN r = SQLFetch(h.st);
        if (r == SQL_NO_DATA) break;
        if (!ok(r)) die("SQLFetch", SQL_HANDLE_STMT, h.st);
        put("<Row>\n", 6);
        for (const column &c : cols) put_value(h.st, c);
        put("</Row>\n", 7);
    }
    put("</Result>\n", 10);
    flush_out();
    disconnect(h);
    return 0;
}
