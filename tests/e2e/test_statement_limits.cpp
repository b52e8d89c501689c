// Limits on the work of one connection: QueryTimeout, clients that leave,
// a shutdown in the middle of a statement, and MaxChildMemory.

#include <csignal>
#include <sys/socket.h>
#include <thread>

#include "e2e.h"

namespace {

using steady = std::chrono::steady_clock;

// A count SQLite spends minutes on, all of it inside SQLExecDirect.
const std::string ENDLESS_COUNT =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000000000) "
    "SELECT count(*) FROM c";
// One allocation of 400 MB inside SQLite.
const std::string NEEDS_400_MB = "SELECT length(randomblob(400000000)) AS n";

const std::string TIMED_OUT = odbc_error_body("HYT00", 0, "Query timed out after 1 seconds");
const std::string OUT_OF_MEMORY = odbc_error_body("S1000", 7, "[SQLite]out of memory (7)");

double seconds_since(steady::time_point t)
{
    return std::chrono::duration<double>(steady::now() - t).count();
}

// "soft hard" of the address-space line of /proc/PID/limits.
std::string address_space_limit(pid_t pid)
{
    static const std::regex line(R"(Max address space\s+(\S+)\s+(\S+))");
    const std::string limits = read_proc("/proc/" + std::to_string(pid) + "/limits");
    std::smatch m;
    return std::regex_search(limits, m, line) ? m.str(1) + " " + m.str(2) : "no such line";
}

class StatementLimits : public NetTest {
protected:
    bool child_running() const
    {
        return eventually([&] { return only_child() > 0; }, 2s);
    }
};

// QueryTimeout 1: PostgreSQL stops a statement with its own error; one the
// server cancels (SQLite ignores the limit, or rows still being fetched)
// gets HYT00 after the rows sent. The connection then serves on.
TEST_F(StatementLimits, QueryTimeoutAnswersAndTheConnectionGoesOn)
{
    ASSERT_TRUE(pg::ready());
    ASSERT_TRUE(start("<QueryTimeout>1</QueryTimeout>"));
    const struct { std::string name, req, rows, answer; } cases[] = {
        {"SQLite count", sql(ENDLESS_COUNT), "", TIMED_OUT},
        {"PostgreSQL sleep", sql_request(pg::conn(), "SELECT pg_sleep(30)"), "",
         odbc_error_body("57014", 1,
                         "ERROR: canceling statement due to statement timeout;\n"
                         "Error while executing the query")},
        // Each block of two rows takes 0.4 s: the driver's limit never ends it.
        {"PostgreSQL slow rows",
         sql_request(pg::conn(";UseDeclareFetch=1;Fetch=2"),
                     "SELECT x FROM (SELECT x, pg_sleep(0.2) FROM generate_series(1, 100) x) s"),
         "<Result State=\"00000\">\n<Row>\n    <Column Name=\"x\">1</Column>\n</Row>\n", TIMED_OUT},
    };
    Fd conn = connect_port(port);
    int v = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto t0 = steady::now();
        ASSERT_TRUE(send_all(conn.get(), c.req));
        const std::string got = read_until_eof(conn.get(), c.answer);
        const double took = seconds_since(t0);
        EXPECT_GT(took, 0.9);
        EXPECT_LT(took, 6.0);
        // The error result comes with a prolog of its own, after any rows.
        const std::size_t last = got.rfind("<?xml");
        ASSERT_NE(last, std::string::npos) << got;
        EXPECT_EQ(body_of(got.substr(last)), c.answer);
        const std::string before = got.substr(0, last);
        EXPECT_TRUE(c.rows.empty() ? before.empty()
                                   : result_of(before).starts_with(c.rows) &&
                                         before.ends_with("</Row>\n</Result>\n"))
            << before;
        EXPECT_TRUE(answers(conn.get(), ++v));
    }
    conn.reset();
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

