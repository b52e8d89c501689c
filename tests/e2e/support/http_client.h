// http_client.h - the HTTP side of a test: requests written byte by byte
// and responses read by their framing, so that a test sees exactly what a
// client would (and any framing fault fails the read).
#pragma once

#include <map>
#include <string>
#include <string_view>

struct HttpResponse {
    int status = 0;  // 0: no complete response
    std::map<std::string, std::string> fields;  // names in lower case
    std::string body;                           // decoded
    bool chunked = false;
    std::string error;  // why the response could not be read
    std::string field(const std::string &lower_name) const
    {
        const auto it = fields.find(lower_name);
        return it == fields.end() ? "" : it->second;
    }
};

// A request with Host, Content-Length (when `body` is given or `method` is
// POST or PUT) and `extra` header lines (each ending in CRLF).
std::string http_request(std::string_view method, std::string_view target,
                         std::string_view body = "", std::string_view extra = "");
// The same body sent in chunks of `piece` bytes.
std::string http_chunked_request(std::string_view target, std::string_view body,
                                 std::size_t piece);

// Reads one response from `fd`; bytes read past it stay in `rest` for the
// next call on the same connection.
HttpResponse read_http_response(int fd, std::string &rest);
// True when the peer has closed `fd` (nothing more arrives before the end).
bool http_closed(int fd, std::string &rest);
