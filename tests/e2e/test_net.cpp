// The network methods. standalone: many clients at once, admission limits,
// access lists, the control port, signals and shutdown with children still
// running, and a client that vanishes in the middle of a large answer. One
// connection per process: tcpip_listen, and inetd over an inherited
// connection (control mode under a real inetd: test_client).

#include <algorithm>
#include <cstdio>

#include "e2e.h"

namespace {

class Standalone : public NetTest {};

const std::string ACL_DENIED = error_body("Access denied to client due to IP-based ACL");

// Each connection is served by a child of its own: every answer is right, a
// client that leaves mid-answer or half-way through a request ends only its
// own child, one that never sends holds only its own, and afterwards the
// server holds no more children or descriptors than before.
TEST_F(Standalone, ConcurrentClientsSomeFailing)
{
    constexpr int CLIENTS = 16, ROUNDS = 5;
    ASSERT_TRUE(start());
    const pid_t pid = server->pid();
    const int fds_before = fd_count(pid);
    Fd silent = connect_port(port);
    const std::string big = rows(100000), half = sql("SELECT 1").substr(0, 40);
    // A burst of 16 connects overflows the listen queue of 5; with SYN
    // cookies the kernel may then reset a connection the server never
    // accepted. Like a real client, a first exchange that got nothing but a
    // reset tries a new connection.
    const auto first_exchange = [&](const std::string &req, bool whole) {
        for (int attempt = 0;; attempt++) {
            Fd conn = connect_port(port);
            char buf[4096];
            const ssize_t n =
                whole || !send_all(conn.get(), req) ? 0 : recv(conn.get(), buf, 4096, 0);
            std::string got = whole ? ask(conn.get(), req) : std::string(buf, n > 0 ? n : 0);
            if (!got.empty() || attempt == 2) return std::pair{std::move(conn), got};
        }
    };
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; c++) {
        clients.emplace_back([&, c] {
            auto [kept, hello] = first_exchange(sql("SELECT 1 AS v"), true);
            EXPECT_EQ(result_of(hello), one_value("v", "1"));
            for (int r = 0; r < ROUNDS; r++) {
                EXPECT_TRUE((c + r) % 3 != 0 || !first_exchange(big, false).second.empty());
                EXPECT_TRUE(answers(kept.get(), c * 100 + r)) << "client " << c << " round " << r;
            }
        });
    }
    for (std::thread &t : clients) t.join();
    for (int i = 0; i < 5; i++) ASSERT_TRUE(send_all(connect_port(port).get(), half));
    EXPECT_TRUE(serves(1));
    // Ended children are reaped as soon as they end; the silent client's
    // stays until it leaves.
    EXPECT_TRUE(eventually([&] { return children_of(pid).size() == 1; }, 8s));
    silent.reset();
    EXPECT_TRUE(eventually([&] { return children_of(pid).empty(); }, 8s));
    EXPECT_EQ(fd_count(pid), fds_before);
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

// With two connections open a third is refused with an error document;
// once one of the two has ended, the next is admitted.
TEST_F(Standalone, ConnectionLimits)
{
    for (const auto &[setting, refusal] : {
             std::pair{"<MaxConcurrentConnect>2</MaxConcurrentConnect>",
                       "Maximum Threads/Processes already in use"},
             {"<MaxClientConnect>2</MaxClientConnect>",
              "Maximum connections from client 127.0.0.1 already in use"}}) {
        SCOPED_TRACE(setting);
        ASSERT_TRUE(start(setting));
        Fd a = connect_port(port);
        EXPECT_TRUE(answers(a.get(), 1));
        const std::vector<pid_t> first = children_of(server->pid());
        Fd b = connect_port(port);
        EXPECT_TRUE(answers(b.get(), 2));
        EXPECT_EQ(body_of(read_until_eof(connect_port(port).get())), error_body(refusal));
        a.reset();
        ASSERT_EQ(first.size(), 1u);
        // The slot is free once the server has reaped the child, not when
        // it has merely ended.
        ASSERT_TRUE(eventually([&] { return std::ranges::count(children_of(server->pid()),
                                                               first[0]) == 0; }, 5s));
        EXPECT_TRUE(serves(3));
        b.reset();
        const ProcResult r = stop();
        EXPECT_TRUE(r.status == 0 && holds(r.err, {refusal})) << r.status;
    }
}

// Refused clients get an error document; the control port has a list of
// its own, and can be left closed.
TEST_F(Standalone, AccessListsAndDisabledControlInterface)
{
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.1</Client>"
                      "<ControlClient Allow=\"No\">127.0.0.0/255.0.0.0</ControlClient>"));
    EXPECT_EQ(body_of(ask(connect_port(port).get(), sql("SELECT 1"))), ACL_DENIED);
    EXPECT_EQ(body_of(control(control_port, "<Request><Statistics/></Request>")),
              error_body("Access denied to client due to Control IP-based ACL"));
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r.err, {"Client (127.0.0.1) denied access - due to access control rule\n"}));

    ASSERT_TRUE(start("<Flags><DisableControlInterface/></Flags>"));
    EXPECT_TRUE(serves(5));
    EXPECT_EQ(control(control_port, "<Request><Configuration/></Request>"), "refused");
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

