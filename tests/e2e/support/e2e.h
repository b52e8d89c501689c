// e2e.h - what the end-to-end tests share: child processes, files,
// documents, databases, sockets and the standalone server fixture.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The longest any single socket operation of a test may take.
inline constexpr std::chrono::seconds NET_LIMIT = 10s;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept { return reset(std::exchange(o.fd_, -1)), *this; }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (const int old = std::exchange(fd_, fd); old >= 0) close(old);
    }

private:
    int fd_;
};

// ---- Child processes

struct ProcResult {
    int status = -1;         // exit status, or 128 + signal number
    bool timed_out = false;  // killed at the time limit
    std::string out, err;
    bool operator==(const ProcResult &) const = default;
};
void PrintTo(const ProcResult &r, std::ostream *os);
// Ended by itself with `status`, writing `out` and nothing on standard error.
inline ProcResult exited(int status, std::string out = "")
{
    return {status, false, std::move(out), ""};
}
inline const ProcResult CLEAN_EXIT = exited(0);

struct ProcOptions {
    std::string input;             // standard input
    std::vector<std::string> env;  // "NAME=value" added; "NAME" removed
    int socket = -1;               // standard input and output, taken over by the child
    std::chrono::milliseconds limit = 10s;
    // Standard error stands for the systemd journal: JOURNAL_STREAM names it.
    bool journal = false;
};
inline ProcOptions with_input(std::string input, std::chrono::milliseconds limit = 10s)
{
    return {std::move(input), {}, -1, limit};
}

// finish() reaps the child, killed at its deadline, and collects its output.
class Child {
public:
    Child(const std::vector<std::string> &args, ProcOptions opts);
    ~Child();
    pid_t pid() const { return pid_; }
    // Bytes written on standard error so far, and what they say.
    std::size_t err_size() const;
    std::string err_now() const;
    ProcResult finish();

private:
    std::chrono::steady_clock::time_point deadline_;
    Fd in_, out_, err_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// The argument vector that runs `program` (the server unless named) with `args`.
std::vector<std::string> command(const std::vector<std::string> &args,
                                 const std::string &program = QUILLET_BINARY);
inline ProcResult run_server(const std::vector<std::string> &args, ProcOptions opts = {})
{
    return Child(command(args), std::move(opts)).finish();
}
inline ProcResult run_client(const std::vector<std::string> &args, std::string input = "")
{
    return Child(command(args, QUILLET_CLIENT_BINARY), with_input(std::move(input), 20s)).finish();
}
// Fails, quoting the tool's output, unless it exits with status 0.
::testing::AssertionResult run_tool(const std::vector<std::string> &argv, std::string_view input,
                                    std::string *out, std::chrono::milliseconds limit = 30s);
// The answer of `pipe` to `req`: `out` its result_of(), `err` its event_texts().
ProcResult query(const std::string &req, ProcOptions opts = {});

// ---- Standard error

// The prefix of an event line outside the journal: "<RFC 3339 UTC time> <level> ".
inline const std::regex EVENT_PREFIX(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (error|warning|info) )");
// `err` with the prefix taken off every event line; other lines stay.
std::string event_texts(std::string_view err);

// ---- Files

inline const std::string INSTALL_DIR = QUILLET_INSTALL_DIR;
inline const std::string CONFIG_XML = INSTALL_DIR + "/config.xml";
std::string logs_dir();  // creates Logs/ there

// A fresh directory, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
// The server trace (Logging 0x40) in Logs/, and its line for a child's end.
inline std::string server_trace() { return read_file(logs_dir() + "/tmquillet.log"); }
inline std::string child_exit(pid_t kid, int code = 0)
{
    return "\tChild " + std::to_string(kid) + " exited with code " + std::to_string(code) + "\n";
}
// A file of /proc: empty when the process it describes has gone.
std::string read_proc(const std::string &path);
void write_file(const std::string &path, std::string_view data);
inline void write_config(std::string_view doc) { write_file(CONFIG_XML, doc); }
// The examples' database (examples/demo.sql) made in `dir`, and the server
// run there with `method`, as the shipped data source expects.
inline ::testing::AssertionResult make_demo_db(const std::string &dir)
{
    std::string out;
    return run_tool({"sqlite3", dir + "/demo.db"}, read_file(QUILLET_SOURCE_DIR "/examples/demo.sql"), &out);
}
inline std::vector<std::string> in_dir(const std::string &dir, const std::string &method)
{
    return {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" " + method, dir, QUILLET_BINARY};
}
std::string repeat(std::string_view unit, std::size_t n);
inline std::size_t occurrences(std::string_view text, std::string_view part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != text.npos; at = text.find(part, at + 1)) n++;
    return n;
}
::testing::AssertionResult holds(const std::string &text, const std::vector<std::string> &parts);

