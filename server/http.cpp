// http.cpp - HTTP/1.1 on the request port: the request head, the body's
// framing, the answer's head and chunks, and the exchanges that are not
// queries (health check, unknown paths, wrong methods).

#include "http.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>

#include "config.h"
#include "iodef.h"
#include "parse.h"
#include "util.h"
#include "xml.h"

char ini_http[8];

namespace {

constexpr std::string_view CRLF = "\r\n";
constexpr std::string_view YES = "Yes", NO = "No";
bool http_on = true;

// ------------------------------------------------------------- the head

bool is_tchar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), is_tchar);
}

// Visible characters, blanks and obs-text: what a field value may hold.
bool is_field_text(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u != 0x7f);
    });
}

std::string_view trim_ows(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

int refuse(std::string *why, int status, std::string text)
{
    *why = std::move(text);
    return status;
}

int parse_request_line(std::string_view line, http_request_t *req, std::string *why)
{
    if (line.size() > HTTP_MAX_REQUEST_LINE)
        return refuse(why, 400, "Bad HTTP request - request line too long");
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos)
        return refuse(why, 400, "Bad HTTP request - malformed request line");
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!is_token(method)) return refuse(why, 400, "Bad HTTP request - malformed method");
    if (target.empty() || target.front() != '/' ||
        !std::all_of(target.begin(), target.end(),
                     [](char c) { return c > 0x20 && c < 0x7f; }))
        return refuse(why, 400, "Bad HTTP request - malformed request target");
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
        version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
        return refuse(why, 400, "Bad HTTP request - malformed HTTP version");
    if (version[5] != '1') return refuse(why, 505, "HTTP version not supported");
    req->method = method;
    req->target = target;
    req->minor = version[7] - '0';
    req->keep_alive = req->minor >= 1;
    return 0;
}

// Content-Length: digits only, the same value however often it is given;
// "5, 5" is one value given twice.
int content_length(std::string_view value, http_request_t *req, std::string *why)
{
    for (std::string_view item : qx_list_items(value)) {
        item = trim_ows(item);
        long long n = 0;
        if (item.empty() || item.size() > 15 ||
            !std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return refuse(why, 400, "Bad HTTP request - invalid Content-Length");
        for (const char c : item) n = n * 10 + (c - '0');
        if (req->content_length >= 0 && req->content_length != n)
            return refuse(why, 400, "Bad HTTP request - conflicting Content-Length values");
        req->content_length = n;
    }
    return 0;
}

// Transfer-Encoding: only "chunked", once. Any other coding is one this
// server cannot decode, so the body's end would be unknown.
int transfer_encoding(std::string_view value, http_request_t *req, std::string *why)
{
    for (std::string_view item : qx_list_items(value)) {
        item = trim_ows(item);
        if (req->chunked) return refuse(why, 400, "Bad HTTP request - chunked given twice");
        if (!qx_iequal(item, "chunked"))
            return refuse(why, 501, "Transfer-Encoding not supported - only chunked is");
        req->chunked = true;
    }
    return 0;
}

void connection_options(std::string_view value, http_request_t *req)
{
    for (std::string_view item : qx_list_items(value)) {
        item = trim_ows(item);
        if (qx_iequal(item, "close")) req->keep_alive = false;
        if (qx_iequal(item, "keep-alive") && req->minor == 0) req->keep_alive = true;
    }
}

int header_field(std::string_view line, http_request_t *req, bool *host, std::string *why)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return refuse(why, 400, "Bad HTTP request - malformed header field");
    // No blank before the colon: some parsers drop it, others keep it in
    // the name, and a proxy and a server must not disagree on a field.
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim_ows(line.substr(colon + 1));
    if (!is_token(name)) return refuse(why, 400, "Bad HTTP request - malformed header field");
    if (!is_field_text(value))
        return refuse(why, 400, "Bad HTTP request - invalid character in header field");
    if (qx_iequal(name, "Content-Length")) return content_length(value, req, why);
    if (qx_iequal(name, "Transfer-Encoding")) {
        if (req->minor == 0)
            return refuse(why, 400, "Bad HTTP request - Transfer-Encoding in HTTP/1.0");
        return transfer_encoding(value, req, why);
    }
    if (qx_iequal(name, "Connection")) connection_options(value, req);
    if (qx_iequal(name, "Expect")) {
        if (!qx_iequal(value, "100-continue")) return refuse(why, 417, "Expectation not supported");
        req->expect_continue = req->minor >= 1;
    }
    if (qx_iequal(name, "Host")) {
        if (*host) return refuse(why, 400, "Bad HTTP request - more than one Host field");
        *host = true;
    }
    return 0;
}

}  // namespace

