// Bursts of new connections wait in a listen queue of ListenBacklog
// instead of being dropped or reset, and the statistics add up after them;
// the load run of bench/load.sh.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>

#include <sstream>

#include "e2e.h"

namespace {

class Burst : public NetTest {
protected:
    // `n` connections opened at once, each returned once its handshake is done.
    static std::vector<Fd> connect_all(int port, int n, std::chrono::milliseconds limit)
    {
        const sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        std::vector<Fd> pending;
        for (int i = 0; i < n; i++) {
            Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 ||
                errno == EINPROGRESS)
                pending.push_back(std::move(fd));
        }
        std::vector<Fd> done;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pending.empty() && std::chrono::steady_clock::now() < deadline) {
            std::vector<pollfd> p;
            for (const Fd &fd : pending) p.push_back({fd.get(), POLLOUT, 0});
            poll(p.data(), p.size(), 50);
            std::vector<Fd> still;
            for (std::size_t i = 0; i < p.size(); i++) {
                int error = 0;
                socklen_t len = sizeof error;
                getsockopt(p[i].fd, SOL_SOCKET, SO_ERROR, &error, &len);
                if ((p[i].revents & POLLOUT) != 0 && error == 0)
                    done.push_back(std::move(pending[i]));
                else if (error == 0)
                    still.push_back(std::move(pending[i]));
            }
            pending = std::move(still);
        }
        return done;
    }
    // Ends this side and waits for an orderly close; false on a reset or a timeout.
    static bool closed_in_order(const Fd &fd)
    {
        fcntl(fd.get(), F_SETFL, 0);
        timeval limit{10, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        shutdown(fd.get(), SHUT_WR);
        char c;
        return recv(fd.get(), &c, 1, 0) == 0;
    }
};

// While the server is stopped, a burst completes its handshakes in the
// kernel's queue; once it goes on, each is accepted and closed in order,
// none reset, and counted. A queue of 5 lets most of it fail.
TEST_F(Burst, ConnectionsWaitInTheListenQueueAndAreAllCounted)
{
    const struct { std::string setting; int connects; bool all; } cases[] = {
        {"", 100, true},  // the default queue of 128
        {"<ListenBacklog>512</ListenBacklog>", 500, true},
        {"<ListenBacklog>5</ListenBacklog>", 100, false},
    };
    ASSERT_GE(std::stoi(read_file("/proc/sys/net/core/somaxconn")), 512) << "net.core.somaxconn caps every queue";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setting);
        ASSERT_TRUE(start(c.setting));
        const pid_t pid = server->pid();
        kill(pid, SIGSTOP);
        const std::vector<Fd> conns = connect_all(port, c.connects, c.all ? 3s : 1500ms);
        kill(pid, SIGCONT);
        int in_order = 0;
        for (const Fd &fd : conns) in_order += closed_in_order(fd);
        if (c.all) {
            EXPECT_EQ(conns.size(), static_cast<std::size_t>(c.connects));
            EXPECT_EQ(in_order, c.connects);
            const std::string counts = "<Total>" + std::to_string(c.connects) + "</Total>";
            EXPECT_TRUE(eventually(
                [&] {
                    return static_cast<bool>(holds(control(control_port, STATISTICS),
                                 {counts, "<Active>0</Active>",
                                  "<ChildrenCreated>" + std::to_string(c.connects) +
                                      "</ChildrenCreated>"}));
                },
                10s))
                << control(control_port, STATISTICS);
            EXPECT_TRUE(eventually([&] { return children_of(pid).empty(); }, 10s));
        } else {
            EXPECT_LT(in_order, c.connects / 2);
        }
        EXPECT_EQ(stop().status, 0);
    }
}

