// net_support.cpp - standalone server fixture, bounded socket exchanges and
// /proc look-ups for the socket method tests.

#include "net_support.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

// State letter and parent of a process from /proc/<pid>/stat; false when
// the process is gone.
bool proc_stat(pid_t pid, char *state, pid_t *ppid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    const std::size_t paren = line.rfind(')');  // the command name may hold blanks
    if (paren == std::string::npos) return false;
    std::istringstream rest(line.substr(paren + 1));
    rest >> *state >> *ppid;
    return static_cast<bool>(rest);
}

}  // namespace

std::string ask(int fd, std::string_view req, std::chrono::milliseconds limit)
{
    if (!send_all(fd, req)) return "send failed";
    return read_document(fd, limit);
}

std::string control(int port, std::string_view doc)
{
    Fd fd = connect_bounded(port);
    if (fd.get() < 0) return "refused";
    send_all(fd.get(), doc);
    shutdown(fd.get(), SHUT_WR);
    return read_until_eof(fd.get(), NET_LIMIT);
}

std::string one_value(std::string_view name, std::string_view value)
{
    return "<Result State=\"00000\">\n<Row>\n    <Column Name=\"" + std::string(name) + "\">" +
           std::string(value) + "</Column>\n</Row>\n</Result>\n";
}

std::string written_config(int port, int control_port, std::string_view logdir,
                           std::string_view lists)
{
    return "<Configuration>\n"
           "    <Port>" + std::to_string(port) + "</Port>\n"
           "    <ControlPort>" + std::to_string(control_port) + "</ControlPort>\n"
           "    <MaxConcurrentConnect>0</MaxConcurrentConnect>\n"
           "    <MaxClientConnect>0</MaxClientConnect>\n"
           "    <Logging>0x0</Logging>\n"
           "    <LogDir>" + std::string(logdir) + "</LogDir>\n"
           "    <Flags>\n"
           "        <MultiProcess/>\n"
           "        <EnableControlInterface/>\n"
           "        <WaitForChildrenTerminationOnClosedown/>\n"
           "        <LeaveChildrenOnClosedown/>\n"
           "        <NoReverseLookup/>\n"
           "    </Flags>\n" + std::string(lists) +
           "</Configuration>\n";
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
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        char state = 0;
        pid_t ppid = 0;
        if (proc_stat(std::stoi(name), &state, &ppid) && ppid == pid)
            kids.push_back(std::stoi(name));
    }
    return kids;
}

bool has_ended(pid_t pid)
{
    char state = 0;
    pid_t ppid = 0;
    return !proc_stat(pid, &state, &ppid) || state == 'Z';
}

int fd_count(pid_t pid)
{
    std::error_code ec;
    int n = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        n++;
    return n;
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

NetTest::NetTest()
{
    port = free_port();
    do control_port = free_port();
    while (control_port == port);
}

NetTest::~NetTest()
{
    if (server && !has_ended(server->pid())) {
        kill(server->pid(), SIGTERM);
        if (!server_ended_within(10s))
            for (const pid_t kid : children_of(server->pid())) kill(kid, SIGKILL);
    }
    server.reset();  // reaps, killing what is still running
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
    InstallDir::write_config(config_doc(settings_with_ports(settings)));
    ProcOptions opts;
    opts.limit = 120s;
    server = std::make_unique<Child>(server_argv({"standalone"}), opts);
    const pid_t pid = server->pid();
    if (!eventually([&] { return listening(port) || has_ended(pid); }, NET_LIMIT) ||
        has_ended(pid)) {
        const ProcResult r = server->finish();
        return ::testing::AssertionFailure() << "the server did not come up: " << r.err;
    }
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