// A new Client list sent on the control port applies from the next idle
// turn and the statistics count the refusal; every control request leaves
// config.xml holding the settings in force.
TEST_F(Standalone, ControlPortReconfiguresAndReports)
{
    ASSERT_TRUE(start());
    EXPECT_TRUE(serves(1));
    const std::string deny = "<Client Allow=\"No\">127.0.0.1</Client>";
    EXPECT_EQ(body_of(control(control_port, config_doc(settings_with_ports(deny)))), CONTROL_DONE);
    // The file is written again after the answer has gone out.
    const auto config_saved = [&] {
        return read_file(CONFIG_XML).find("    " + deny + "\n") != std::string::npos;
    };
    EXPECT_TRUE(eventually(config_saved, 2s));
    // The server waits up to 5 s for a connection before its idle turn;
    // any connection in between would start that wait again.
    std::this_thread::sleep_for(6500ms);
    EXPECT_EQ(body_of(read_until_eof(connect_port(port).get())), ACL_DENIED);

    write_config(config_doc(settings_with_ports("")));
    EXPECT_TRUE(holds(body_of(control(control_port, "<Request><Statistics/></Request>")),
                      {"<Total>2</Total>\n    <Refused>1</Refused>\n    <Active>0</Active>\n    "
                       "<MaxConcurrent>1</MaxConcurrent>\n    <ChildrenCreated>1</ChildrenCreated>",
                       "<Client Name=\"unknown\">127.0.0.1</Client>\n",
                       "  <Control>\n    <Connections>\n      <Total>2</Total>\n"}));
    EXPECT_TRUE(eventually(config_saved, 2s)) << read_file(CONFIG_XML);
    EXPECT_EQ(stop().status, 0);
}

// SIGHUP reloads config.xml and interrupts nothing: the server goes on
// serving the connected client and new ones (what a reload changes:
// test_service).
TEST_F(Standalone, HangupKeepsServing)
{
    ASSERT_TRUE(start());
    Fd conn = connect_port(port);
    EXPECT_TRUE(answers(conn.get(), 1));
    kill(server->pid(), SIGHUP);
    EXPECT_TRUE(answers(conn.get(), 2));
    EXPECT_TRUE(serves(3));
    EXPECT_EQ(stop(), (ProcResult{0, false, "", "Configuration reloaded from " + CONFIG_XML + "\n"}));
}

