// A configuration that cannot be saved, connections that cannot be
// accepted, children that cannot be forked: the server goes on serving.

#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "e2e.h"

namespace {

class ServerFaults : public NetTest {
protected:
    // Only the soft limit: raising a hard one again needs a capability.
    void set_soft_limit(__rlimit_resource resource, rlim_t value)
    {
        rlimit l{};
        ASSERT_EQ(prlimit(server->pid(), resource, nullptr, &l), 0);
        l.rlim_cur = std::min(value, l.rlim_max);
        ASSERT_EQ(prlimit(server->pid(), resource, &l, nullptr), 0);
    }
};

// A save that fails leaves config.xml intact and tells the control client why.
TEST_F(ServerFaults, ConfigurationThatCannotBeSavedLeavesTheFileIntact)
{
    const std::string tmp = INSTALL_DIR + "/tmp_config.xml", target = work.file("elsewhere");
    for (const bool link : {true, false}) {
        const std::string error =
            link ? "qx_open_config_file: " + tmp + " is a symbolic link - refusing to use it"
                 : "io_close_channels: Failed to close " + tmp + " - File too large";
        SCOPED_TRACE(error);
        ASSERT_TRUE(start());
        const std::string before = read_file(CONFIG_XML);
        if (link)
            fs::create_symlink(target, tmp);
        else  // 64 bytes after the start line
            set_soft_limit(RLIMIT_FSIZE, server->err_size() + 64);
        const std::string changed = settings_with_ports("<MaxClientConnect>9</MaxClientConnect>");
        EXPECT_EQ(body_of(control(control_port, config_doc(changed))), error_body(error));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(read_file(CONFIG_XML), before);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_TRUE(serves());
        fs::remove(tmp);
        // The next save fails too, reported on a standard error cut short.
        const ProcResult r = stop();
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.err.size() >= 64 - 27 && (error + "\n").starts_with(r.err)) << r.err;
    }
}

// Out of descriptors: reported once, no spinning, and the waiting client
// is served once descriptors are free again.
TEST_F(ServerFaults, AcceptFailureIsReportedAndTheLoopGoesOn)
{
    ASSERT_TRUE(start());
    const pid_t pid = server->pid();
    // accept() takes the lowest free number: a limit there makes it fail.
    rlim_t lowest_free = 0;
    while (fs::exists("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(lowest_free)))
        lowest_free++;
    set_soft_limit(RLIMIT_NOFILE, lowest_free);
    Fd waiting = connect_port(port);
    ASSERT_TRUE(send_all(waiting.get(), sql("SELECT 8 AS v")));
    std::this_thread::sleep_for(1s);
    set_soft_limit(RLIMIT_NOFILE, 1024);
    EXPECT_EQ(result_of(read_until_eof(waiting.get(), "</Result>\n")), one_value("v", "8"));
    waiting.reset();
    EXPECT_TRUE(serves());
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r.err, {"Failed to accept incoming connection - Too many open files"}));
    EXPECT_LT(r.err.size(), 4096u) << "the loop spun";
}

// No process for a child: the connection closes unanswered, and no slot is lost.
TEST_F(ServerFaults, ForkFailureClosesTheConnectionAndTheLoopGoesOn)
{
    ASSERT_TRUE(start("<MaxConcurrentConnect>1</MaxConcurrentConnect>"));
    // A pids cgroup holding the server (root is exempt from RLIMIT_NPROC).
    const std::string cgroup = "/sys/fs/cgroup/pids/quillet-test-" + std::to_string(getpid());
    std::error_code ec;
    if (!fs::create_directory(cgroup, ec))
        GTEST_SKIP() << "no writable pids cgroup on this machine";
    const auto put = [&](const std::string &file, const std::string &text) {
        std::ofstream f(cgroup + "/" + file);
        return static_cast<bool>(f << text << std::flush);
    };
    const bool limited = put("cgroup.procs", std::to_string(server->pid())) && put("pids.max", "1");
    for (int i = 0; limited && i < 3; i++) EXPECT_EQ(read_until_eof(connect_port(port).get()), "");
    EXPECT_TRUE(put("pids.max", "max"));
    EXPECT_TRUE(serves());
    // Everyone back to the parent group, so that the directory can go.
    EXPECT_TRUE(eventually([&] {
        std::istringstream procs(read_file(cgroup + "/cgroup.procs"));
        for (std::string line; std::getline(procs, line);) put("../cgroup.procs", line);
        return fs::remove(cgroup, ec) || !fs::exists(cgroup);
    }, 5s));
    if (!limited) GTEST_SKIP() << "the pids cgroup takes no limit on this machine";
    EXPECT_TRUE(stops_saying({"handle_request: failed to fork child to handle request - "
                              "Resource temporarily unavailable\n"}));
}

}  // namespace
