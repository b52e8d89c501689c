// Clients that are refused, slow, silent or gone: every wait for a client has
// a deadline over the whole operation, and a connection's faults end with it.

#include <arpa/inet.h>
#include <future>
#include <poll.h>
#include <stop_token>
#include <sys/socket.h>
#include <thread>

#include "e2e.h"

namespace {

using clock_type = std::chrono::steady_clock;

const std::string STATISTICS = "<Request><Statistics/></Request>";

std::string timed_out(int seconds)
{
    return error_body("Request timed out - no complete request within " +
                      std::to_string(seconds) + " seconds");
}

// A connection to 127.0.0.1:port from another loopback address.
Fd connect_from(const char *source, int port)
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, source, &a.sin_addr);
    const timeval tv{static_cast<time_t>(NET_LIMIT.count()), 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return Fd();
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return Fd();
    return fd;
}

// Closes with a reset instead of an orderly end.
void abort_connection(Fd fd)
{
    const linger now{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

struct Ending {
    std::string got;
    bool closed = false;             // the server ended the connection
    std::chrono::milliseconds after{};  // since `from`
};

// Reads until the server ends the connection or `limit` has passed since `from`.
Ending read_to_close(int fd, clock_type::time_point from, std::chrono::milliseconds limit)
{
    Ending e;
    char buf[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(from + limit - clock_type::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            e.closed = true;
            break;
        }
        e.got.append(buf, static_cast<std::size_t>(n));
    }
    e.after = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - from);
    return e;
}

std::future<Ending> ending_of(int fd, clock_type::time_point from,
                              std::chrono::milliseconds limit = 6s)
{
    return std::async(std::launch::async, [=] { return read_to_close(fd, from, limit); });
}

// Sends `text` a byte at a time, `gap` apart, until it is all sent, a send
// fails or the thread is asked to stop.
std::jthread trickle(int fd, std::string text, std::chrono::milliseconds gap)
{
    return std::jthread([=](std::stop_token stop) {
        for (const char c : text) {
            if (stop.stop_requested() || send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
            for (auto waited = 0ms; waited < gap && !stop.stop_requested(); waited += 10ms)
                std::this_thread::sleep_for(10ms);
        }
    });
}

class Limits : public NetTest {};

// A refused client that resets its connection before its refusal is sent
// makes that send fail. The failure ends with that connection: the next
// client of the same port is answered, on the request and the control port.
TEST_F(Limits, AbortedRefusalLeavesThePortsServing)
{
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.2</Client>"
                      "<ControlClient Allow=\"No\">127.0.0.2</ControlClient>"));
    for (const int target : {port, control_port}) {
        SCOPED_TRACE(target == port ? "request port" : "control port");
        // The server reads this control document while the refused client
        // comes and goes, so the refusal meets a connection already reset.
        Fd busy = connect_port(control_port);
        std::this_thread::sleep_for(300ms);
        abort_connection(connect_from("127.0.0.2", target));
        ASSERT_TRUE(send_all(busy.get(), STATISTICS));
        shutdown(busy.get(), SHUT_WR);
        EXPECT_TRUE(holds(read_until_eof(busy.get()), {"<UpTime>"}));
        if (target == port)
            EXPECT_TRUE(serves(5));
        else
            EXPECT_TRUE(holds(control(control_port, STATISTICS), {"<UpTime>"}));
    }
    EXPECT_EQ(stop().status, 0);
}

// The server loop reads control documents and refuses clients itself. A
// control client gets 10 seconds for its whole document however steadily it
// trickles, then the timeout answer; what a refused client goes on sending
// is discarded for at most a second. Other clients wait no longer than that.
TEST_F(Limits, SlowControlAndRefusedClientsHoldTheLoopBriefly)
{
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.2</Client>"));
    Fd refused = connect_from("127.0.0.2", port);
    {
        const std::jthread sender = trickle(refused.get(), repeat("x", 500), 20ms);
        EXPECT_EQ(body_of(read_until_eof(refused.get(), "</Result>\n")),
                  error_body("Access denied to client due to IP-based ACL"));
        const auto asked = clock_type::now();
        EXPECT_TRUE(serves(1));
        EXPECT_LT(clock_type::now() - asked, 2500ms);
    }

    Fd slow = connect_port(control_port);
    const auto from = clock_type::now();
    const std::jthread sender = trickle(slow.get(), STATISTICS, 500ms);
    std::future<Ending> slow_end = ending_of(slow.get(), from, 14s);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(serves(2));
    const auto served = clock_type::now() - from;
    const Ending e = slow_end.get();
    EXPECT_EQ(body_of(e.got), timed_out(10));
    EXPECT_TRUE(e.closed);
    EXPECT_GE(e.after, 9500ms);
    EXPECT_LT(served, e.after + 1500ms);
    EXPECT_EQ(stop().status, 0);
}

}  // namespace
