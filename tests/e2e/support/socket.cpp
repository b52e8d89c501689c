// socket.cpp - loopback TCP and socket pairs for the connection methods.

#include "socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

}  // namespace

void make_socket_pair(Fd &mine, Fd &theirs)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
        throw std::runtime_error("socketpair failed");
    mine.reset(sv[0]);
    theirs.reset(sv[1]);
}

int free_port()
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr *>(&a), &len) < 0)
        throw std::runtime_error("no free port");
    return ntohs(a.sin_port);
}

Fd connect_bounded(int port, std::chrono::milliseconds limit)
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const sockaddr_in a = loopback(port);
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) < 0) {
        if (errno != EINPROGRESS) return Fd();
        pollfd p{fd.get(), POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0 ||
            getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0)
            return Fd();
    }
    fcntl(fd.get(), F_SETFL, 0);
    const timeval tv{static_cast<time_t>(limit.count() / 1000),
                     static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

Fd connect_loopback(int port, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Fd fd = connect_bounded(port);
        if (fd.get() >= 0 || std::chrono::steady_clock::now() >= deadline) return fd;
        std::this_thread::sleep_for(20ms);
    }
}

bool send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string read_until_eof(int fd, std::chrono::milliseconds limit, std::string_view end)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string got;
    char buf[65536];
    while (end.empty() || !got.ends_with(end)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}
