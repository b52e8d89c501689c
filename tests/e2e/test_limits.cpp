// Clients that are slow, silent or gone: every wait for a client has a
// deadline, and a shutdown is not held up by idle connections.

#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <future>
#include <poll.h>
#include <sstream>
#include <stop_token>
#include <sys/socket.h>
#include <thread>

#include "e2e.h"

namespace {

using clock_type = std::chrono::steady_clock;

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

// Ended in [at_least, under) after `from`, having sent `body` (or nothing).
::testing::AssertionResult ended(const Ending &e, const std::string &body,
                                 std::chrono::milliseconds at_least,
                                 std::chrono::milliseconds under)
{
    if ((body.empty() ? e.got : body_of(e.got)) == body && e.closed && e.after >= at_least &&
        e.after < under)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (e.closed ? "closed" : "still open") << " after "
                                         << e.after.count() << " ms, having sent: " << e.got;
}

std::future<Ending> ending_of(int fd, clock_type::time_point from,
                              std::chrono::milliseconds limit = 6s)
{
    return std::async(std::launch::async, [=] { return read_to_close(fd, from, limit); });
}

// Sends `text` a byte at a time, `gap` apart, until done, failed or stopped.
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

// A keep-alive timer ("tr" 2 in /proc/net/tcp) on the server's end.
bool keep_alive_on(int port, int client_port)
{
    char local[16], remote[16];
    std::snprintf(local, sizeof local, ":%04X", port);
    std::snprintf(remote, sizeof remote, ":%04X", client_port);
    std::ifstream in("/proc/net/tcp");
    std::string line, slot, address, peer, state, queues, timer;
    while (std::getline(in, line)) {
        std::istringstream(line) >> slot >> address >> peer >> state >> queues >> timer;
        if (address.ends_with(local) && peer.ends_with(remote)) return timer.starts_with("02:");
    }
    return false;
}

int open_descriptors(pid_t pid)
{
    const fs::path dir = "/proc/" + std::to_string(pid) + "/fd";
    return static_cast<int>(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}));
}

int local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

class Limits : public NetTest {};

// The server loop reads control documents and refuses clients itself: a
// refusal that meets a reset ends that connection only; a trickling
// control client gets 10 seconds, and other clients wait no longer.
TEST_F(Limits, AbortedRefusalsAndSlowControlClientsHoldTheLoopBriefly)
{
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.2</Client>"
                      "<ControlClient Allow=\"No\">127.0.0.2</ControlClient>"));
    for (const int target : {port, control_port}) {
        SCOPED_TRACE(target == port ? "request port" : "control port");
        // Read while the refused client comes and goes: the refusal meets a reset.
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
    Fd slow = connect_port(control_port);
    const auto from = clock_type::now();
    const std::jthread sender = trickle(slow.get(), STATISTICS, 500ms);
    std::future<Ending> slow_end = ending_of(slow.get(), from, 14s);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(serves(2));
    const auto served = clock_type::now() - from;
    const Ending e = slow_end.get();
    EXPECT_TRUE(ended(e, timed_out(10), 9500ms, 14s));
    EXPECT_LT(served, e.after + 1500ms);
    EXPECT_EQ(stop().status, 0);
}

