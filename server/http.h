// http.h - HTTP/1.1 on the request port. A connection whose first byte is
// a letter (a method name) speaks HTTP; one whose first bytes are `<`,
// blanks or a byte-order mark speaks the raw protocol. A request document
// travels as the body of `POST /` or `POST /query`, its answer as the body
// of the response. Parsing is strict where lenient parsers disagree (the
// forms used to smuggle a second request past a proxy are refused, and the
// connection closed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "diag.h"

struct io_in_s;
struct io_out_s;

inline constexpr std::size_t HTTP_MAX_REQUEST_LINE = 8192;
inline constexpr std::size_t HTTP_MAX_HEAD = 16384;  // request line and all header fields
inline constexpr std::size_t HTTP_MAX_FIELDS = 100;
// A chunk-size line with its extensions, and each trailer field line.
inline constexpr std::size_t HTTP_MAX_CHUNK_LINE = 1024;

// Setting `Http`: Yes (default) or No.
extern char ini_http[8];
int attr_http_in(diagstk_t *diag, void *ectx, struct ini_setting_s *ini, void *val);
void http_changed(struct ini_setting_s *ini);
// True when the request port answers HTTP.
bool qx_http_enabled(void);

typedef struct http_request_s {
    std::string method;
    std::string target;   // origin form: the path and its query
    int minor = 1;        // HTTP/1.minor
    long long content_length = -1;  // -1: none given
    bool chunked = false;
    bool keep_alive = true;
    bool expect_continue = false;
} http_request_t;

// Reads one request head (`head` without its final empty line: the
// request line and the header field lines, each ending in CRLF). 0, or
// the status to refuse it with and the reason in `why`.
int http_parse_head(std::string_view head, http_request_t *req, std::string *why);

// The framing of a request body as it is read: none (no HTTP request), a
// length, or chunked transfer coding decoded in place.
enum class http_framing : std::uint8_t { none, length, chunked };
enum class chunk_state : std::uint8_t {
    size, extension, size_lf, data, data_cr, data_lf, trailer_start, trailer, trailer_lf,
    last_lf, done, failed,
};
typedef struct http_body_s {
    http_framing framing = http_framing::none;
    unsigned long long remaining = 0;  // of the body (length) or of the chunk (chunked)
    chunk_state state = chunk_state::size;
    unsigned digits = 0;     // hex digits of the chunk size read so far
    std::size_t line = 0;    // bytes of the current size or trailer line
} http_body_t;

// Decodes chunked bytes in place: reads `buf[0, n)`, writes the data they
// carry to the front of `buf` (never ahead of what was read) and sets
// `*out` to its length. Returns how many bytes were read: fewer than `n`
// only when the body ended (state done) or is malformed (state failed).
std::size_t http_chunk_decode(http_body_t &body, char *buf, std::size_t n, std::size_t *out);

// The answer to an HTTP request, as the output channel frames it: the head
// goes out with the first bytes sent. An answer that is complete before
// anything was sent carries a Content-Length, a longer one is sent in
// chunks (to an HTTP/1.0 client: as it comes, ended by the close).
typedef struct http_answer_s {
    bool active = false;
    bool head_sent = false;
    bool chunked = false;
    bool keep_alive = true;
    int minor = 1;
    int status = 200;
    std::string_view content_type = "application/xml; charset=utf-8";
    std::string extra_fields;       // whole lines, each ending in CRLF
    std::string frame;              // head and chunk framing, assembled for one send
} http_answer_t;

// The reason phrase of a status.
std::string_view http_reason(int status);
// Appends the head of `answer` to `frame`: with `content_length` >= 0 a
// Content-Length field, else chunked coding (or none, for HTTP/1.0).
void http_append_head(const http_answer_t &answer, long long content_length, std::string &frame);

// Starts the answer to a connection the server refuses before a child
// serves it (an access list, a limit) in HTTP when the client speaks it:
// its first byte, already received, is a method's letter. The
// refusal's error document written next is then the body of a response
// with `status` (503 adds Retry-After). Nothing when the port speaks TLS.
void qx_http_refusal(io_in_s *input, io_out_s *output, int status);

// ---------------------------------------------------- one exchange

// What a connection does after an exchange.
enum class http_outcome { keep, close, closed };

// True when the connection's next request is HTTP: the setting is on, the
// input is a socket and its first byte is an upper-case letter. Waits for
// that byte only as io_read does (the caller waited for input already).
bool qx_http_request_next(io_in_s *input, diagstk_t *diag);
// Reads the head of the next request within the input's deadline. 0 with
// the head in `req`; HTTP_CLOSED when the peer closed before a byte of it;
// else the status to refuse it with, the reason on `diag`.
inline constexpr int HTTP_CLOSED = -1;
int qx_http_read_head(diagstk_t *diag, io_in_s *input, http_request_t *req);
// Starts reading the body of `req` through io_read, which then returns 0
// at its end; sends "100 Continue" when the client waits for it.
void qx_http_begin_body(io_in_s *input, io_out_s *output, const http_request_t &req,
                        diagstk_t *diag);
// Reads what is left of the body (after the document's root element) and
// stops framing. False when the body was malformed, cut short or late: the
// connection cannot carry another request.
bool qx_http_end_body(io_in_s *input, diagstk_t *diag);
// Starts the answer to `req` with `status`: what the channel writes now is
// its body.
void qx_http_begin_answer(io_out_s *output, const http_request_t &req, int status);
// Sends what is left of the answer and ends it (the last chunk). 0 or -1.
int qx_http_end_answer(io_out_s *output, diagstk_t *diag);
// The status of a request refused before it ran, from the input's state:
// 408 late, 413 too large, 403 refused by a data source, else 400.
int qx_http_refusal_status(const io_in_s *input);
// Answers an HTTP request other than a query: the health check, an unknown
// path, a wrong method. Returns whether the connection may carry another
// request.
http_outcome qx_http_answer_other(io_out_s *output, const http_request_t &req, diagstk_t *diag);
// Refuses `req` with 404 (`allow` null: no such path) or 405 (`allow`: the
// methods the path takes), the error document as the body, and ends the
// answer; the connection is to end.
void qx_http_refuse_path(io_out_s *output, const http_request_t &req, const char *allow,
                         diagstk_t *diag);
// The path of a request target, without its query.
std::string_view qx_http_path(const http_request_t &req);
// The name=value pairs of the target's query (after '?', separated by '&'),
// percent-decoded, '+' read as a blank. False when an escape is malformed
// or decodes to a NUL.
bool qx_http_query(const http_request_t &req,
                   std::vector<std::pair<std::string, std::string>> *pairs);
// True when `req` is a query: POST to "/" or "/query".
bool qx_http_is_query(const http_request_t &req);
