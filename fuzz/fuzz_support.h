// fuzz_support.h - what the fuzz targets share: channels over memory and a
// fresh diagnostic stack per input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "iodef.h"
#include "util.h"

namespace fuzz {

// A request channel reading `size` bytes from memory.
struct MemIn {
    MemIn(const std::uint8_t *data, std::size_t size)
        : fp(size ? fmemopen(const_cast<std::uint8_t *>(data), size, "r") : std::tmpfile())
    {
        in.method = XML_INPUT_METHOD_FILE;
        in.src.file.fp = fp;
    }
    ~MemIn() { std::fclose(fp); }
    FILE *fp;
    io_in_t in{};
};

// A request channel over a socket that hands `bytes` out in pieces of
// 1..97 bytes varying with position and `step`, then ends. Each datagram
// of a SOCK_SEQPACKET pair comes back from exactly one read, so the pieces
// written are the pieces the reader sees. `ok` is false when no socket
// pair could be had.
struct SocketIn {
    SocketIn(std::string_view bytes, unsigned step)
    {
        ok = socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) == 0;
        if (!ok) return;
        int big = 4 << 20;
        setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        for (std::size_t at = 0, n = 0; at < bytes.size(); at += n) {
            n = std::min<std::size_t>((at * 7 + step) % 97 + 1, bytes.size() - at);
            if (send(sv[1], bytes.data() + at, n, MSG_DONTWAIT) != static_cast<ssize_t>(n)) break;
        }
        shutdown(sv[1], SHUT_WR);
        in.method = XML_INPUT_METHOD_LISTEN;
        in.src.listen.sock = sv[0];
        in.src.listen.listen_sock = -1;
    }
    ~SocketIn()
    {
        if (ok) close(sv[0]), close(sv[1]);
    }
    int sv[2] = {-1, -1};
    bool ok;
    io_in_t in{};
};

// An answer channel collecting into memory; the bytes are only checked by
// the sanitizers.
struct MemOut {
    MemOut() : fp(open_memstream(&buf, &len))
    {
        out.method = XML_OUTPUT_METHOD_FILE;
        out.dst.file.fp = fp;
    }
    ~MemOut() { std::fclose(fp), std::free(buf); }
    char *buf = nullptr;
    std::size_t len = 0;
    FILE *fp;
    io_out_t out{};
};

}  // namespace fuzz