// ---- Documents

inline std::string config_doc(std::string_view settings)
{
    return "<Configuration>" + std::string(settings) + "</Configuration>\n";
}
std::string xml_text(std::string_view text);  // &, < and > escaped
inline std::string request(std::string_view conn, std::string_view rest)
{
    return "<Request><ConnectionString>" + xml_text(conn) + "</ConnectionString>" +
           std::string(rest) + "</Request>";
}
inline std::string sql_request(std::string_view conn, std::string_view sql,
                               std::string_view more = "")
{
    return request(conn, "<Sql>" + xml_text(sql) + "</Sql>" + std::string(more));
}

// The text after the prolog, or the whole text marked "no prolog: ";
// result_of also drops the driver-information comment.
std::string body_of(const std::string &doc);
std::string result_of(const std::string &doc);

// The error result the server writes itself; the ODBC one for a diagnostic.
inline std::string error_body(std::string_view escaped_text)
{
    return "<Result State=\"HY000\">\n    <Diagnostic Number=\"1\">\n        <Text>" +
           std::string(escaped_text) + "</Text>\n    </Diagnostic>\n</Result>\n";
}
inline std::string odbc_error_body(std::string_view state, long native,
                                   std::string_view escaped_text)
{
    const std::string s(state);
    return "<Result State=\"" + s + "\">\n<Diagnostic Number=\"1\">\n    <State>" + s +
           "</State>\n    <Native>" + std::to_string(native) + "</Native>\n    <Text>" +
           std::string(escaped_text) + "</Text>\n</Diagnostic>\n</Result>\n";
}
// The Long result of one row with one column `name` = `value`.
inline std::string one_value(std::string_view name, std::string_view value)
{
    return "<Result State=\"00000\">\n<Row>\n    <Column Name=\"" + std::string(name) + "\">" +
           std::string(value) + "</Column>\n</Row>\n</Result>\n";
}
inline const std::string EMPTY_RESULT = "<Result State=\"00000\">\n</Result>\n";
// Flags that kill children in the middle of a request on shutdown.
inline const std::string KILL_CHILDREN =
    "<Flags><MultiProcess/><EnableControlInterface/><WaitForChildrenTerminationOnClosedown/>"
    "<KillChildrenOnClosedown/></Flags>";
// A control request that changed the configuration.
inline const std::string CONTROL_DONE = "<Result Status=\"00000\">\n</Result>\n";
inline const std::string STATISTICS = "<Request><Statistics/></Request>";
// The answers of refusals the server makes itself.
inline const std::string ACL_DENIED = error_body("Access denied to client due to IP-based ACL");
inline const std::string ALL_IN_USE = error_body("Maximum Threads/Processes already in use");
inline std::string timed_out(int seconds)
{
    return error_body("Request timed out - no complete request within " +
                      std::to_string(seconds) + " seconds");
}

// ---- Databases

// The run's PostgreSQL cluster, started on first use (its data: e2e.cpp).
namespace pg {
::testing::AssertionResult ready();
int port();
std::string conn(std::string_view options = "", std::string_view database = "quillet");
std::string psql(std::string_view sql);  // unaligned rows, against "quillet"
}  // namespace pg

class SqliteDb {
public:
    explicit SqliteDb(std::string_view setup_sql = "");
    std::string conn() const { return "Driver=SQLite3;Database=" + path_; }
    std::string query(std::string_view sql) const;  // the sqlite3 tool's output

private:
    TempDir dir_;
    std::string path_;
};

// ---- Fixtures

// No config.xml, tmp_config.xml or Logs/ before and after; in between, a
// quiet configuration logging to `logdir`.
class ServerTest : public ::testing::Test {
protected:
    ServerTest();
    ~ServerTest() override;
    TempDir logdir, work;
};

// ---- Sockets