// The loop finishes refused clients in passing: however many of them stay
// silent (an HTTP client might still send its request line) or go on
// sending, the next client is served at once, and each refused one still
// gets its whole refusal and then its end of the connection.
TEST_F(Limits, RefusedClientsNeverHoldTheLoop)
{
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.2</Client>"
                      "<ControlClient Allow=\"No\">127.0.0.2</ControlClient>"));
    std::vector<Fd> refused;
    std::vector<std::jthread> senders;
    for (int i = 0; i < 12; i++) {
        refused.push_back(connect_from("127.0.0.2", i < 10 ? port : control_port));
        // Shorter than the drain's second: closed once they pause, they
        // get no reset that could cost them the answer.
        if (i % 2 == 1) senders.push_back(trickle(refused.back().get(), repeat("x", 20), 20ms));
    }
    const auto asked = clock_type::now();
    EXPECT_TRUE(serves(1));
    EXPECT_LT(clock_type::now() - asked, 1s);
    for (std::size_t i = 0; i < refused.size(); i++)
        EXPECT_EQ(body_of(read_until_eof(refused[i].get())),
                  i < 10 ? ACL_DENIED
                         : error_body("Access denied to client due to Control IP-based ACL"));

    // A flood of refused clients that all keep sending holds at most 64
    // descriptors of the server, and the next client is still served.
    const int before = open_descriptors(server->pid());
    std::vector<Fd> flood;
    for (int i = 0; i < 100; i++) flood.push_back(connect_from("127.0.0.2", port));
    const std::jthread sender([&flood](std::stop_token stop) {
        while (!stop.stop_requested()) {
            for (const Fd &f : flood) send(f.get(), "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(20ms);
        }
    });
    EXPECT_TRUE(serves(2));
    EXPECT_LE(open_descriptors(server->pid()), before + 64);
    EXPECT_EQ(stop().status, 0);
}

// IdleTimeout ends a silent connection without an answer (status 0);
// RequestTimeout one whose request is not whole in time, however it
// trickles, with the timeout answer (status 1); their slots serve again.
// Accepted connections use TCP keep-alive.
TEST_F(Limits, StandaloneEndsIdleAndSlowConnections)
{
    logs_dir();
    ASSERT_TRUE(start("<Logging>0x40</Logging><MaxConcurrentConnect>3</MaxConcurrentConnect>"
                      "<IdleTimeout>1</IdleTimeout><RequestTimeout>2</RequestTimeout>"));
    Fd idle = connect_port(port), answered = connect_port(port), slow = connect_port(port);
    EXPECT_TRUE(eventually([&] { return keep_alive_on(port, local_port(idle.get())); }, 2s));
    const auto from = clock_type::now();
    EXPECT_TRUE(answers(answered.get(), 1));
    const auto answered_at = clock_type::now();
    const std::jthread sender = trickle(slow.get(), sql("SELECT 1"), 300ms);
    std::future<Ending> idle_end = ending_of(idle.get(), from),
                        answered_end = ending_of(answered.get(), answered_at),
                        slow_end = ending_of(slow.get(), from);
    EXPECT_EQ(body_of(read_until_eof(connect_port(port).get())), ALL_IN_USE);

    EXPECT_TRUE(ended(idle_end.get(), "", 900ms, 3s));
    EXPECT_TRUE(ended(answered_end.get(), "", 900ms, 3s));
    EXPECT_TRUE(ended(slow_end.get(), timed_out(2), 1900ms, 4s));
    EXPECT_TRUE(eventually([&] { return serves(4); }, 2s));
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Maximum Threads/Processes already in use\n");
    const std::string trace = server_trace();
    EXPECT_EQ(occurrences(trace, " exited with code 0\n"), 3u) << trace;
    EXPECT_EQ(occurrences(trace, " exited with code 1\n"), 1u) << trace;
}

