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
    fuzz::SocketIn s(text, step);
    fuzz::MemOut out;
    if (s.ok) read_exchanges(&s.in, &out.out);
    return 0;
}
