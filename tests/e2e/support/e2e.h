// e2e.h - what the end-to-end tests share: child processes with a time
// limit, the installation directory, the shapes of the answer documents,
// the databases, loopback sockets and the standalone server fixture.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

// The longest any single socket operation of a test may take.
inline constexpr std::chrono::seconds NET_LIMIT = 10s;

// Owns one descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
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
// Ended by itself with status 0 and nothing on standard output or error.
inline const ProcResult CLEAN_EXIT{0, false, "", ""};

struct ProcOptions {
    std::string input;             // written to standard input, then closed
    std::vector<std::string> env;  // "NAME=value" added; "NAME" removed
    int socket = -1;               // when set, standard input and output are this socket
                                   // (the child takes it over: the caller's copy is closed)
    std::chrono::milliseconds limit = 10s;
};
inline ProcOptions with_input(std::string input, std::chrono::milliseconds limit = 10s)
{
    return {std::move(input), {}, -1, limit};
}

// A started child. finish() writes the rest of the input, collects the
// output and reaps it; a child still running at its deadline is killed.
class Child {
public:
    Child(const std::vector<std::string> &args, ProcOptions opts);
    ~Child();
    pid_t pid() const { return pid_; }
    ProcResult finish();

private:
    ProcOptions opts_;
    std::chrono::steady_clock::time_point deadline_;
    pid_t pid_ = -1;
    Fd in_, out_, err_;
    bool reaped_ = false;
};

std::vector<std::string> server_argv(const std::vector<std::string> &args);
inline ProcResult run_server(const std::vector<std::string> &args, ProcOptions opts = {})
{
    return Child(server_argv(args), std::move(opts)).finish();
}
// Runs a tool found on PATH. Fails, naming the tool and quoting its
// standard error, when it cannot be run or exits with a non-zero status.
::testing::AssertionResult run_tool(const std::vector<std::string> &argv, std::string_view input,
                                    std::string *out, std::chrono::milliseconds limit = 30s);

// ---- Files

// The installation directory the server was built with, and its files.
inline const std::string INSTALL_DIR = QUILLET_INSTALL_DIR;
inline const std::string CONFIG_XML = INSTALL_DIR + "/config.xml";
std::string logs_dir();  // creates Logs/ there

// A fresh directory, removed with everything in it by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, std::string_view data);
inline void write_config(std::string_view doc) { write_file(CONFIG_XML, doc); }
std::string repeat(std::string_view unit, std::size_t n);
// Whether `text` holds each of `parts`; how often it holds `part`.
::testing::AssertionResult holds(const std::string &text, const std::vector<std::string> &parts);
std::size_t count_of(const std::string &text, std::string_view part);

// ---- Documents

inline std::string config_doc(std::string_view settings)
{
    return "<Configuration>" + std::string(settings) + "</Configuration>\n";
}
// `text` with &, < and > as entity references, fit for element content.
std::string xml_text(std::string_view text);
// A request: ConnectionString `conn`, then the elements `rest`.
inline std::string request(std::string_view conn, std::string_view rest)
{
    return "<Request><ConnectionString>" + xml_text(conn) + "</ConnectionString>" +
           std::string(rest) + "</Request>";
}
// A request for the SQL text `sql` (escaped here), then the elements `more`.
inline std::string sql_request(std::string_view conn, std::string_view sql,
                               std::string_view more = "")
{
    return request(conn, "<Sql>" + xml_text(sql) + "</Sql>" + std::string(more));
}

// The body after the XML declaration and the generated-by comment (each
// line ending CR LF), or the whole text marked "no prolog: ".
std::string body_of(const std::string &doc);
// The body after the prolog and the driver-information comment.
std::string result_of(const std::string &doc);

// The error result the server writes itself, for one escaped text.
std::string error_body(std::string_view escaped_text);
// The ODBC error result for one diagnostic record.
std::string odbc_error_body(std::string_view state, long native, std::string_view escaped_text);
// The Long result of one row with one column `name` = `value`.
inline std::string one_value(std::string_view name, std::string_view value)
{
    return "<Result State=\"00000\">\n<Row>\n    <Column Name=\"" + std::string(name) + "\">" +
           std::string(value) + "</Column>\n</Row>\n</Result>\n";
}
// What a statement without a result set answers.
inline constexpr const char *EMPTY_RESULT = "<Result State=\"00000\">\n</Result>\n";

