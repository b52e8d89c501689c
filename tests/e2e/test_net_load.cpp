// Many clients at once against the standalone server: every complete
// answer is right, and afterwards the server holds no more children or
// descriptors than before.

#include <sys/socket.h>
#include <thread>

#include "net_support.h"

namespace {

class Load : public NetTest {};

TEST_F(Load, ConcurrentClientsSomeLeavingMidAnswer)
{
    constexpr int CLIENTS = 16, ROUNDS = 5;
    ASSERT_TRUE(start());
    const pid_t pid = server->pid();
    const int fds_before = fd_count(pid);
    const std::string big = sql_request(
        db.conn() + ";StepAPI=1",
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000) "
        "SELECT x, printf('%050d', x) AS pad FROM c");

    std::vector<std::string> failures[CLIENTS];
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; c++) {
        clients.emplace_back([&, c] {
            for (int r = 0; r < ROUNDS; r++) {
                const std::string round = "client " + std::to_string(c) + " round " + std::to_string(r);
                Fd conn = connect_bounded(port);
                if (conn.get() < 0) {
                    failures[c].push_back(round + ": not accepted");
                    continue;
                }
                if ((c + r) % 4 == 0) {
                    // Leaves after the first bytes of a large answer.
                    char buf[4096];
                    if (!send_all(conn.get(), big) || recv(conn.get(), buf, sizeof buf, 0) <= 0)
                        failures[c].push_back(round + ": no start of the large answer");
                    continue;
                }
                const std::string v = std::to_string(c * 100 + r);
                const std::string got =
                    result_of(ask(conn.get(), sql("SELECT " + v + " AS v, sum(n) AS s FROM t")));
                if (got != "<Result State=\"00000\">\n<Row>\n    <Column Name=\"v\">" + v +
                               "</Column>\n    <Column Name=\"s\">6</Column>\n</Row>\n</Result>\n")
                    failures[c].push_back(round + ": " + got);
            }
        });
    }
    for (std::thread &t : clients) t.join();
    for (const auto &f : failures)
        for (const std::string &text : f) ADD_FAILURE() << text;

    {
        Fd conn = connect_bounded(port);
        EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT 1 AS v"))), one_value("v", "1"));
    }
    // Ended children are reaped on the idle turn, at most 5 s after the
    // last connection.
    EXPECT_TRUE(eventually([&] { return children_of(pid).empty(); }, 8s))
        << children_of(pid).size() << " children left";
    EXPECT_EQ(fd_count(pid), fds_before);
    EXPECT_EQ(stop(), (ProcResult{0, false, "", ""}));
}

}  // namespace
