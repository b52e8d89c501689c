// HTTP request heads, their refusals, and chunked bodies.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http.h"
#include "unit_support.h"

namespace {

struct Head {
    int status;
    std::string why;
    http_request_t req;
};

Head parse(const std::string &head)
{
    Head h;
    h.status = http_parse_head(head, &h.req, &h.why);
    return h;
}

const std::string HOST = "Host: a\r\n";

// Method, target, framing and whether the connection stays open.
TEST(HttpHead, ReadsTheFieldsThatFrameAndEndARequest)
{
    const struct { std::string head, fields; } cases[] = {
        {"POST /query?x=1 HTTP/1.1\r\n" + HOST + "content-length: 12\r\nExpect: 100-Continue\r\n"
         "X-Other:  any text\t\r\n", "POST /query?x=1 12 continue keep"},
        {"POST / HTTP/1.1\r\n" + HOST + "Transfer-Encoding: Chunked\r\nConnection: close\r\n",
         "POST / -1 chunked"},
        {"GET /health HTTP/1.0\r\n", "GET /health -1"},
        {"GET /health HTTP/1.0\r\nConnection: keep-alive\r\n", "GET /health -1 keep"},
        {"POST / HTTP/1.1\r\n" + HOST + "Content-Length: 5, 5\r\nContent-Length: 5\r\n", "POST / 5 keep"},
    };
    for (const auto &c : cases) {
        const Head h = parse(c.head);
        EXPECT_EQ(h.status, 0) << h.why;
        EXPECT_EQ(h.req.method + " " + h.req.target + " " + std::to_string(h.req.content_length) +
                      (h.req.chunked ? " chunked" : "") + (h.req.expect_continue ? " continue" : "") +
                      (h.req.keep_alive ? " keep" : ""),
                  c.fields);
    }
}

// Heads a proxy could read differently, and malformed ones, are refused.
TEST(HttpHead, RefusesEveryAmbiguousOrMalformedHead)
{
    const std::string big(HTTP_MAX_REQUEST_LINE, 'a');
    const struct { std::string head; int status; std::string why; } cases[] = {
        {"POST / HTTP/1.1\r\n" + HOST + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", 400,
         "Bad HTTP request - both Content-Length and Transfer-Encoding"},
        {"POST / HTTP/1.1\r\n" + HOST + "Content-Length: 5\r\nContent-Length: 6\r\n", 400,
         "Bad HTTP request - conflicting Content-Length values"},
        {"POST / HTTP/1.1\r\n" + HOST + "Content-Length: 5, 6\r\n", 400,
         "Bad HTTP request - conflicting Content-Length values"},
        {"POST / HTTP/1.1\r\n" + HOST + "Content-Length: +5\r\n", 400,
         "Bad HTTP request - invalid Content-Length"},
        {"POST / HTTP/1.1\r\n" + HOST + "Content-Length: 99999999999999999999\r\n", 400,
         "Bad HTTP request - invalid Content-Length"},
        {"POST / HTTP/1.1\r\n" + HOST + "Content-Length : 5\r\n", 400,
         "Bad HTTP request - malformed header field"},
        {"POST / HTTP/1.1\r\n" + HOST + "Transfer-Encoding: chunked, chunked\r\n", 400,
         "Bad HTTP request - chunked given twice"},
        {"POST / HTTP/1.1\r\n" + HOST + "Transfer-Encoding: gzip, chunked\r\n", 501,
         "Transfer-Encoding not supported - only chunked is"},
        {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n", 400,
         "Bad HTTP request - Transfer-Encoding in HTTP/1.0"},
        {"POST / HTTP/1.1\r\n" + HOST + "X: a\r\n folded\r\n", 400,
         "Bad HTTP request - folded header field"},
        {"POST / HTTP/1.1\r\n" + HOST + "X: a\nY: b\r\n", 400, "Bad HTTP request - bare CR or LF"},
        {"POST / HTTP/1.1\r\n" + HOST + "X: a\rb\r\n", 400, "Bad HTTP request - bare CR or LF"},
        {"POST / HTTP/1.1\r\n" + HOST + "X: a\x01\r\n", 400,
         "Bad HTTP request - invalid character in header field"},
        {"POST / HTTP/1.1\r\n" + HOST + HOST, 400, "Bad HTTP request - more than one Host field"},
        {"POST / HTTP/1.1\r\n", 400, "Bad HTTP request - no Host field"},
        {"POST / HTTP/2.0\r\n" + HOST, 505, "HTTP version not supported"},
        {"POST / HTTP/1.10\r\n" + HOST, 400, "Bad HTTP request - malformed HTTP version"},
        {"POST  / HTTP/1.1\r\n" + HOST, 400, "Bad HTTP request - malformed request line"},
        {"POST http://a/ HTTP/1.1\r\n" + HOST, 400, "Bad HTTP request - malformed request target"},
        {"P(ST / HTTP/1.1\r\n" + HOST, 400, "Bad HTTP request - malformed method"},
        {"GET /" + big + " HTTP/1.1\r\n" + HOST, 400, "Bad HTTP request - request line too long"},
        {"POST / HTTP/1.1\r\n" + HOST + "Expect: something\r\n", 417, "Expectation not supported"},
        {"POST / HTTP/1.1\r\n" + HOST + "X: a", 400, "Bad HTTP request - line not ended by CRLF"},
        {"", 400, "Bad HTTP request - no request line"},
    };
    for (const auto &c : cases) {
        const Head h = parse(c.head);
        EXPECT_EQ(h.status, c.status) << c.head.substr(0, 200);
        EXPECT_EQ(h.why, c.why) << c.head.substr(0, 200);
    }
    std::string many = "GET / HTTP/1.1\r\n" + HOST;
    for (std::size_t i = 0; i < HTTP_MAX_FIELDS; i++) many += "X: a\r\n";
    EXPECT_EQ(parse(many).status, 431);
    EXPECT_EQ(parse("GET / HTTP/1.1\r\n" + HOST + "X: " + std::string(HTTP_MAX_HEAD, 'a') + "\r\n").status,
              431);
}

// `wire` decoded in pieces of `piece` bytes: the data and what followed.
struct Decoded {
    std::string data, after;
    chunk_state state;
};
Decoded decode(const std::string &wire, std::size_t piece)
{
    http_body_t b;
    b.framing = http_framing::chunked;
    Decoded d;
    for (std::size_t at = 0; at < wire.size(); at += piece) {
        std::string buf = wire.substr(at, piece);
        std::size_t out = 0;
        const std::size_t used = http_chunk_decode(b, buf.data(), buf.size(), &out);
        d.data.append(buf, 0, out);
        if (used < buf.size()) {
            d.after = buf.substr(used) + wire.substr(at + piece < wire.size() ? at + piece : wire.size());
            break;
        }
    }
    d.state = b.state;
    return d;
}

TEST(HttpChunks, DecodeTheSameHoweverTheBytesArrive)
{
    const std::string wire =
        "5\r\n<Requ\r\n1A;name=value\r\nest><Sql>SELECT 1</Sql></R\r\n8 \r\nequest>\n\r\n"
        "0\r\nTrailer: x\r\n\r\nGET /next";
    for (std::size_t piece = 1; piece <= wire.size(); piece++) {
        const Decoded d = decode(wire, piece);
        EXPECT_EQ(d.data, "<Request><Sql>SELECT 1</Sql></Request>\n") << piece;
        EXPECT_EQ(d.after, "GET /next") << piece;
        EXPECT_EQ(d.state, chunk_state::done) << piece;
    }
}

TEST(HttpChunks, MalformedFramingFails)
{
    for (const std::string &wire : std::vector<std::string>{
             "zz\r\n", "5\nabcde\r\n", "5\r\nabcdeX\r\n", "\r\n", "-1\r\n",
          "1000000000000000\r\n", "5;" + std::string(HTTP_MAX_CHUNK_LINE + 1, 'x') + "\r\n",
          "0\r\nX: " + std::string(HTTP_MAX_CHUNK_LINE + 1, 'x') + "\r\n\r\n", "0\r\n\n"}) {
        EXPECT_EQ(decode(wire, wire.size()).state, chunk_state::failed) << wire.substr(0, 40);
    }
}

}  // namespace

namespace {

TEST(HttpQuery, PairsArePercentDecoded)
{
    http_request_t req;
    std::vector<std::pair<std::string, std::string>> pairs;
    req.target = "/r/x?city=K%C3%B6ln&&name=a+b%2Bc&flag&empty=";
    ASSERT_TRUE(qx_http_query(req, &pairs));
    const std::vector<std::pair<std::string, std::string>> want = {
        {"city", "Köln"}, {"name", "a b+c"}, {"flag", ""}, {"empty", ""}};
    EXPECT_EQ(pairs, want);
    for (const char *bad : {"/r/x?a=%", "/r/x?a=%4", "/r/x?a=%zz", "/r/x?a=%00", "/r/x?%=1"}) {
        req.target = bad;
        EXPECT_FALSE(qx_http_query(req, &pairs)) << bad;
    }
    req.target = "/r/x";
    EXPECT_TRUE(qx_http_query(req, &pairs));
    EXPECT_TRUE(pairs.empty());
}

}  // namespace