// ---- Databases

// The PostgreSQL cluster of the run, started on first use. Database
// "quillet" holds the objects of postgres_schema (databases.cpp);
// "tablelist" one table t and one view w and nothing else.
namespace pg {
::testing::AssertionResult ready();  // with the reason when it could not start
int port();
std::string conn(std::string_view options = "", std::string_view database = "quillet");
// The unaligned rows psql prints for `sql` against "quillet".
std::string psql(std::string_view sql);
}  // namespace pg

// A SQLite database file in a directory of its own.
class SqliteDb {
public:
    explicit SqliteDb(std::string_view setup_sql = "");
    const std::string &path() const { return path_; }
    std::string conn() const { return "Driver=SQLite3;Database=" + path_; }
    // The sqlite3 tool's output (one row a line, '|' between values).
    std::string query(std::string_view sql) const;

private:
    TempDir dir_;
    std::string path_;
};

// ---- Fixtures

// Sets aside config.xml, tmp_config.xml and Logs/ of the installation
// directory and writes a configuration with tracing off and LogDir in a
// private temporary directory; afterwards removes whatever the test left
// there and puts the originals back.
class ServerTest : public ::testing::Test {
protected:
    ServerTest();
    ~ServerTest() override;

    TempDir logdir;
    TempDir work;

private:
    std::string saved_;
};

struct Answer {
    int status = -1;
    std::string comment;  // the driver-information comment; empty in an error result
    std::string body;     // everything after the prolog and the comment
};

class QueryTest : public ServerTest {
protected:
    // Answers `req` through `pipe`. A time-out, a missing prolog or any
    // standard error output (a sanitizer report, for one) fails the test.
    Answer ask(const std::string &req, ProcOptions opts = {});
};

// ---- Sockets

// A connection to 127.0.0.1:port, retrying refused attempts for
// `retry_for`; an empty Fd when nothing accepted it. Connecting, sending
// and receiving each give up after NET_LIMIT.
Fd connect_port(int port, std::chrono::milliseconds retry_for = 0ms);
bool send_all(int fd, std::string_view data);
// Reads until the peer closes, a receive times out, or (when `end` is not
// empty) the bytes end with `end`.
std::string read_until_eof(int fd, std::string_view end = "");
// Sends `req` and reads its answer, up to the end of its first Result.
inline std::string ask(int fd, std::string_view req)
{
    return send_all(fd, req) ? read_until_eof(fd, "</Result>\n") : "send failed";
}
// One control exchange: connect, send `doc`, close the sending side, read
// until the server closes. "refused" when nothing accepted the connection.
std::string control(int port, std::string_view doc);

// The server in inetd mode on one end of a socket pair.
class InetdSession {
public:
    explicit InetdSession(const std::vector<std::string> &args = {"inetd"});
    int fd() const { return peer_.get(); }
    std::string exchange(const std::string &req) { return ask(fd(), req); }
    // Closes the connection and waits for the server to end.
    ProcResult finish();

private:
    Fd peer_;
    std::unique_ptr<Child> child_;
};

// ---- Processes seen through /proc

// Polls `done` every 20 ms until it holds or `limit` passes.
bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit);
std::vector<pid_t> children_of(pid_t pid);  // zombies included
bool has_ended(pid_t pid);                  // a zombie not yet reaped, or gone
int fd_count(pid_t pid);
bool listening(int port);  // anything on this machine listening on TCP `port`

// ---- The standalone server

// The configuration document the server writes back (after its prolog) for
// the quiet settings with these ports, the default Flags, and `lists`
// (Client and ControlClient lines) at the end.
std::string written_config(int port, int control_port, std::string_view logdir,
                           std::string_view lists = "");

// A standalone server on free ports and a SQLite database t(n) holding 1, 2, 3.
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
    // Whether a query for `v` that reads t is answered rightly on `fd`, or
    // on a new connection.
    ::testing::AssertionResult answers(int fd, int v) const;
    ::testing::AssertionResult serves(int v = 7) const;

    SqliteDb db{"CREATE TABLE t(n INTEGER); INSERT INTO t VALUES (1), (2), (3);"};
    int port = 0, control_port = 0;
    std::unique_ptr<Child> server;
};
