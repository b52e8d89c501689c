// socket.h - loopback TCP and socket pairs for the connection methods.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;

// The longest any single socket operation of a test may take.
inline constexpr std::chrono::milliseconds NET_LIMIT = 10s;

// Owns one descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// A connected AF_UNIX stream pair, both ends close-on-exec.
void make_socket_pair(Fd &mine, Fd &theirs);
// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_port();
// One connection attempt to 127.0.0.1:port that gives up after `limit`;
// sends and receives on it give up after the same limit. An empty Fd when
// it was refused or timed out.
Fd connect_bounded(int port, std::chrono::milliseconds limit = NET_LIMIT);
// connect_bounded, retrying refused attempts until `limit` has passed
// (0: one attempt).
Fd connect_loopback(int port, std::chrono::milliseconds limit);
bool send_all(int fd, std::string_view data);
// Reads until the peer closes, `limit` passes, or (when `end` is not
// empty) the bytes end with `end`.
std::string read_until_eof(int fd, std::chrono::milliseconds limit, std::string_view end = "");
// Reads until the bytes end with one complete answer ("</Result>\n").
inline std::string read_document(int fd, std::chrono::milliseconds limit = NET_LIMIT)
{
    return read_until_eof(fd, limit, "</Result>\n");
}
