// e2e.cpp - the shared support: child processes, files and documents, the
// databases, loopback sockets and what /proc tells about the server.

#include <arpa/inet.h>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e.h"

namespace {

// Children read and write memory files, not pipes: nothing to pump, and no
// child of the server can hold a test up by keeping an output pipe open.

int memory_file(std::string_view data = "")
{
    const int fd = memfd_create("e2e", MFD_CLOEXEC);
    for (ssize_t n = 0; fd >= 0 && !data.empty(); data.remove_prefix(static_cast<std::size_t>(n)))
        if ((n = write(fd, data.data(), data.size())) <= 0)
            throw std::runtime_error("write failed");
    if (fd < 0 || lseek(fd, 0, SEEK_SET) < 0) throw std::runtime_error("memfd_create failed");
    return fd;
}

std::string contents(const Fd &fd)
{
    lseek(fd.get(), 0, SEEK_SET);
    return read_until_eof(fd.get());
}

// The installation directory (in the build tree) is the tests' own.
void clear_install_dir()
{
    std::error_code ec;
    for (const char *name : {"config.xml", "tmp_config.xml", "Logs"})
        fs::remove_all(INSTALL_DIR + "/" + name, ec);
}

sockaddr_in loopback(int port)
{
    return {.sin_family = AF_INET,
            .sin_port = htons(static_cast<std::uint16_t>(port)),
            .sin_addr = {htonl(INADDR_LOOPBACK)},
            .sin_zero = {}};
}

// Bounds sends and receives, and on Linux a connect too: a full listen
// queue makes it wait, not hang.
void bound(int fd, std::chrono::seconds limit)
{
    const timeval tv{static_cast<time_t>(limit.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

Child::Child(const std::vector<std::string> &args, ProcOptions opts)
    : deadline_(std::chrono::steady_clock::now() + opts.limit), in_(memory_file(opts.input)),
      out_(memory_file()), err_(memory_file())
{
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(opts.socket >= 0 ? opts.socket : in_.get(), STDIN_FILENO);
        dup2(opts.socket >= 0 ? opts.socket : out_.get(), STDOUT_FILENO);
        dup2(err_.get(), STDERR_FILENO);
        // As inetd or a shell would start it, not with the runner's disposition.
        signal(SIGPIPE, SIG_DFL);
        // A sanitizer report must never pass for one of the server's own
        // exit statuses (its default is 1, the server's usual failure).
        // Stacks are not leak roots: a path that calls exit() deep inside
        // the server would otherwise hide what main's locals still own.
        for (const auto &[name, option] : {std::pair{"ASAN_OPTIONS", ":exitcode=23"},
                                           {"LSAN_OPTIONS", ":use_stacks=0:use_registers=0"}}) {
            const char *old = getenv(name);
            setenv(name, (std::string(old ? old : "") + option).c_str(), 1);
        }
        // Only a test that asks talks to a service manager or the journal.
        unsetenv("NOTIFY_SOCKET");
        unsetenv("JOURNAL_STREAM");
        if (opts.journal) {
            struct stat st {};
            fstat(STDERR_FILENO, &st);
            setenv("JOURNAL_STREAM",
                   (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        }
        for (const std::string &e : opts.env) putenv(strdup(e.c_str()));
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (opts.socket >= 0) close(opts.socket);  // the child's end now lives only in the child
}

Child::~Child()
{
    if (!reaped_ && pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
}

ProcResult Child::finish()
{
    ProcResult r;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (!r.timed_out && std::chrono::steady_clock::now() >= deadline_)
            r.timed_out = kill(pid_, SIGKILL) == 0;
        usleep(2000);
    }
    reaped_ = true;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = contents(out_);
    r.err = contents(err_);
    return r;
}

std::size_t Child::err_size() const
{
    struct stat st {};
    return fstat(err_.get(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

std::string Child::err_now() const
{
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = pread(err_.get(), buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    return text;
}

std::string event_texts(std::string_view err)
{
    std::string texts;
    while (!err.empty()) {
        const std::size_t end = err.find('\n');
        const std::string line(err.substr(0, end == err.npos ? err.size() : end + 1));
        err.remove_prefix(line.size());
        std::smatch m;
        texts += std::regex_search(line, m, EVENT_PREFIX) ? m.suffix().str() : line;
    }
    return texts;
}

namespace {

// Event texts without the start and stop lines (test_service checks those).
std::string server_events(std::string_view err)
{
    std::string kept;
    std::istringstream lines{event_texts(err)};
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("quilletserver 1.1.0 started, pid ") ||
            line.starts_with("quilletserver stopped on "))
            continue;
        kept += line;
        if (!lines.eof()) kept += '\n';
    }
    return kept;
}

}  // namespace

void PrintTo(const ProcResult &r, std::ostream *os)
{
    *os << "{status " << r.status << (r.timed_out ? " (timed out)" : "") << ", out \"" << r.out
        << "\", err \"" << r.err << "\"}";
}

std::vector<std::string> command(const std::vector<std::string> &args, const std::string &program)
{
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

::testing::AssertionResult run_tool(const std::vector<std::string> &argv, std::string_view input,
                                    std::string *out, std::chrono::milliseconds limit)
{
    const ProcResult r = Child(argv, with_input(std::string(input), limit)).finish();
    *out = r.out;
    if (r.status == 0 && !r.timed_out) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << argv[0] << (r.status == 127 ? " is not installed" : "")
                                         << ": " << ::testing::PrintToString(r);
}

ProcResult query(const std::string &req, ProcOptions opts)
{
    opts.input = req;
    ProcResult r = run_server({"pipe"}, std::move(opts));
    r.out = result_of(r.out);
    r.err = event_texts(r.err);
    return r;
}

// ---- Files and documents

ServerTest::ServerTest()
{
    clear_install_dir();
    fs::create_directories(INSTALL_DIR);  // absent in a fresh build tree
    write_config(config_doc("<Logging>0</Logging><LogDir>" + logdir.path() + "</LogDir>"));
}

ServerTest::~ServerTest() { clear_install_dir(); }

std::string logs_dir()
{
    fs::create_directories(INSTALL_DIR + "/Logs");
    return INSTALL_DIR + "/Logs";
}

TempDir::TempDir() : path_((fs::temp_directory_path() / "quillet-e2e-XXXXXX").string())
{
    if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, std::string_view data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(data.data(), static_cast<std::streamsize>(data.size())))
        throw std::runtime_error("cannot write " + path);
}

std::string repeat(std::string_view unit, std::size_t n)
{
    std::string s;
    while (n-- > 0) s += unit;
    return s;
}

::testing::AssertionResult holds(const std::string &text, const std::vector<std::string> &parts)
{
    for (const std::string &p : parts)
        if (text.find(p) == std::string::npos)
            return ::testing::AssertionFailure() << "no \"" << p << "\" in:\n" << text;
    return ::testing::AssertionSuccess();
}

std::string xml_text(std::string_view text)
{
    std::string out;
    for (const char c : text)
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    return out;
}

// The examples test pins the prolog byte for byte; here it has to be there.
std::string body_of(const std::string &doc)
{
    static const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                    "<!--\r\n  Generated by ",
                             end = "\r\n-->\r\n";
    const std::size_t at = doc.find(end);
    if (!doc.starts_with(head) || at == std::string::npos) return "no prolog: " + doc;
    return doc.substr(at + end.size());
}

std::string result_of(const std::string &doc)
{
    static const std::string start = "<!--\r\n  Driver: ", end = "\r\n-->\r\n";
    std::string body = body_of(doc);
    if (const std::size_t at = body.find(end); body.starts_with(start) && at != std::string::npos)
        body.erase(0, at + end.size());
    return body;
}

// ---- Databases

namespace {

// What the tests read from "quillet"; tests that write make their own tables.
constexpr const char *postgres_schema = R"sql(
CREATE TABLE people (id int, name varchar(40));
INSERT INTO people VALUES (1, 'Smith & Co'), (2, NULL);
CREATE FUNCTION getbalance(account int) RETURNS int LANGUAGE sql AS 'SELECT account * 10';
CREATE FUNCTION f_inout(INOUT x int) LANGUAGE sql AS 'SELECT x + 100';
CREATE FUNCTION "f&x"(a text) RETURNS text LANGUAGE sql AS $$SELECT a || '!'$$;
CREATE DATABASE tablelist;
\c tablelist
CREATE TABLE t (a int);
CREATE VIEW w AS SELECT a FROM t;
)sql";

const std::string PG_SH = QUILLET_SOURCE_DIR "/scripts/pg.sh";

// One cluster for the run, started on first use, stopped whatever the outcome.
class PostgresCluster : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::string out;
        EXPECT_TRUE(!dir || run_tool({"sh", PG_SH, "stop", dir->path()}, "", &out, 60s));
        dir.reset();
    }

    ::testing::AssertionResult ready()
    {
        if (!dir) {
            dir = std::make_unique<TempDir>();
            std::string out;
            ::testing::AssertionResult r =
                run_tool({"sh", PG_SH, "start", dir->path()}, "", &out, 120s);
            port = std::atoi(out.c_str());
            if (r) r = run_tool(psql_argv(), postgres_schema, &out);
            problem = r ? "" : "PostgreSQL test cluster unavailable: " + std::string(r.message());
        }
        if (problem.empty()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << problem;
    }

    std::vector<std::string> psql_argv() const
    {
        return {"psql", "-XqtA", "-v", "ON_ERROR_STOP=1", "-h", dir->path(), "-p",
                std::to_string(port), "-U", "quillet", "quillet"};
    }

    std::unique_ptr<TempDir> dir;
    int port = 0;
    std::string problem;
};

PostgresCluster *const cluster =
    static_cast<PostgresCluster *>(::testing::AddGlobalTestEnvironment(new PostgresCluster));

}  // namespace

::testing::AssertionResult pg::ready() { return cluster->ready(); }

int pg::port() { return cluster->port; }

std::string pg::conn(std::string_view options, std::string_view database)
{
    return "Driver=PostgreSQL Unicode;Servername=127.0.0.1;Port=" + std::to_string(port()) +
           ";Database=" + std::string(database) + ";Username=quillet" + std::string(options);
}

std::string pg::psql(std::string_view sql)
{
    std::string out;
    EXPECT_TRUE(cluster->ready() && run_tool(cluster->psql_argv(), sql, &out));
    return out;
}

SqliteDb::SqliteDb(std::string_view setup_sql) : path_(dir_.file("test.db"))
{
    if (!setup_sql.empty()) query(setup_sql);
}

std::string SqliteDb::query(std::string_view sql) const
{
    std::string out;
    EXPECT_TRUE(run_tool({"sqlite3", path_}, sql, &out));
    return out;
}

// ---- Sockets and processes

Fd listen_on(int *port)
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(*port);
    socklen_t len = sizeof a;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr *>(&a), &len) < 0 ||
        listen(fd.get(), 4) < 0)
        throw std::runtime_error("cannot listen");
    *port = ntohs(a.sin_port);
    return fd;
}

Fd connect_port(int port, std::chrono::milliseconds retry_for)
{
    const auto deadline = std::chrono::steady_clock::now() + retry_for;
    const sockaddr_in a = loopback(port);
    for (;;) {
        Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        bound(fd.get(), NET_LIMIT);
        if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) return fd;
        if (std::chrono::steady_clock::now() >= deadline) return Fd();
        std::this_thread::sleep_for(20ms);
    }
}

Fd connect_ip(const std::string &ip, int port, int *error)
{
    sockaddr_in6 a6{};
    sockaddr_in a4 = loopback(port);
    const bool v6 = ip.find(':') != std::string::npos;
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(static_cast<std::uint16_t>(port));
    void *dst = v6 ? static_cast<void *>(&a6.sin6_addr) : static_cast<void *>(&a4.sin_addr);
    if (inet_pton(v6 ? AF_INET6 : AF_INET, ip.c_str(), dst) != 1)
        throw std::runtime_error("not an address: " + ip);
    Fd fd(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    bound(fd.get(), NET_LIMIT);
    const int r = v6 ? connect(fd.get(), reinterpret_cast<const sockaddr *>(&a6), sizeof a6)
                     : connect(fd.get(), reinterpret_cast<const sockaddr *>(&a4), sizeof a4);
    if (error != nullptr) *error = r == 0 ? 0 : errno;
    return r == 0 ? std::move(fd) : Fd();
}

bool send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string read_until_eof(int fd, std::string_view end)
{
    std::string got;
    char buf[65536];
    while (end.empty() || !got.ends_with(end)) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

std::string control(int port, std::string_view doc)
{
    Fd fd = connect_port(port);
    if (fd.get() < 0) return "refused";
    send_all(fd.get(), doc);
    shutdown(fd.get(), SHUT_WR);
    return read_until_eof(fd.get());
}

InetdSession::InetdSession()
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
        throw std::runtime_error("socketpair failed");
    peer.reset(sv[0]);
    bound(peer.get(), 20s);  // a first PostgreSQL connection may be slow
    child = std::make_unique<Child>(command({"inetd"}), ProcOptions{"", {}, sv[1]});
}

ProcResult InetdSession::finish()
{
    peer.reset();
    return child->finish();
}

bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;; std::this_thread::sleep_for(20ms)) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

std::string read_proc(const std::string &path)
{
    // Not through a stream: a process reaped between open and read makes read()
    // fail with ESRCH, an exception in a stream, an empty text here.
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

std::vector<pid_t> children_of(pid_t pid)
{
    const std::string p = std::to_string(pid);
    std::istringstream in(read_proc("/proc/" + p + "/task/" + p + "/children"));
    return {std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>()};
}

bool has_ended(pid_t pid)
{
    const std::string stat = read_proc("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t at = stat.rfind(") ");  // the name may hold blanks
    return at == std::string::npos || stat[at + 2] == 'Z';
}

bool listening(int port)
{
    char entry[32], entry6[64];  // the local port, no remote end, state LISTEN
    std::snprintf(entry, sizeof entry, ":%04X 00000000:0000 0A", port);
    std::snprintf(entry6, sizeof entry6, ":%04X %s:0000 0A", port, std::string(32, '0').c_str());
    return read_file("/proc/net/tcp").find(entry) != std::string::npos ||
           read_file("/proc/net/tcp6").find(entry6) != std::string::npos;
}

std::string NetTest::settings_with_ports(std::string_view settings) const
{
    // Tracing stays off unless `settings` turns it on.
    const bool traced = settings.find("<Logging>") != std::string_view::npos;
    return (traced ? "" : "<Logging>0</Logging>") + std::string("<LogDir>") + logdir.path() +
           "</LogDir><Port>" + std::to_string(port) + "</Port><ControlPort>" +
           std::to_string(control_port) + "</ControlPort>" + std::string(settings);
}

::testing::AssertionResult NetTest::start(std::string_view settings, std::vector<std::string> env,
                                          bool journal)
{
    configure(settings);
    ProcOptions opts;
    opts.env = std::move(env);
    opts.journal = journal;
    return launch(command({"standalone"}), std::move(opts));
}

::testing::AssertionResult start_listening(std::unique_ptr<Child> &child,
                                           const std::vector<std::string> &argv, int port,
                                           ProcOptions opts)
{
    opts.limit = 120s;
    child = std::make_unique<Child>(argv, std::move(opts));
    const pid_t pid = child->pid();
    if (eventually([&] { return listening(port) || has_ended(pid); }, NET_LIMIT) && !has_ended(pid))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << argv[0] << " did not come up: " << child->finish().err;
}

::testing::AssertionResult NetTest::launch(const std::vector<std::string> &argv, ProcOptions opts)
{
    return start_listening(server, argv, port, std::move(opts));
}

ProcResult NetTest::stop()
{
    const pid_t pid = server->pid();
    if (!has_ended(pid)) kill(pid, SIGTERM);
    if (!server_ended_within(10s)) {
        // Its children would hold the output pipes open until the deadline.
        ADD_FAILURE() << "the server did not end within 10 s of SIGTERM";
        for (const pid_t kid : children_of(pid)) kill(kid, SIGKILL);
        kill(pid, SIGKILL);
    }
    ProcResult r = server->finish();
    r.err = server_events(r.err);
    return r;
}

::testing::AssertionResult NetTest::answers(int fd, int v) const
{
    const std::string got =
        result_of(ask(fd, sql("SELECT " + std::to_string(v) + " AS v FROM t WHERE n = 1")));
    if (got == one_value("v", std::to_string(v))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "SELECT " << v << " answered:\n" << got;
}
