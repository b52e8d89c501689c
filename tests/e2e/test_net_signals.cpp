// Signals to the standalone server, shutdown with children still running,
// and a client that vanishes in the middle of a large answer.

#include <csignal>
#include <sys/socket.h>
#include <thread>

#include "net_support.h"

namespace {

class Signals : public NetTest {};

// SIGHUP changes nothing; SIGTERM and SIGINT end the idle server within
// one 5-second wait for connections.
TEST_F(Signals, HangupIsIgnoredTermAndIntEndTheIdleServer)
{
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        ASSERT_TRUE(start());
        kill(server->pid(), SIGHUP);
        {
            Fd conn = connect_bounded(port);
            EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT 1 AS v"))), one_value("v", "1"));
        }
        kill(server->pid(), SIGHUP);
        EXPECT_FALSE(server_ended_within(300ms));
        kill(server->pid(), sig);
        EXPECT_TRUE(server_ended_within(6s));
        EXPECT_EQ(stop(), (ProcResult{0, false, "", ""}));
    }
}

// With the default Flags the server stops listening at once but stays
// until the last connected client has gone; that client is still served.
TEST_F(Signals, ShutdownWaitsForConnectedClients)
{
    ASSERT_TRUE(start());
    Fd conn = connect_bounded(port);
    EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT 1 AS v"))), one_value("v", "1"));
    kill(server->pid(), SIGTERM);
    EXPECT_TRUE(eventually([&] { return !listening(port); }, 2s));
    EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT 2 AS v"))), one_value("v", "2"));
    EXPECT_FALSE(server_ended_within(1500ms));
    conn.reset();
    EXPECT_TRUE(server_ended_within(3s));
    EXPECT_EQ(stop(), (ProcResult{0, false, "", ""}));
}

// KillChildrenOnClosedown: a child still reading a request is ended by the
// shutdown, which then waits for it and completes.
TEST_F(Signals, KillChildrenOnClosedownEndsChildrenFirst)
{
    ASSERT_TRUE(start("<Flags><MultiProcess/><EnableControlInterface/>"
                      "<WaitForChildrenTerminationOnClosedown/><KillChildrenOnClosedown/></Flags>"));
    Fd conn = connect_bounded(port);
    ASSERT_TRUE(send_all(conn.get(), "<Request><ConnectionString>"));
    ASSERT_TRUE(eventually([&] { return children_of(server->pid()).size() == 1; }, 2s));
    const pid_t child = children_of(server->pid())[0];
    std::this_thread::sleep_for(200ms);  // until it waits for the rest of the request
    kill(server->pid(), SIGTERM);
    EXPECT_TRUE(eventually([&] { return has_ended(child); }, 3s));
    EXPECT_TRUE(server_ended_within(3s));
    const std::string rest = read_until_eof(conn.get(), 3s);
    EXPECT_TRUE(rest.empty() || rest.ends_with("</Result>\n")) << rest;
    conn.reset();
    EXPECT_EQ(stop().status, 0);
}

// A client that leaves in the middle of a large answer stops the work: its
// child ends (status 0) long before it could have produced everything, and
// the server goes on serving.
TEST_F(Signals, VanishedClientStopsTheWork)
{
    InstallDir::logs_dir();
    ASSERT_TRUE(start("<Logging>0x40</Logging>"));
    // Two million rows, many seconds of work in any build. StepAPI makes
    // the driver compute each row when it is fetched rather than all of
    // them before the first.
    const std::string big = sql_request(
        db.conn() + ";StepAPI=1",
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000000) "
        "SELECT x, printf('%0100d', x) AS pad FROM c");
    Fd conn = connect_bounded(port);
    ASSERT_TRUE(send_all(conn.get(), big));
    char buf[4096];
    ASSERT_GT(recv(conn.get(), buf, sizeof buf, 0), 0);
    const std::vector<pid_t> kids = children_of(server->pid());
    ASSERT_EQ(kids.size(), 1u);
    conn.reset();  // unread data pending: the peer sees a reset
    const bool ended = eventually([&] { return has_ended(kids[0]); }, 2s);
    EXPECT_TRUE(ended) << "the child still works for a client that has gone";
    if (!ended) kill(kids[0], SIGKILL);

    Fd next = connect_bounded(port);
    EXPECT_EQ(result_of(ask(next.get(), sql("SELECT 4 AS v"))), one_value("v", "4"));
    next.reset();
    const ProcResult r = stop();
    EXPECT_EQ(r, (ProcResult{0, false, "", ""}));
    const std::string trace = read_file(InstallDir::logs_dir() + "/tmquillet.log");
    EXPECT_NE(trace.find("\tChild " + std::to_string(kids[0]) + " exited with code 0\n"),
              std::string::npos)
        << trace;
}

}  // namespace