// A client that leaves while its statement runs or mid-answer stops the
// work: its process ends with status 0 at once. One that only ended its
// sending side still gets its answer.
TEST_F(StatementLimits, ClientThatLeavesStopsItsWork)
{
    logs_dir();
    ASSERT_TRUE(start("<Logging>0x40</Logging>"));
    Fd conn = connect_port(port);
    ASSERT_TRUE(send_all(conn.get(), sql(ENDLESS_COUNT)));
    ASSERT_TRUE(child_running());
    const pid_t child = only_child();
    std::this_thread::sleep_for(300ms);  // the statement runs
    conn.reset();
    EXPECT_TRUE(eventually([&] { return has_ended(child); }, 3s))
        << "the child still counts for a client that has gone";
    // Two million rows take many seconds in any build.
    conn = connect_port(port);
    ASSERT_TRUE(send_all(conn.get(), rows(2000000)));
    char buf[4096];
    ASSERT_GT(recv(conn.get(), buf, sizeof buf, 0), 0);
    ASSERT_TRUE(child_running());
    const pid_t answering = only_child();
    conn.reset();  // unread data pending: the peer sees a reset
    EXPECT_TRUE(eventually([&] { return has_ended(answering); }, 2s))
        << "the child still works for a client that has gone";

    Fd half = connect_port(port);
    ASSERT_TRUE(send_all(half.get(), sql("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                                         "FROM c WHERE x < 4000000) SELECT count(*) AS n FROM c")));
    shutdown(half.get(), SHUT_WR);
    EXPECT_EQ(result_of(read_until_eof(half.get())), one_value("n", "4000000"));
    EXPECT_EQ(stop(), CLEAN_EXIT);
    EXPECT_TRUE(holds(server_trace(), {child_exit(child), child_exit(answering)}));

    for (const std::string &req : {sql(ENDLESS_COUNT), rows(1000000)}) {
        InetdSession session;
        ASSERT_TRUE(send_all(session.fd(), req));
        std::this_thread::sleep_for(300ms);
        const auto t0 = steady::now();
        EXPECT_EQ(session.finish(), CLEAN_EXIT) << "a signal, not status 0, for " << req;
        EXPECT_LT(seconds_since(t0), 3.0);
    }
}

// With KillChildrenOnClosedown, SIGTERM ends a child mid-statement at
// once, cancelling the statement (PostgreSQL's backend stops too).
TEST_F(StatementLimits, ShutdownCancelsStatementsInProgress)
{
    ASSERT_TRUE(pg::ready());
    const std::string sleeping =
        "SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND "
        "query LIKE 'SELECT pg_sleep(60) AS probe%'";
    for (const std::string &req :
         {sql(ENDLESS_COUNT), sql_request(pg::conn(), "SELECT pg_sleep(60) AS probe")}) {
        SCOPED_TRACE(req);
        ASSERT_TRUE(start(KILL_CHILDREN));
        Fd conn = connect_port(port);
        ASSERT_TRUE(send_all(conn.get(), req));
        ASSERT_TRUE(child_running());
        const pid_t child = only_child();
        std::this_thread::sleep_for(500ms);  // connected, and the statement runs
        kill(server->pid(), SIGTERM);
        EXPECT_TRUE(eventually([&] { return has_ended(child); }, 3s))
            << "the child ignores the shutdown until its statement ends";
        EXPECT_EQ(read_until_eof(conn.get()), "");
        EXPECT_TRUE(server_ended_within(3s));
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
    EXPECT_TRUE(eventually([&] { return pg::psql(sleeping) == "0\n"; }, 3s));
}

// MaxChildMemory bounds each child's address space (none fits a
// sanitizer's shadow memory): a request that needs more fails with the
// driver's error, and everything goes on. inetd and tcpip_listen keep the
// limits in their one process.
TEST_F(StatementLimits, MaxChildMemoryAndSingleConnectionMethods)
{
    const std::string settings = "<QueryTimeout>1</QueryTimeout>" +
                                 std::string(QUILLET_SANITIZED ? "" : "<MaxChildMemory>128</MaxChildMemory>");
    if (!QUILLET_SANITIZED) {
        ASSERT_TRUE(start(settings));
        Fd conn = connect_port(port);
        ASSERT_TRUE(answers(conn.get(), 1));
        ASSERT_TRUE(child_running());
        EXPECT_EQ(address_space_limit(only_child()), "134217728 134217728");
        Fd other = connect_port(port);
        EXPECT_TRUE(answers(other.get(), 2));
        EXPECT_EQ(result_of(ask(conn.get(), sql(NEEDS_400_MB))), OUT_OF_MEMORY);
        EXPECT_TRUE(answers(other.get(), 3));
        EXPECT_TRUE(answers(conn.get(), 4));
        conn.reset(), other.reset();
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
    configure(settings);
    InetdSession session;
    EXPECT_EQ(result_of(ask(session.fd(), sql(ENDLESS_COUNT))), TIMED_OUT);
    EXPECT_TRUE(answers(session.fd(), 1));
    if (!QUILLET_SANITIZED) {
        EXPECT_EQ(result_of(ask(session.fd(), sql(NEEDS_400_MB))), OUT_OF_MEMORY);
        EXPECT_TRUE(answers(session.fd(), 2));
        Child listener(command({"tcpip_listen", std::to_string(port)}), {});
        EXPECT_EQ(result_of(ask(connect_port(port, NET_LIMIT).get(), sql(NEEDS_400_MB))),
                  OUT_OF_MEMORY);
        EXPECT_FALSE(listener.finish().timed_out);
    }
    EXPECT_EQ(session.finish(), CLEAN_EXIT);
}

}  // namespace