// A listening socket on 127.0.0.1:*port; port 0 picks a free one.
Fd listen_on(int *port);
// An empty Fd when nothing accepted. Every send and receive gives up after NET_LIMIT.
Fd connect_port(int port, std::chrono::milliseconds retry_for = 0ms);
// Connects once to `ip` (IPv4 or IPv6) and `port`; else an empty Fd, errno in *error.
Fd connect_ip(const std::string &ip, int port, int *error = nullptr);
bool send_all(int fd, std::string_view data);
// Reads until the end, a receive times out, or the bytes end with `end`.
std::string read_until_eof(int fd, std::string_view end = "");
inline std::string ask(int fd, std::string_view req)
{
    return send_all(fd, req) ? read_until_eof(fd, "</Result>\n") : "send failed";
}
// Sends `doc`, half-closes and reads to the end; "refused" when nothing listens.
std::string control(int port, std::string_view doc);

// The server in inetd mode on one end of a socket pair, `peer` the other.
struct InetdSession {
    InetdSession();
    int fd() const { return peer.get(); }
    ProcResult finish();  // closes the connection, waits for the server
    Fd peer;
    std::unique_ptr<Child> child;
};

// ---- Processes seen through /proc

bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit);
std::vector<pid_t> children_of(pid_t pid);  // zombies included
bool has_ended(pid_t pid);                  // a zombie, or gone
bool listening(int port);  // on any address, IPv4 or IPv6
// Starts `argv` as *child (120 s at most); succeeds once something listens
// on `port`, fails with its standard error if it ends first.
::testing::AssertionResult start_listening(std::unique_ptr<Child> &child,
                                           const std::vector<std::string> &argv, int port,
                                           ProcOptions opts = {});

// ---- The standalone server

// A standalone server on free ports and a SQLite database t(n) holding 1, 2, 3.
class NetTest : public ServerTest {
protected:
    // Both sockets stay open until both numbers are known, so they differ.
    NetTest() { Fd a = listen_on(&port), b = listen_on(&control_port); }
    ~NetTest() override
    {
        if (server && !has_ended(server->pid())) stop();
    }

    // Writes config.xml and starts the server; succeeds once it listens.
    ::testing::AssertionResult start(std::string_view settings = "",
                                     std::vector<std::string> env = {}, bool journal = false);
    // Starts `argv` as the server, config.xml as it is; succeeds once it listens.
    ::testing::AssertionResult launch(const std::vector<std::string> &argv, ProcOptions opts = {});
    std::string settings_with_ports(std::string_view settings) const;
    void configure(std::string_view settings) const
    {
        write_config(config_doc(settings_with_ports(settings)));
    }
    // The server's child while it has exactly one, else -1.
    pid_t only_child() const
    {
        const std::vector<pid_t> kids = children_of(server->pid());
        return kids.size() == 1 ? kids[0] : -1;
    }
    // SIGTERM if still running, then collect; `err` without start and stop lines.
    ProcResult stop();
    // stop(), with status 0 and events holding `parts`.
    ::testing::AssertionResult stops_saying(const std::vector<std::string> &parts)
    {
        const ProcResult r = stop();
        if (r.status != 0) return ::testing::AssertionFailure() << ::testing::PrintToString(r);
        return holds(r.err, parts);
    }
    bool server_ended_within(std::chrono::milliseconds limit) const
    {
        return eventually([pid = server->pid()] { return has_ended(pid); }, limit);
    }

    std::string sql(std::string_view text) const { return sql_request(db.conn(), text); }
    // A query for n rows of 100 digits, each computed when fetched (StepAPI).
    std::string rows(int n) const
    {
        return sql_request(db.conn() + ";StepAPI=1",
                           "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                           "WHERE x < " + std::to_string(n) +
                               ") SELECT x, printf('%0100d', x) FROM c");
    }
    // A query for `v` reading t is answered rightly on `fd`, or on a new connection.
    ::testing::AssertionResult answers(int fd, int v) const;
    ::testing::AssertionResult serves(int v = 7) const
    {
        return answers(connect_port(port).get(), v);
    }

    SqliteDb db{"CREATE TABLE t(n INTEGER); INSERT INTO t VALUES (1), (2), (3);"};
    int port = 0, control_port = 0;
    std::unique_ptr<Child> server;
};
