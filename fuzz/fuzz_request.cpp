// Request documents, read one after the other from one channel as a
// connection child reads them, until the input ends or one does not parse:
// first whole from a file channel, then over a socket in pieces whose sizes
// come from the input, so that every read boundary (inside names,
// entities, UTF-8 sequences, end tags) is tried. On the socket the input is
// followed by a first part of itself, so that every input is also a
// request sent without waiting and one cut short by the end of input.

#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "request.h"

namespace {

// Every document read takes at least four bytes ("<a/>"), so the end of
// input ends the loop long before this; it only guards against a reader
// that stops consuming.
constexpr int MAX_DOCUMENTS = 64 * 1024;

void read_requests(io_in_t *in)
{
    in->many_documents = true;
    for (int i = 0; i < MAX_DOCUMENTS; i++) {
        diagstk_ptr d(diagstk_new());
        query_t q;
        query_init(&q);
        const int r = qx_get_request(d.get(), in, &q);
        freeup_query(&q);
        if (r == -2) break;  // unreadable, or the end of input
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 64 * 1024) return -1;
    const unsigned step = data[0] % 64 + 1;  // piece size pattern
    data++, size--;
    {
        fuzz::MemIn m(data, size);
        read_requests(&m.in);
    }
    std::string stream(reinterpret_cast<const char *>(data), size);
    stream.append(stream, 0, size * step / 65);
    fuzz::SocketIn s(stream, step);
    if (s.ok) read_requests(&s.in);
    return 0;
}