// KillChildrenOnClosedown: a child still reading a request is ended by the
// shutdown, which waits for it and completes.
TEST_F(Standalone, KillChildrenOnClosedownEndsChildrenFirst)
{
    ASSERT_TRUE(start("<Flags><MultiProcess/><EnableControlInterface/>"
                      "<WaitForChildrenTerminationOnClosedown/><KillChildrenOnClosedown/>"
                      "</Flags>"));
    Fd conn = connect_port(port);
    ASSERT_TRUE(send_all(conn.get(), "<Request><ConnectionString>"));
    ASSERT_TRUE(eventually([&] { return children_of(server->pid()).size() == 1; }, 2s));
    const pid_t child = children_of(server->pid())[0];
    std::this_thread::sleep_for(200ms);  // until it waits for the rest of the request
    kill(server->pid(), SIGTERM);
    EXPECT_TRUE(eventually([&] { return has_ended(child); }, 3s));
    EXPECT_TRUE(server_ended_within(3s));
    const std::string rest = read_until_eof(conn.get());
    EXPECT_TRUE(rest.empty() || rest.ends_with("</Result>\n")) << rest;
    conn.reset();
    EXPECT_EQ(stop().status, 0);
}

// A client that leaves in the middle of a large answer stops the work: its
// child ends with status 0 long before it could have produced everything
// (two million rows take many seconds in any build), and the server goes
// on serving.
TEST_F(Standalone, VanishedClientStopsTheWork)
{
    logs_dir();
    ASSERT_TRUE(start("<Logging>0x40</Logging>"));
    Fd conn = connect_port(port);
    ASSERT_TRUE(send_all(conn.get(), rows(2000000)));
    char buf[4096];
    ASSERT_GT(recv(conn.get(), buf, sizeof buf, 0), 0);
    const std::vector<pid_t> kids = children_of(server->pid());
    ASSERT_EQ(kids.size(), 1u);
    conn.reset();  // unread data pending: the peer sees a reset
    EXPECT_TRUE(eventually([&] { return has_ended(kids[0]); }, 2s))
        << "the child still works for a client that has gone";
    EXPECT_TRUE(serves(4));
    EXPECT_EQ(stop(), CLEAN_EXIT);
    EXPECT_TRUE(holds(read_file(logs_dir() + "/tmquillet.log"),
                      {"\tChild " + std::to_string(kids[0]) + " exited with code 0\n"}));
}

class SingleConnection : public NetTest {};

// The port as a hexadecimal argument; one connection is served, and no second.
TEST_F(SingleConnection, TcpipListenServesOneConnectionThenEnds)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", port);
    write_config(config_doc(settings_with_ports("")));
    Child child(command({"tcpip_listen", hex}), {});
    EXPECT_TRUE(answers(connect_port(port, NET_LIMIT).get(), 6));
    EXPECT_EQ(child.finish(), CLEAN_EXIT);
    EXPECT_LT(connect_port(port).get(), 0) << "a second connection was accepted";
}

// Requests are answered in order on one connection, a failed statement
// included; the connection ends by the peer's close (status 0), by an
// unreadable request (its error document, status 1), or by a peer that
// leaves in the middle of a large answer (status 0, not a signal).
TEST_F(SingleConnection, InetdServesRequestAfterRequest)
{
    for (const auto &[last, status] :
         {std::pair{std::string(), 0}, {"<Request><Sql></Request>", 1}, {rows(1000000), 0}}) {
        SCOPED_TRACE(last.substr(0, 30));
        InetdSession session;
        EXPECT_TRUE(answers(session.fd(), 1));
        EXPECT_EQ(result_of(ask(session.fd(), sql("SELECT * FROM missing"))),
                  odbc_error_body("S1000", 1, "[SQLite]no such table: missing (1)"));
        EXPECT_TRUE(answers(session.fd(), 2));
        char start[4096];
        ASSERT_TRUE(send_all(session.fd(), last));
        if (status == 1) {
            EXPECT_EQ(body_of(read_until_eof(session.fd())),
                      error_body("error on line 1 of input request, mismatched tag"));
        }
        EXPECT_TRUE(status == 1 || last.empty() || recv(session.fd(), start, 4096, 0) > 0);
        EXPECT_EQ(session.finish(), (ProcResult{status, false, "", ""}));
    }
}

}  // namespace
