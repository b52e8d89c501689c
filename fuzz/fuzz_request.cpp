// Request documents, read whole from a file channel and then again over a
// socket in pieces whose sizes come from the input, so that every read
// boundary (inside names, entities, UTF-8 sequences, "</Request>") is tried.

#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "request.h"

namespace {

void read_request(io_in_t *in)
{
    diagstk_ptr d(diagstk_new());
    query_t q;
    query_init(&q);
    qx_get_request(d.get(), in, &q);
    freeup_query(&q);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 64 * 1024) return -1;
    const unsigned step = data[0] % 64 + 1;  // piece size pattern
    data++, size--;
    {
        fuzz::MemIn m(data, size);
        read_request(&m.in);
    }
    // Each datagram of a SOCK_SEQPACKET pair comes back from exactly one
    // read, so the pieces written are the pieces the parser sees.
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) return 0;
    int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    for (std::size_t at = 0, n = 0; at < size; at += n, n = 0) {
        n = (at * 7 + step) % 97 + 1;  // 1..97, varying with position
        if (n > size - at) n = size - at;
        if (send(sv[1], data + at, n, MSG_DONTWAIT) != static_cast<ssize_t>(n)) break;
    }
    shutdown(sv[1], SHUT_WR);
    io_in_t in{};
    in.method = XML_INPUT_METHOD_LISTEN;
    in.src.listen.sock = sv[0];
    read_request(&in);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