int http_parse_head(std::string_view head, http_request_t *req, std::string *why)
{
    *req = http_request_t{};
    if (head.size() > HTTP_MAX_HEAD) return refuse(why, 431, "Request header fields too large");
    bool host = false;
    std::size_t fields = 0;
    for (bool first = true; !head.empty(); first = false) {
        const std::size_t end = head.find(CRLF);
        if (end == std::string_view::npos)
            return refuse(why, 400, "Bad HTTP request - line not ended by CRLF");
        const std::string_view line = head.substr(0, end);
        head.remove_prefix(end + CRLF.size());
        // A bare CR or LF inside a line ends it for some parsers only.
        if (line.find_first_of("\r\n") != std::string_view::npos)
            return refuse(why, 400, "Bad HTTP request - bare CR or LF");
        if (first) {
            if (const int r = parse_request_line(line, req, why); r != 0) return r;
            continue;
        }
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            return refuse(why, 400, "Bad HTTP request - folded header field");
        if (++fields > HTTP_MAX_FIELDS) return refuse(why, 431, "Request header fields too large");
        if (const int r = header_field(line, req, &host, why); r != 0) return r;
    }
    if (req->method.empty()) return refuse(why, 400, "Bad HTTP request - no request line");
    if (req->chunked && req->content_length >= 0)
        return refuse(why, 400, "Bad HTTP request - both Content-Length and Transfer-Encoding");
    if (req->minor >= 1 && !host) return refuse(why, 400, "Bad HTTP request - no Host field");
    return 0;
}

// ------------------------------------------------------ chunked bodies

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One byte of framing (not of chunk data). False when it is malformed.
bool framing_byte(http_body_t &b, char c)
{
    switch (b.state) {
    case chunk_state::size: {
        const int v = hex_value(c);
        if (v >= 0) {
            if (++b.digits > 15) return false;  // no chunk is larger than a request may be
            b.remaining = b.remaining * 16 + static_cast<unsigned>(v);
            return true;
        }
        if (b.digits == 0) return false;
        if (c == '\r') b.state = chunk_state::size_lf;
        else if (c == ';' || c == ' ' || c == '\t') b.state = chunk_state::extension;
        else return false;
        return true;
    }
    case chunk_state::extension:
        if (c == '\r') b.state = chunk_state::size_lf;
        else if (c == '\n' || ++b.line > HTTP_MAX_CHUNK_LINE) return false;
        return true;
    case chunk_state::size_lf:
        if (c != '\n') return false;
        b.line = 0;
        b.digits = 0;
        b.state = b.remaining == 0 ? chunk_state::trailer_start : chunk_state::data;
        return true;
    case chunk_state::data_cr:
        if (c != '\r') return false;
        b.state = chunk_state::data_lf;
        return true;
    case chunk_state::data_lf:
        if (c != '\n') return false;
        b.state = chunk_state::size;
        return true;
    case chunk_state::trailer_start:
        // Trailer fields are read and ignored; an empty line ends the body.
        if (c == '\r') b.state = chunk_state::last_lf;
        else if (c == '\n') return false;
        else b.state = chunk_state::trailer;
        b.line = 1;
        return true;
    case chunk_state::trailer:
        if (c == '\r') b.state = chunk_state::trailer_lf;
        else if (c == '\n' || ++b.line > HTTP_MAX_CHUNK_LINE) return false;
        return true;
    case chunk_state::trailer_lf:
        if (c != '\n') return false;
        b.state = chunk_state::trailer_start;
        return true;
    case chunk_state::last_lf:
        if (c != '\n') return false;
        b.state = chunk_state::done;
        return true;
    case chunk_state::data:
    case chunk_state::done:
    case chunk_state::failed: break;
    }
    return false;
}

}  // namespace

std::size_t http_chunk_decode(http_body_t &b, char *buf, std::size_t n, std::size_t *out)
{
    std::size_t in = 0;
    *out = 0;
    while (in < n && b.state != chunk_state::done && b.state != chunk_state::failed) {
        if (b.state == chunk_state::data) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<unsigned long long>(b.remaining, n - in));
            std::memmove(buf + *out, buf + in, take);
            *out += take;
            in += take;
            b.remaining -= take;
            if (b.remaining == 0) b.state = chunk_state::data_cr;
            continue;
        }
        if (!framing_byte(b, buf[in])) {
            b.state = chunk_state::failed;
            break;
        }
        in++;
    }
    return in;
}

// ------------------------------------------------------------ answers

