// The per-process trace log, the shared server trace and the trace bits
// that feed them.

#include <regex>

#include "unit_support.h"

namespace {

using namespace unit;

namespace fs = std::filesystem;

const std::string LOGS = QUILLET_INSTALL_DIR "/Logs";
const std::string SERVER_TRACE = LOGS + "/tmquillet.log";

void close_server_trace()
{
    if (log_fp == nullptr) return;
    io_register_file(nullptr, IO_REGISTER_REMOVE, nullptr, &log_fp);
    std::fclose(log_fp);
    log_fp = nullptr;
}

// Each test starts with tracing off, nothing open, LogDir a fresh directory
// and the Logs directory present but without a server trace file.
class Log : public testing::Test {
protected:
    void SetUp() override
    {
        reset();
        std::snprintf(ini_logdir, sizeof ini_logdir, "%s", dir_.path.c_str());
        qx_log_init("unit.log");
        fs::create_directories(LOGS);
    }
    void TearDown() override
    {
        reset();
        std::error_code ignored;  // left alone if anything else lives there
        fs::remove(LOGS, ignored);
    }
    static void reset()
    {
        quilletlog = 0;
        qx_log_finish();
        qx_log_init("");  // no name: later traces open nothing
        close_server_trace();
        qx_init_config();
        fs::remove(SERVER_TRACE);
    }
    std::string trace_log(const std::string &name = "unit.log")
    {
        qx_log_finish();
        return slurp(dir_.path + "/" + name);
    }
    ScratchDir dir_;
};

TEST_F(Log, TraceLogOpensOnFirstLineAndAppends)
{
    quilletlog = QX_LOG_DIAG;
    diagstk_ptr d(diagstk_new());
    diagstk_add(d.get(), 3, "pushed %d", 7);
    qx_log("b");
    EXPECT_EQ(trace_log(), "Logging started\npushed 7\nb");
    qx_log("c\n");
    EXPECT_EQ(trace_log(), "Logging started\npushed 7\nbLogging started\nc\n");

    // A log directory that cannot be used is tried again on the next line.
    const std::string later = dir_.path + "/later";
    std::snprintf(ini_logdir, sizeof ini_logdir, "%s", later.c_str());
    qx_log("lost\n");
    fs::create_directory(later);
    qx_log("kept\n");
    EXPECT_EQ(trace_log("later/unit.log"), "Logging started\nkept\n");
}

TEST_F(Log, ServerTraceLinesAreStampedAndMarkedWhenCut)
{
    char name[1024];
    mtlog_name(name, sizeof name);
    EXPECT_EQ(name, SERVER_TRACE);

    quilletlog = QX_LOG_SERVER;
    const std::string fits(4094, 'f');  // 4095 with the newline
    mtlog("%s\n", "100% done");
    mtlog("%s\n", fits.c_str());
    mtlog("%s\n", std::string(4095, 'c').c_str());  // one too many
    mtlog((std::string(5000, 'x') + "%d\n").c_str(), 1);
    const std::string stamp = R"(\(\d+\) )";
    const std::regex expected(stamp + "100% done\n" + stamp + fits + "\n" + stamp +
                              std::string(4095, 'c') +
                              "\\*\\* Logging/Tracing buffer truncated \\*\\*\n" + stamp +
                              "String too long to log\n");
    std::fflush(log_fp);
    const std::string trace = slurp(SERVER_TRACE);
    EXPECT_TRUE(std::regex_match(trace, expected)) << trace.substr(0, 200);
}

// Opening the server trace registers it with the open-file registry; that
// must not create a trace log unless channel tracing is on.
TEST_F(Log, ServerTraceAloneLeavesNoTraceLog)
{
    quilletlog = QX_LOG_SERVER;
    mtlog("startup_standalone\n");
    EXPECT_TRUE(fs::is_empty(dir_.path));
    close_server_trace();

    quilletlog = QX_LOG_SERVER | QX_LOG_CHANNEL;
    mtlog("startup_standalone\n");
    EXPECT_NE(trace_log().find("io_register_file("), std::string::npos);
}

TEST(BuildStamp, DayIsNotPadded)
{
    const std::regex stamp(R"(\$Built: [A-Z][a-z]{2} [1-9]\d? \d{4} \d\d:\d\d:\d\d \$)");
    EXPECT_TRUE(std::regex_match(qx_get_built_date(), stamp));
}

}  // namespace
