// HTTP on the request port: request heads, bodies by length and in chunks,
// requests one after the other on one connection (pipelined), read as a
// connection child reads them, over a socket in pieces whose sizes come
// from the input; and the head parser and the chunk decoder on their own.

#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "http.h"
#include "request.h"

namespace {

// Each exchange takes at least one byte; this only guards against a
// reader that stops consuming.
constexpr int MAX_EXCHANGES = 4096;

void read_exchanges(io_in_t *in, io_out_t *out)
{
    in->many_documents = true;
    for (int i = 0; i < MAX_EXCHANGES; i++) {
        diagstk_ptr d(diagstk_new());
        if (!qx_http_request_next(in, d.get())) return;
        http_request_t req;
        if (qx_http_read_head(d.get(), in, &req) != 0) return;
        if (!qx_http_is_query(req)) {
            if (req.target != "/health") return;
            continue;
        }
        qx_http_begin_body(in, out, req, d.get());
        query_t q;
        query_init(&q);
        in->many_documents = false;
        const int r = qx_get_request(d.get(), in, &q);
        in->many_documents = true;
        freeup_query(&q);
        if (r < 0) return;
        if (!qx_http_end_body(in, d.get())) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 64 * 1024) return -1;
    const unsigned step = data[0] % 64 + 1;  // piece size pattern
    data++, size--;
    const std::string text(reinterpret_cast<const char *>(data), size);
    {
        http_request_t req;
        std::string why;
        if (http_parse_head(text, &req, &why) != 0 && why.empty()) __builtin_trap();
        std::string buf = text;
        http_body_t body;
        body.framing = http_framing::chunked;
        for (std::size_t at = 0; at < buf.size();) {
            const std::size_t n = std::min<std::size_t>(step, buf.size() - at);
            std::size_t got = 0;
            const std::size_t used = http_chunk_decode(body, buf.data() + at, n, &got);
            if (got > used || used > n) __builtin_trap();
            if (used < n) break;
            at += n;
        }
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) return 0;
    int big = 4 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    for (std::size_t at = 0, n = 0; at < text.size(); at += n, n = 0) {
        n = (at * 7 + step) % 97 + 1;  // 1..97, varying with position
        if (n > text.size() - at) n = text.size() - at;
        if (send(sv[1], text.data() + at, n, MSG_DONTWAIT) != static_cast<ssize_t>(n)) break;
    }
    shutdown(sv[1], SHUT_WR);
    io_in_t in{};
    in.method = XML_INPUT_METHOD_LISTEN;
    in.src.listen.sock = sv[0];
    in.src.listen.listen_sock = -1;
    fuzz::MemOut out;
    read_exchanges(&in, &out.out);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