std::string_view http_reason(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 417: return "Expectation Failed";
    case 500: return "Internal Server Error";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

void http_append_head(const http_answer_t &a, long long content_length, std::string &frame)
{
    char line[128];
    std::snprintf(line, sizeof line, "HTTP/1.1 %d ", a.status);
    frame += line;
    frame += http_reason(a.status);
    frame += CRLF;
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(line, sizeof line, "Date: %a, %d %b %Y %H:%M:%S GMT\r\n", &tm);
    frame += line;
    frame += "Content-Type: ";
    frame += a.content_type;
    frame += CRLF;
    if (content_length >= 0) {
        std::snprintf(line, sizeof line, "Content-Length: %lld\r\n", content_length);
        frame += line;
    } else if (a.chunked) {
        frame += "Transfer-Encoding: chunked\r\n";
    }
    if (!a.keep_alive) frame += "Connection: close\r\n";
    frame += a.extra_fields;
    frame += CRLF;
}

// ------------------------------------------------------------ settings

int attr_http_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    return qx_ini_word(diag, ini, static_cast<const char *>(val), {YES, NO}, "attr_http",
                       "Yes or No expected");
}

// An emptied row is read as the default.
void http_changed(ini_setting_t *ini) { http_on = static_cast<const char *>(ini->destination) != NO; }

bool qx_http_enabled(void) { return http_on; }

// ------------------------------------------------------ one exchange

void qx_http_refusal(io_in_t *input, io_out_t *output, int status)
{
    if (!http_on || output->tls_expected || input->method != XML_INPUT_METHOD_LISTEN) return;
    char first = 0;
    if (recv(input->src.listen.sock, &first, 1, MSG_PEEK | MSG_DONTWAIT) != 1 ||
        first < 'A' || first > 'Z')
        return;
    http_request_t req;
    req.keep_alive = false;
    qx_http_begin_answer(output, req, status);
    if (status == 503) output->http.extra_fields = "Retry-After: 1\r\n";
}

bool qx_http_request_next(io_in_t *input, diagstk_t *diag)
{
    if (!http_on || input->method != XML_INPUT_METHOD_LISTEN) return false;
    char first = 0;
    const ssize_t n = io_read(input, &first, 1, diag);
    if (n <= 0) {
        diagstk_remove(diag, 0);  // the document reader meets it again
        return false;
    }
    io_unread(input, std::string_view(&first, 1));
    return first >= 'A' && first <= 'Z';
}

int qx_http_read_head(diagstk_t *diag, io_in_t *input, http_request_t *req)
{
    std::string head;
    char buf[QX_READ_CHUNK];
    for (;;) {
        const ssize_t n = io_read(input, buf, sizeof buf, diag);
        if (n < 0) return (input->state & IO_STATE_TIMEOUT) ? 408 : HTTP_CLOSED;
        if (n == 0) {
            if (head.empty()) return HTTP_CLOSED;
            diagstk_add(diag, 3, "Bad HTTP request - the connection ended inside the head");
            return 400;
        }
        // The end may straddle two reads: look from three bytes back.
        const std::size_t from = head.size() < 3 ? 0 : head.size() - 3;
        head.append(buf, static_cast<std::size_t>(n));
        const std::size_t end = head.find("\r\n\r\n", from);
        if (end != std::string::npos) {
            io_unread(input, std::string_view(head).substr(end + 4));
            head.resize(end + 2);
            break;
        }
        const std::size_t line_end = head.find("\r\n");
        if (line_end == std::string::npos && head.size() > HTTP_MAX_REQUEST_LINE) {
            diagstk_add(diag, 3, "Bad HTTP request - request line too long");
            return 400;
        }
        if (head.size() > HTTP_MAX_HEAD) {
            diagstk_add(diag, 3, "Request header fields too large");
            return 431;
        }
    }
    std::string why;
    const int status = http_parse_head(head, req, &why);
    if (status != 0) diagstk_add(diag, 3, "%s", why.c_str());
    return status;
}

void qx_http_begin_body(io_in_t *input, io_out_t *output, const http_request_t &req,
                        diagstk_t *diag)
{
    http_body_t &b = input->http;
    b = http_body_t{};
    if (req.chunked) {
        b.framing = http_framing::chunked;
    } else {
        b.framing = http_framing::length;
        b.remaining = req.content_length < 0 ? 0 : static_cast<unsigned long long>(req.content_length);
    }
    if (req.expect_continue) {
        static constexpr std::string_view go_on = "HTTP/1.1 100 Continue\r\n\r\n";
        io_write(output, diag, go_on.data(), go_on.size());
        io_flush(output, diag);
    }
}

