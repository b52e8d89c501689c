// Control-port documents through the handler the standalone server runs,
// over a connected socket. A configuration change is saved to the build's
// installation directory, as the server would.

#include <sys/socket.h>
#include <unistd.h>

#include "control.h"
#include "config.h"
#include "fuzz_support.h"
#include "statistics.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 32 * 1024) return -1;
    qx_init_config();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (size > 0 && write(sv[1], data, size) != static_cast<ssize_t>(size)) {
        close(sv[0]), close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);
    diagstk_ptr d(diagstk_new());
    io_in_t in{};
    in.method = XML_INPUT_METHOD_LISTEN;
    in.src.listen.sock = sv[0];
    io_out_t out{};
    out.method = XML_OUTPUT_METHOD_LISTEN;
    out.dst.listen.sock = sv[0];
    stats_s stats{};
    handle_control_request(d.get(), &in, &out, &stats);
    if (out.dst.listen.sock >= 0) close(out.dst.listen.sock);
    close(sv[1]);
    return 0;
}
