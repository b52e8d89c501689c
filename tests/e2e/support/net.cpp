// net.cpp - loopback sockets, what /proc tells about the server's children
// and descriptors, and the standalone server fixture.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>

#include "e2e.h"

namespace fs = std::filesystem;

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

int free_port()
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr *>(&a), &len) < 0)
        throw std::runtime_error("no free port");
    return ntohs(a.sin_port);
}

// State letter and parent of a process from /proc/<pid>/stat; state 0
// when the process is gone.
std::pair<char, pid_t> proc_stat(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream rest(line.substr(line.rfind(')') + 1));  // the name may hold blanks
    char state = 0;
    pid_t ppid = 0;
    rest >> state >> ppid;
    return {state, ppid};
}

// Bounds every send and receive on `fd`, and (on Linux) a connect too: a
// full listen queue makes it wait, not hang.
void bound(int fd, std::chrono::seconds limit)
{
    const timeval tv{static_cast<time_t>(limit.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

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

bool send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
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
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
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

InetdSession::InetdSession(const std::vector<std::string> &args)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
        throw std::runtime_error("socketpair failed");
    peer_.reset(sv[0]);
    bound(peer_.get(), 20s);  // a first PostgreSQL connection may be slow
    child_ = std::make_unique<Child>(server_argv(args), ProcOptions{"", {}, sv[1]});
}

ProcResult InetdSession::finish()
{
    peer_.reset();
    return child_->finish();
}

bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

std::vector<pid_t> children_of(pid_t pid)
{
    std::vector<pid_t> kids;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            proc_stat(std::stoi(name)).second == pid)
            kids.push_back(std::stoi(name));
    }
    return kids;
}

bool has_ended(pid_t pid)
{
    const char state = proc_stat(pid).first;
    return state == 0 || state == 'Z';
}

int fd_count(pid_t pid)
{
    std::error_code ec;
    const fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? 0 : static_cast<int>(std::distance(fds, fs::directory_iterator()));
}

bool listening(int port)
{
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", port);
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, address, remote, state;
            fields >> slot >> address >> remote >> state;
            if (address.ends_with(local) && state == "0A") return true;
        }
    }
    return false;
}

std::string written_config(int port, int control_port, std::string_view logdir,
                           std::string_view lists)
{
    return "<Configuration>\n    <Port>" + std::to_string(port) + "</Port>\n    <ControlPort>" +
           std::to_string(control_port) + "</ControlPort>\n"
           "    <MaxConcurrentConnect>0</MaxConcurrentConnect>\n"
           "    <MaxClientConnect>0</MaxClientConnect>\n"
           "    <Logging>0x0</Logging>\n    <LogDir>" + std::string(logdir) + "</LogDir>\n"
           "    <Flags>\n        <MultiProcess/>\n        <EnableControlInterface/>\n"
           "        <WaitForChildrenTerminationOnClosedown/>\n        <LeaveChildrenOnClosedown/>\n"
           "        <NoReverseLookup/>\n    </Flags>\n" + std::string(lists) + "</Configuration>\n";
}

NetTest::NetTest()
{
    port = free_port();
    do control_port = free_port();
    while (control_port == port);
}

NetTest::~NetTest()
{
    if (server && !has_ended(server->pid())) stop();
}

std::string NetTest::settings_with_ports(std::string_view settings) const
{
    // Tracing stays off unless `settings` turns it on.
    const bool traced = settings.find("<Logging>") != std::string_view::npos;
    return (traced ? "" : "<Logging>0</Logging>") + std::string("<LogDir>") + logdir.path() +
           "</LogDir><Port>" + std::to_string(port) + "</Port><ControlPort>" +
           std::to_string(control_port) + "</ControlPort>" + std::string(settings);
}

::testing::AssertionResult NetTest::start(std::string_view settings)
{
    write_config(config_doc(settings_with_ports(settings)));
    server = std::make_unique<Child>(server_argv({"standalone"}), with_input("", 120s));
    const pid_t pid = server->pid();
    if (!eventually([&] { return listening(port) || has_ended(pid); }, NET_LIMIT) ||
        has_ended(pid))
        return ::testing::AssertionFailure()
               << "the server did not come up: " << server->finish().err;
    return ::testing::AssertionSuccess();
}

ProcResult NetTest::stop()
{
    const pid_t pid = server->pid();
    if (!has_ended(pid)) kill(pid, SIGTERM);
    if (!server_ended_within(10s)) {
        // A shutdown that hangs fails the test; its children would hold
        // the output pipes open until the deadline.
        ADD_FAILURE() << "the server did not end within 10 s of SIGTERM";
        for (const pid_t kid : children_of(pid)) kill(kid, SIGKILL);
        kill(pid, SIGKILL);
    }
    return server->finish();
}

bool NetTest::server_ended_within(std::chrono::milliseconds limit) const
{
    const pid_t pid = server->pid();
    return eventually([pid] { return has_ended(pid); }, limit);
}

::testing::AssertionResult NetTest::answers(int fd, int v) const
{
    const std::string got =
        result_of(ask(fd, sql("SELECT " + std::to_string(v) + " AS v FROM t WHERE n = 1")));
    if (got == one_value("v", std::to_string(v))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "SELECT " << v << " answered:\n" << got;
}

::testing::AssertionResult NetTest::serves(int v) const
{
    const Fd fd = connect_port(port);
    return answers(fd.get(), v);
}