bool qx_http_end_body(io_in_t *input, diagstk_t *diag)
{
    // Whatever follows the root element is read and dropped, within the
    // request's size limit: the next request starts after the body.
    char buf[QX_READ_CHUNK];
    std::size_t left = QX_MAX_REQUEST_BYTES;
    bool whole = false;
    for (;;) {
        const ssize_t n = io_read(input, buf, sizeof buf, diag);
        if (n == 0) {
            whole = input->http.framing == http_framing::length
                        ? input->http.remaining == 0
                        : input->http.state == chunk_state::done;
            break;
        }
        if (n < 0 || static_cast<std::size_t>(n) > left) break;
        left -= static_cast<std::size_t>(n);
    }
    input->http = http_body_t{};
    if (!whole) diagstk_remove(diag, 0);
    return whole && (input->state & (IO_STATE_ERROR | IO_STATE_EOF)) == 0;
}

void qx_http_begin_answer(io_out_t *output, const http_request_t &req, int status)
{
    http_answer_t &a = output->http;
    a.active = true;
    a.head_sent = false;
    a.chunked = false;
    // An HTTP/1.0 client gets a long answer unframed, ended by the close.
    a.keep_alive = req.keep_alive && req.minor >= 1;
    a.minor = req.minor;
    a.status = status;
    a.content_type = "application/xml; charset=utf-8";
    a.extra_fields = {};
}

int qx_http_end_answer(io_out_t *output, diagstk_t *diag)
{
    // io_flush ends an answer: the last chunk, or the whole answer with
    // its length when nothing had been sent.
    return io_flush(output, diag);
}

int qx_http_refusal_status(const io_in_t *input)
{
    if (input->state & IO_STATE_TIMEOUT) return 408;
    if (input->state & IO_STATE_TOO_LARGE) return 413;
    if (input->state & IO_STATE_DENIED) return 403;
    return 400;
}

bool qx_http_is_query(const http_request_t &req)
{
    const std::string_view path = qx_http_path(req);
    return req.method == "POST" && (path == "/" || path == "/query");
}

std::string_view qx_http_path(const http_request_t &req)
{
    return std::string_view(req.target).substr(0, req.target.find('?'));
}

namespace {

bool percent_decode(std::string_view in, std::string *out)
{
    out->clear();
    for (std::size_t i = 0; i < in.size(); i++) {
        if (in[i] == '+') {
            *out += ' ';
        } else if (in[i] != '%') {
            *out += in[i];
        } else {
            const int hi = i + 2 < in.size() ? hex_value(in[i + 1]) : -1;
            const int lo = hi >= 0 ? hex_value(in[i + 2]) : -1;
            if (lo < 0 || (hi == 0 && lo == 0)) return false;
            *out += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
    }
    return true;
}

}  // namespace

bool qx_http_query(const http_request_t &req, std::vector<std::pair<std::string, std::string>> *pairs)
{
    pairs->clear();
    const std::size_t q = req.target.find('?');
    if (q == std::string::npos) return true;
    std::string_view rest = std::string_view(req.target).substr(q + 1);
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view item = rest.substr(0, amp);
        rest.remove_prefix(amp == std::string_view::npos ? rest.size() : amp + 1);
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        std::string name, value;
        if (!percent_decode(item.substr(0, eq), &name) ||
            (eq != std::string_view::npos && !percent_decode(item.substr(eq + 1), &value)))
            return false;
        pairs->emplace_back(std::move(name), std::move(value));
    }
    return true;
}

void qx_http_refuse_path(io_out_t *output, const http_request_t &req, const char *allow,
                         diagstk_t *diag)
{
    const std::string path(qx_http_path(req));
    if (allow == nullptr)
        diagstk_add(diag, 3, "No such resource: %s", path.c_str());
    else
        diagstk_add(diag, 3, "Method %s not allowed for %s", req.method.c_str(), path.c_str());
    // A body the request may carry is not read: the connection ends.
    http_request_t closing = req;
    closing.keep_alive = false;
    qx_http_begin_answer(output, closing, allow == nullptr ? 404 : 405);
    if (allow != nullptr) output->http.extra_fields = std::string("Allow: ") + allow + "\r\n";
    qx_output_error_result(diag, output);
}

http_outcome qx_http_answer_other(io_out_t *output, const http_request_t &req, diagstk_t *diag)
{
    const std::string_view path = qx_http_path(req);
    if (path == "/health" && req.method == "GET") {
        // Answered by a child the server could start: the server accepts
        // and forks, which is what a load balancer needs to know.
        qx_http_begin_answer(output, req, 200);
        output->http.content_type = "text/plain; charset=utf-8";
        io_write(output, diag, "ok\n", 3);
        qx_http_end_answer(output, diag);
        return req.keep_alive ? http_outcome::keep : http_outcome::close;
    }
    const char *allow = nullptr;
    if (path == "/" || path == "/query") allow = "POST";
    if (path == "/health") allow = "GET";
    qx_http_refuse_path(output, req, allow, diag);
    return http_outcome::close;
}