// Many clients at once: every answer right, the statistics adding up.
TEST_F(Burst, AccountingAddsUpAfterConcurrentClients)
{
    constexpr int CLIENTS = 8, CONNECTIONS = 20;
    ASSERT_TRUE(start("<KeepConnections>Yes</KeepConnections>"));
    std::vector<std::thread> clients;
    std::atomic<int> right{0};
    for (int c = 0; c < CLIENTS; c++)
        clients.emplace_back([&, c] {
            for (int i = 0; i < CONNECTIONS; i++) {
                Fd conn = connect_port(port);
                const int requests = (c + i) % 4 == 0 ? 3 : 1;
                for (int r = 0; r < requests; r++) right += static_cast<bool>(answers(conn.get(), c * 1000 + i));
            }
        });
    for (std::thread &t : clients) t.join();
    EXPECT_EQ(right.load(), CLIENTS * (CONNECTIONS + CONNECTIONS / 4 * 2));
    const std::string total = std::to_string(CLIENTS * CONNECTIONS);
    EXPECT_TRUE(eventually(
        [&] {
            return static_cast<bool>(holds(control(control_port, STATISTICS),
                         {"<Total>" + total + "</Total>\n    <Refused>0</Refused>\n    "
                                              "<Active>0</Active>",
                          "<ChildrenCreated>" + total + "</ChildrenCreated>"}));
        },
        10s))
        << control(control_port, STATISTICS);
    EXPECT_TRUE(children_of(server->pid()).empty());
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

// The server loads the drivers' libraries before it accepts: a child
// serving SQLite and PostgreSQL initialises none (the linker's trace).
TEST_F(Burst, ChildrenLoadNoDriverLibrary)
{
    ASSERT_TRUE(pg::ready());
    ASSERT_TRUE(start("", {"LD_DEBUG=files"}));
    Fd conn = connect_port(port);
    EXPECT_TRUE(answers(conn.get(), 1));
    EXPECT_EQ(result_of(ask(conn.get(), sql_request(pg::conn(), "SELECT 2 AS v"))),
              one_value("v", "2"));
    const std::vector<pid_t> kids = children_of(server->pid());
    ASSERT_EQ(kids.size(), 1u);
    conn.reset();
    const ProcResult r = stop();
    const auto inits = [&](pid_t pid) {
        std::string found;
        static const std::regex init(R"(^ *(\d+):\s+calling init: (\S*(/odbc/|libpq|libsqlite3)\S*))");
        std::istringstream lines(r.err);
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (std::regex_search(line, m, init) && std::stoi(m[1]) == pid) found += m[2].str() + "\n";
        }
        return found;
    };
    EXPECT_TRUE(holds(inits(server->pid()), {"libsqlite3odbc", "psqlodbcw"})) << r.err.substr(0, 2000);
    EXPECT_EQ(inits(kids[0]), "");
}

// bench/load.sh, small, plain and over TLS: every answer as pipe mode
// gives it, and the server ends with what it began with.
TEST(LoadRun, EveryAnswerEqualsPipeModePlainAndOverTls)
{
    for (const std::string mode : {"", "--tls"}) {
        SCOPED_TRACE(mode.empty() ? "plain" : mode);
        std::vector<std::string> argv = {"bash", std::string(QUILLET_SOURCE_DIR) + "/bench/load.sh"};
        if (!mode.empty()) argv.push_back(mode);
        argv.insert(argv.end(), {QUILLET_BUILD_DIR, "4", "20"});
        const ProcResult r = Child(argv, with_input("", 240s)).finish();
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        // 4 x 20 connections, 8 leaving mid-answer; resets only by SYN cookies.
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m,
                                      std::regex("(\\d+) answers identical, 8 left mid-answer, 0 wrong "
                                                 "or refused\n(\\d+) reset before any byte")))
            << r.out << r.err;
        EXPECT_EQ(std::stoi(m[1]) + std::stoi(m[2]), 72) << r.out;
        EXPECT_TRUE(holds(r.out, {"children left 0\n"})) << r.out;
    }
}

}  // namespace
