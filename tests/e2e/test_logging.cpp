// Trace logs: the per-process trace in LogDir and the shared server trace.

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "server_test.h"

namespace {

namespace fs = std::filesystem;

const std::string MALFORMED = "<Request><Sql></Request>";

class Logging : public ServerTest {
protected:
    // Runs `pipe` on a malformed request with the trace mask `mask`.
    pid_t run_traced(std::string_view mask)
    {
        InstallDir::write_config(config_doc("<Logging>" + std::string(mask) + "</Logging><LogDir>" +
                                            logdir.path() + "</LogDir>"));
        Child child(server_argv({"pipe"}), with_input(MALFORMED));
        EXPECT_EQ(child.finish().status, 1);
        return child.pid();
    }
};

// The server trace without its time stamps "(seconds since the epoch) ";
// DIAG lines, copies of emitted diagnostics, carry none.
std::vector<std::string> server_trace()
{
    static const std::regex line("\\(\\d{10,}\\) (.*)|(DIAG: .*)");
    std::istringstream in(read_file(InstallDir::path() + "/Logs/tmquillet.log"));
    std::vector<std::string> texts;
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(l, m, line)) << l;
        texts.push_back(m[1].matched ? m[1].str() : l);
    }
    return texts;
}

bool holds(const std::vector<std::string> &texts, const std::string &text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST_F(Logging, NothingTracedLeavesNoFile)
{
    run_traced("0");
    EXPECT_TRUE(fs::is_empty(logdir.path()));
    EXPECT_FALSE(fs::exists(InstallDir::path() + "/Logs"));
}

TEST_F(Logging, ChannelTraceOpensPerProcessLog)
{
    const pid_t pid = run_traced("0x8");
    const std::string log = read_file(logdir.file("tmquillet_main.log_" + std::to_string(pid)));
    EXPECT_EQ(log.substr(0, log.find('\n')), "Logging started");
}

TEST_F(Logging, ExistingServerTraceIsWrittenFromTheStart)
{
    write_file(InstallDir::logs_dir() + "/tmquillet.log", "");
    const pid_t pid = run_traced("0x40");
    const std::vector<std::string> texts = server_trace();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Quillet Server, pid=" + std::to_string(pid) +
                            ", pgid=" + std::to_string(getpgrp()));
    EXPECT_EQ(texts[1], "Allocating diagnostic stack");
    EXPECT_TRUE(holds(texts, "Parsing command line"));
    EXPECT_TRUE(holds(texts, "DIAG: error on line 1 of input request, mismatched tag"));
}

// Without the file, start-up writes nothing; the configuration's mask then
// creates it with the first trace line.
TEST_F(Logging, ServerTraceStartsAfterConfigurationWithoutExistingFile)
{
    InstallDir::logs_dir();
    run_traced("0x40");
    const std::vector<std::string> texts = server_trace();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], "Parsing command line");
}

}  // namespace
