// Faults around the standalone server: clients that vanish or never send,
// a configuration that cannot be saved, connections it cannot accept and
// children it cannot fork. After each the server goes on serving.

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "net_support.h"

namespace {

class ServerFaults : public NetTest {
protected:
    void still_serves()
    {
        Fd c = connect_bounded(port);
        EXPECT_EQ(result_of(ask(c.get(), sql("SELECT 7 AS v"))), one_value("v", "7"));
    }
    // Only the soft limit moves: raising a hard limit again needs a
    // capability the test may not have.
    void set_soft_limit(__rlimit_resource resource, rlim_t value)
    {
        rlimit l{};
        ASSERT_EQ(prlimit(server->pid(), resource, nullptr, &l), 0);
        l.rlim_cur = std::min(value, l.rlim_max);
        ASSERT_EQ(prlimit(server->pid(), resource, &l, nullptr), 0);
    }
};

// A client that stops half-way through a request ends only its own child;
// one that never sends holds only its own.
TEST_F(ServerFaults, HalfRequestsAndSilentClientsCostOnlyTheirOwnChild)
{
    ASSERT_TRUE(start());
    const pid_t pid = server->pid();
    const int fds_before = fd_count(pid);
    Fd silent = connect_bounded(port);
    for (int i = 0; i < 5; i++) {
        Fd half = connect_bounded(port);
        const std::string req = sql("SELECT 1");
        ASSERT_TRUE(send_all(half.get(), req.substr(0, req.size() / 2)));
    }
    still_serves();
    EXPECT_TRUE(eventually([&] { return children_of(pid).size() == 1; }, 8s))
        << children_of(pid).size() << " children";
    silent.reset();
    EXPECT_TRUE(eventually([&] { return children_of(pid).empty(); }, 8s));
    EXPECT_EQ(fd_count(pid), fds_before);
    EXPECT_EQ(stop(), (ProcResult{0, false, "", ""}));
}

// Saving a changed configuration fails: config.xml keeps its text, the
// control client is told why, and the server runs on.
TEST_F(ServerFaults, ConfigurationThatCannotBeSavedLeavesTheFileIntact)
{
    const std::string tmp = InstallDir::path() + "/tmp_config.xml";
    const struct {
        const char *what;
        std::string error;
    } cases[] = {
        {"tmp_config.xml is a symbolic link",
         "qx_open_config_file: " + tmp + " is a symbolic link - refusing to use it"},
        {"the file size limit is reached",
         "io_close_channels: Failed to close " + tmp + " - File too large"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(start());
        const std::string before = read_file(InstallDir::config_path());
        const std::string target = work.file("elsewhere");
        if (c.error.find("symbolic") != std::string::npos)
            std::filesystem::create_symlink(target, tmp);
        else
            set_soft_limit(RLIMIT_FSIZE, 64);
        const std::string answer = body_of(control(
            control_port, config_doc(settings_with_ports("<MaxClientConnect>9</MaxClientConnect>"))));
        EXPECT_EQ(answer, error_body(c.error));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(read_file(InstallDir::config_path()), before);
        EXPECT_FALSE(std::filesystem::exists(target));
        still_serves();
        std::filesystem::remove(tmp);
        // The server saves once more after the exchange and reports that
        // failure on its standard error.
        EXPECT_EQ(stop(), (ProcResult{0, false, "", c.error + "\n"}));
    }
}

// Out of descriptors, accept fails: the failure is reported once per
// burst, the loop does not spin, and the waiting client is served as soon
// as descriptors are free again.
TEST_F(ServerFaults, AcceptFailureIsReportedAndTheLoopGoesOn)
{
    ASSERT_TRUE(start());
    const pid_t pid = server->pid();
    // accept() takes the lowest free number: a limit there makes it fail.
    rlim_t lowest_free = 0;
    while (std::filesystem::exists("/proc/" + std::to_string(pid) + "/fd/" +
                                   std::to_string(lowest_free)))
        lowest_free++;
    set_soft_limit(RLIMIT_NOFILE, lowest_free);
    Fd waiting = connect_bounded(port);
    ASSERT_GE(waiting.get(), 0);
    const std::string req = sql("SELECT 8 AS v");
    ASSERT_TRUE(send_all(waiting.get(), req));
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(has_ended(pid));
    set_soft_limit(RLIMIT_NOFILE, 1024);
    EXPECT_EQ(result_of(read_document(waiting.get())), one_value("v", "8"));
    waiting.reset();
    still_serves();
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Failed to accept incoming connection - Too many open files"),
              std::string::npos)
        << r.err;
    EXPECT_LT(r.err.size(), 4096u) << "the loop spun";
}

// A process-count cgroup holding one process. Root is exempt from
// RLIMIT_NPROC, so this is how a test makes fork() fail for real.
class PidsLimit {
public:
    explicit PidsLimit(pid_t pid)
        : dir_("/sys/fs/cgroup/pids/quillet-test-" + std::to_string(getpid()))
    {
        std::error_code ec;
        if (!std::filesystem::create_directory(dir_, ec)) return;
        ok_ = write("cgroup.procs", std::to_string(pid)) && set("1");
    }
    ~PidsLimit()
    {
        set("max");
        // Everyone back to the parent group, so the directory can go; a
        // child that is just ending may hold it for a moment.
        eventually([&] {
            for (const auto &line : lines("cgroup.procs")) write("../cgroup.procs", line);
            std::error_code ec;
            return std::filesystem::remove(dir_, ec) || !std::filesystem::exists(dir_);
        }, 5s);
    }
    bool ok() const { return ok_; }
    bool set(const std::string &max) { return write("pids.max", max); }

private:
    bool write(const std::string &file, const std::string &text)
    {
        std::ofstream f(dir_ + "/" + file);
        f << text << std::flush;
        return f.good();
    }
    std::vector<std::string> lines(const std::string &file) const
    {
        std::ifstream f(dir_ + "/" + file);
        std::vector<std::string> out;
        for (std::string l; std::getline(f, l);) out.push_back(l);
        return out;
    }
    std::string dir_;
    bool ok_ = false;
};

// No process left for a child: the connection is closed unanswered, the
// failure reported, and no slot is lost (one slot in all would show it).
TEST_F(ServerFaults, ForkFailureClosesTheConnectionAndTheLoopGoesOn)
{
    ASSERT_TRUE(start("<MaxConcurrentConnect>1</MaxConcurrentConnect>"));
    {
        PidsLimit limit(server->pid());
        if (!limit.ok()) GTEST_SKIP() << "no writable pids cgroup on this machine";
        for (int i = 0; i < 3; i++) {
            Fd c = connect_bounded(port);
            ASSERT_TRUE(send_all(c.get(), sql("SELECT 1")));
            EXPECT_EQ(read_document(c.get()), "");
        }
        EXPECT_TRUE(limit.set("max"));
        still_serves();
    }
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    const std::string line =
        "handle_request: failed to fork child to handle request - Resource temporarily unavailable\n";
    size_t count = 0;
    for (size_t at = r.err.find(line); at != std::string::npos; at = r.err.find(line, at + 1))
        count++;
    EXPECT_EQ(count, 3u) << r.err;
}

}  // namespace
