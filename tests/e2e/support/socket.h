// socket.h - loopback TCP and socket pairs for the connection methods.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

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
// Connects to 127.0.0.1:port, retrying refused attempts until `limit` has
// passed (0: one attempt); an empty Fd when nothing accepted.
Fd connect_loopback(int port, std::chrono::milliseconds limit);
bool send_all(int fd, std::string_view data);
// Reads until the peer closes or `limit` passes.
std::string read_until_eof(int fd, std::chrono::milliseconds limit);
