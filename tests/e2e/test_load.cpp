// bench/load.sh, small, plain and over TLS: every answer as pipe mode
// gives it, and the server ends with what it began with.

#include "e2e.h"

namespace {

TEST(LoadRun, EveryAnswerEqualsPipeModePlainAndOverTls)
{
    for (const std::string mode : {"", "--tls"}) {
        SCOPED_TRACE(mode.empty() ? "plain" : mode);
        std::vector<std::string> argv = {"bash", std::string(QUILLET_SOURCE_DIR) + "/bench/load.sh"};
        if (!mode.empty()) argv.push_back(mode);
        argv.insert(argv.end(), {QUILLET_BUILD_DIR, "4", "20"});
        const ProcResult r = Child(argv, with_input("", 240s)).finish();
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        // 4 x 20 connections, 8 leaving mid-answer; resets only by SYN cookies.
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m,
                                      std::regex("(\\d+) answers identical, 8 left mid-answer, 0 wrong "
                                                 "or refused\n(\\d+) reset before any byte")))
            << r.out << r.err;
        EXPECT_EQ(std::stoi(m[1]) + std::stoi(m[2]), 72) << r.out;
        EXPECT_TRUE(holds(r.out, {"children left 0\n"})) << r.out;
    }
}

}  // namespace
