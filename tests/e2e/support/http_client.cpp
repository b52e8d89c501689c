// http_client.cpp - requests and strictly framed responses for the tests.

#include "http_client.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <unistd.h>

namespace {

// Reads until `rest` holds `want` bytes or the peer ends; false at the end.
bool fill(int fd, std::string &rest, std::size_t want)
{
    char buf[65536];
    while (rest.size() < want) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        rest.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

// A line ending in CRLF, without it; false when the connection ends first.
bool take_line(int fd, std::string &rest, std::string *line)
{
    std::size_t end;
    while ((end = rest.find("\r\n")) == std::string::npos)
        if (!fill(fd, rest, rest.size() + 1)) return false;
    *line = rest.substr(0, end);
    rest.erase(0, end + 2);
    return true;
}

bool take_bytes(int fd, std::string &rest, std::size_t n, std::string *out)
{
    if (!fill(fd, rest, n)) return false;
    out->append(rest, 0, n);
    rest.erase(0, n);
    return true;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

HttpResponse failed(HttpResponse r, std::string why)
{
    r.status = 0;
    r.error = std::move(why);
    return r;
}

}  // namespace

std::string http_request(std::string_view method, std::string_view target, std::string_view body,
                         std::string_view extra)
{
    std::string r = std::string(method) + " " + std::string(target) +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + std::string(extra);
    if (!body.empty() || method == "POST" || method == "PUT")
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + std::string(body);
}

std::string http_chunked_request(std::string_view target, std::string_view body, std::size_t piece)
{
    std::string r = "POST " + std::string(target) +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (std::size_t at = 0; at < body.size(); at += piece) {
        const std::string_view part = body.substr(at, piece);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        r += size + std::string(part) + "\r\n";
    }
    return r + "0\r\n\r\n";
}

HttpResponse read_http_response(int fd, std::string &rest)
{
    HttpResponse r;
    std::string line;
    if (!take_line(fd, rest, &line)) return failed(r, "no status line");
    int status = 0;
    if (std::sscanf(line.c_str(), "HTTP/1.%*d %d", &status) != 1 || line.size() < 13)
        return failed(r, "bad status line: " + line);
    for (;;) {
        if (!take_line(fd, rest, &line)) return failed(r, "cut inside the head");
        if (line.empty()) break;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) return failed(r, "bad field: " + line);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        const std::string name = lower(line.substr(0, colon));
        if (r.fields.count(name) != 0) return failed(r, "field twice: " + name);
        r.fields[name] = value;
    }
    r.status = status;
    if (status == 100) return r;
    if (r.field("transfer-encoding") == "chunked") {
        r.chunked = true;
        for (;;) {
            if (!take_line(fd, rest, &line)) return failed(r, "cut inside a chunk size");
            std::size_t size = 0;
            if (std::sscanf(line.c_str(), "%zx", &size) != 1) return failed(r, "bad chunk: " + line);
            if (size == 0) break;
            if (!take_bytes(fd, rest, size, &r.body) || !take_line(fd, rest, &line) || !line.empty())
                return failed(r, "cut inside a chunk");
        }
        if (!take_line(fd, rest, &line) || !line.empty()) return failed(r, "no end of the chunks");
    } else if (!r.field("content-length").empty()) {
        if (!take_bytes(fd, rest, std::stoul(r.field("content-length")), &r.body))
            return failed(r, "body shorter than its length");
    } else {
        fill(fd, rest, SIZE_MAX);  // ended by the close
        r.body = std::move(rest);
        rest.clear();
    }
    return r;
}

bool http_closed(int fd, std::string &rest)
{
    return rest.empty() && !fill(fd, rest, 1);
}
