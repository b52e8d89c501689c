// net_support.h - the socket methods under test: a standalone server on
// free loopback ports, bounded exchanges over TCP, and what /proc tells
// about a server's children and descriptors.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "query_test.h"
#include "socket.h"

// Sends `req` and reads its answer.
std::string ask(int fd, std::string_view req, std::chrono::milliseconds limit = NET_LIMIT);
// One control exchange: connect, send `doc`, close the sending side, read
// until the server closes. "refused" when nothing accepted the connection.
std::string control(int port, std::string_view doc);

// The answer after its prolog and the driver-information comment.
inline std::string result_of(const std::string &doc)
{
    std::string body = body_of(doc);
    strip_comment(&body);
    return body;
}
// The Short result of one row with one column `name` = `value`.
std::string one_value(std::string_view name, std::string_view value);

// The configuration document the server writes back (after its prolog)
// for the fixture's quiet settings with these ports, the default Flags, and
// `lists` (Client and ControlClient lines) at the end.
std::string written_config(int port, int control_port, std::string_view logdir,
                           std::string_view lists = "");

// Polls `done` every 20 ms until it holds or `limit` passes.
bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit);
// Child processes of `pid`, zombies included.
std::vector<pid_t> children_of(pid_t pid);
// True when `pid` has exited (a zombie not yet reaped, or gone).
bool has_ended(pid_t pid);
// Open descriptors of `pid`.
int fd_count(pid_t pid);
// True when something on this machine listens on TCP `port`.
bool listening(int port);

// A fixture with a standalone server on free ports and a small SQLite
// database t(n) holding 1, 2, 3.
class NetTest : public ServerTest {
protected:
    NetTest();
    ~NetTest() override;

    // Writes config.xml with Port, ControlPort and `settings`, starts the
    // server and waits until its request port listens.
    ::testing::AssertionResult start(std::string_view settings = "");
    // The configuration text start() writes, `settings` included.
    std::string settings_with_ports(std::string_view settings) const;
    // Sends SIGTERM (if the server still runs) and collects its end.
    ProcResult stop();
    // Waits, without reaping, until the server has exited.
    bool server_ended_within(std::chrono::milliseconds limit) const;

    // A request for `sql` against the test database.
    std::string sql(std::string_view text) const { return sql_request(db.conn(), text); }

    SqliteDb db{"CREATE TABLE t(n INTEGER); INSERT INTO t VALUES (1), (2), (3);"};
    int port = 0, control_port = 0;
    std::unique_ptr<Child> server;
};