// The same limits under inetd and tcpip_listen.
TEST_F(Limits, InetdAndTcpipListenEndIdleAndSlowConnections)
{
    configure("<IdleTimeout>1</IdleTimeout><RequestTimeout>2</RequestTimeout>");
    using Outcome = std::pair<Ending, ProcResult>;  // the connection's end, the process's
    // Optionally one answer, then `slow` trickled; tcpip_listen unless port 0.
    const auto session = [&](int listen_port, bool answer_first, const std::string &slow) {
        std::unique_ptr<InetdSession> inetd;
        std::unique_ptr<Child> single;
        Fd conn;
        if (listen_port == 0) {
            inetd = std::make_unique<InetdSession>();
        } else {
            single = std::make_unique<Child>(
                command({"tcpip_listen", std::to_string(listen_port)}), ProcOptions{});
            conn = connect_port(listen_port, NET_LIMIT);
        }
        const int fd = inetd ? inetd->fd() : conn.get();
        EXPECT_TRUE(!answer_first || answers(fd, 3));
        const auto from = clock_type::now();
        const std::jthread sender = trickle(fd, slow, 300ms);
        Ending end = read_to_close(fd, from, 6s);
        return Outcome{end, inetd ? inetd->finish() : single->finish()};
    };
    const std::string req = sql("SELECT 1");
    const struct { const char *name; int port; bool answer_first; std::string slow; } cases[] = {
        {"inetd, idle", 0, false, ""},
        {"inetd, idle after an answer", 0, true, ""},
        {"inetd, slow", 0, false, req},
        {"tcpip_listen, idle", port, false, ""},
        {"tcpip_listen, slow", control_port, false, req},
    };
    std::vector<std::future<Outcome>> outcomes;
    for (const auto &c : cases)
        outcomes.push_back(
            std::async(std::launch::async, session, c.port, c.answer_first, c.slow));
    for (std::size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].name);
        const auto [end, process] = outcomes[i].get();
        const bool slow = !cases[i].slow.empty();
        EXPECT_TRUE(slow ? ended(end, timed_out(2), 1900ms, 4s) : ended(end, "", 900ms, 3s));
        EXPECT_EQ(process, exited(slow ? 1 : 0));
    }
}

const std::string IGNORE_CHILDREN =
    "<Flags><MultiProcess/><EnableControlInterface/><IgnoreChildrenOnClosedown/>"
    "<LeaveChildrenOnClosedown/></Flags>";

// On SIGTERM the listener closes and every child waiting between requests
// ends at once with status 0, whatever Flags says.
TEST_F(Limits, ShutdownEndsWaitingChildrenAtOnce)
{
    logs_dir();
    for (const std::string &flags : {std::string(), IGNORE_CHILDREN, KILL_CHILDREN}) {
        SCOPED_TRACE(flags.empty() ? "default Flags" : flags);
        ASSERT_TRUE(start("<Logging>0x40</Logging>" + flags));
        Fd silent = connect_port(port), answered = connect_port(port);
        EXPECT_TRUE(answers(answered.get(), 1));
        ASSERT_TRUE(eventually([&] { return children_of(server->pid()).size() == 2; }, 2s));
        const std::vector<pid_t> kids = children_of(server->pid());
        const auto from = clock_type::now();
        kill(server->pid(), SIGTERM);
        for (const int fd : {silent.get(), answered.get()})
            EXPECT_TRUE(ended(read_to_close(fd, from, 2s), "", 0ms, 2s));
        EXPECT_FALSE(listening(port));
        EXPECT_TRUE(server_ended_within(2s));
        for (const pid_t kid : kids)
            EXPECT_TRUE(eventually([&] { return has_ended(kid); }, 2s)) << kid;
        EXPECT_EQ(stop(), CLEAN_EXIT);
        if (flags == IGNORE_CHILDREN) continue;  // the server did not wait to see them end
        for (const pid_t kid : kids) EXPECT_TRUE(holds(server_trace(), {child_exit(kid)}));
    }
}

// With the default Flags an answer in progress arrives whole first.
TEST_F(Limits, ShutdownWaitsOnlyForAnswersInProgress)
{
    ASSERT_TRUE(start());
    Fd idle = connect_port(port), busy = connect_port(port);
    EXPECT_TRUE(answers(idle.get(), 1));
    ASSERT_TRUE(send_all(busy.get(), rows(200000)));
    char first[4096];
    std::string answer(first, static_cast<std::size_t>(
                                  std::max<ssize_t>(0, recv(busy.get(), first, sizeof first, 0))));
    ASSERT_FALSE(answer.empty());
    kill(server->pid(), SIGTERM);
    EXPECT_TRUE(read_to_close(idle.get(), clock_type::now(), 2s).closed);
    EXPECT_FALSE(server_ended_within(500ms)) << "the answer in progress was not waited for";
    answer += read_until_eof(busy.get());
    EXPECT_TRUE(answer.ends_with("</Row>\n</Result>\n")) << answer.substr(answer.size() - 200);
    EXPECT_EQ(occurrences(answer, "<Row>"), 200000u);
    EXPECT_TRUE(server_ended_within(2s));
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

}  // namespace
