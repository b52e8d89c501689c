// pipe and file: one request in, one answer out; and the trace logs the
// server writes meanwhile.

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "e2e.h"

namespace {

namespace fs = std::filesystem;

class PipeAndFile : public ServerTest {};

// Every spelling of the two methods gives the same answer. The parser's
// messages are for the unit tests; here, that they reach the answer.
TEST_F(PipeAndFile, EveryMethodAnswersTheRequest)
{
    // A file name is diagnostic text the server did not write itself.
    const std::string in = work.file("a&b<c>.xml"), out = work.file("answer.xml");
    const std::vector<std::string> methods[] = {
        {"pipe"}, {"-"}, {"pipe", "-"}, {"file", in, "-"}, {"file", in, out, "ignored"},
    };
    const struct {
        std::string input;
        int status;
        std::string body;  // @ stands for the name of the input
    } cases[] = {
        {"", 1, error_body("Empty request")},
        {"<?xml version=\"1.0\"?>\n<!-- nothing -->\n", 1, error_body("Empty request")},
        {"<Request>\n  <Sql>\n</Request>\n", 1, error_body("error on line 3 of @, mismatched tag")},
        {request("Driver=SQLite3;Database=:memory:", "<Sql>SELECT 1</Sql>"), 0,
         one_value("1", "1")},
    };
    for (const auto &c : cases) {
        for (const auto &args : methods) {
            SCOPED_TRACE(args.back() + " " + c.input);
            write_file(in, c.input);
            const ProcResult r = run_server(args, with_input(c.input));
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.err, "");
            std::string body = c.body;
            if (const std::size_t at = body.find('@'); at != std::string::npos)
                body.replace(at, 1, args[0] == "file" ? xml_text(in) : "input request");
            const bool to_file = args.size() == 4;
            EXPECT_EQ(result_of(to_file ? read_file(out) : r.out), body);
            EXPECT_EQ(to_file ? r.out : "", "");
        }
    }
}

TEST_F(PipeAndFile, UnopenableFilesAreReportedOnStandardError)
{
    const std::string in = work.file("request.xml"), missing = work.file("missing.xml");
    const std::string no_dir = work.file("no/such/answer.xml");
    write_file(in, "<Request/>");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"file", missing, work.file("answer.xml")},
         "Failed to open " + missing + " for read access - No such file or directory"},
        {{"file", in, no_dir},
         "Failed to open " + no_dir + " for write access - No such file or directory"},
    };
    for (const auto &[args, message] : cases)
        EXPECT_EQ(run_server(args), (ProcResult{1, false, "", message + "\n"}));
    EXPECT_FALSE(fs::exists(work.file("answer.xml")));
}

// The per-process trace in LogDir follows the mask. An existing server
// trace is written from the start; without the file, start-up writes
// nothing and the configuration's mask then creates it with the first
// trace line.
TEST_F(PipeAndFile, TraceLogs)
{
    const auto run_traced = [&](std::string_view mask) {
        write_config(config_doc("<Logging>" + std::string(mask) + "</Logging><LogDir>" +
                                logdir.path() + "</LogDir>"));
        Child child(server_argv({"pipe"}), with_input("<Request><Sql></Request>"));
        EXPECT_EQ(child.finish().status, 1);
        return child.pid();
    };
    // The server trace without its time stamps "(seconds since the epoch) ";
    // DIAG lines, copies of emitted diagnostics, carry none.
    const auto server_trace = [] {
        static const std::regex line("\\(\\d{10,}\\) (.*)|(DIAG: .*)");
        std::istringstream in(read_file(logs_dir() + "/tmquillet.log"));
        std::vector<std::string> texts;
        for (std::string l; std::getline(in, l);) {
            std::smatch m;
            EXPECT_TRUE(std::regex_match(l, m, line)) << l;
            texts.push_back(m[1].matched ? m[1].str() : l);
        }
        return texts;
    };

    run_traced("0");
    EXPECT_TRUE(fs::is_empty(logdir.path()));
    EXPECT_FALSE(fs::exists(INSTALL_DIR + "/Logs"));
    pid_t pid = run_traced("0x8");
    const std::string log = read_file(logdir.file("tmquillet_main.log_" + std::to_string(pid)));
    EXPECT_EQ(log.substr(0, log.find('\n')), "Logging started");

    write_file(logs_dir() + "/tmquillet.log", "");
    pid = run_traced("0x40");
    std::vector<std::string> texts = server_trace();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Quillet Server, pid=" + std::to_string(pid) +
                            ", pgid=" + std::to_string(getpgrp()));
    EXPECT_EQ(texts[1], "Allocating diagnostic stack");
    EXPECT_EQ(std::ranges::count(texts, "Parsing command line"), 1);
    EXPECT_EQ(std::ranges::count(texts, "DIAG: error on line 1 of input request, mismatched tag"),
              1);
    fs::remove(logs_dir() + "/tmquillet.log");
    run_traced("0x40");
    texts = server_trace();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], "Parsing command line");
}

}  // namespace
