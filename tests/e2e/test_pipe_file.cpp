// pipe and file: one request in, one answer out; and the trace logs the
// server writes meanwhile.

#include <filesystem>
#include <regex>

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
            const bool to_file = args.size() == 4;
            EXPECT_EQ(r, exited(c.status, to_file ? "" : r.out));
            std::string body = c.body;
            if (const std::size_t at = body.find('@'); at != std::string::npos)
                body.replace(at, 1, args[0] == "file" ? xml_text(in) : "input request");
            EXPECT_EQ(result_of(to_file ? read_file(out) : r.out), body);
        }
    }
}

// The per-process trace in LogDir follows the mask; an existing server
// trace is written from the start.
TEST_F(PipeAndFile, TraceLogs)
{
    const auto run_traced = [&](std::string_view mask) {
        write_config(config_doc("<Logging>" + std::string(mask) + "</Logging><LogDir>" +
                                logdir.path() + "</LogDir>"));
        Child child(server_argv({"pipe"}), with_input("<Request><Sql></Request>"));
        EXPECT_EQ(child.finish().status, 1);
        return std::to_string(child.pid());
    };
    run_traced("0");
    EXPECT_TRUE(fs::is_empty(logdir.path()));
    EXPECT_FALSE(fs::exists(INSTALL_DIR + "/Logs"));
    std::string pid = run_traced("0x8");
    EXPECT_TRUE(read_file(logdir.file("tmquillet_main.log_" + pid))
                    .starts_with("Logging started\n"));

    // Each line of the server trace starts with the time in seconds since
    // the epoch; DIAG lines, copies of emitted diagnostics, carry none.
    const std::string trace = logs_dir() + "/tmquillet.log";
    write_file(trace, "");
    pid = run_traced("0x40");
    EXPECT_TRUE(std::regex_match(read_file(trace),
                                 std::regex("(\\(\\d{10,}\\) [^\n]*\n|DIAG: [^\n]*\n)+")))
        << read_file(trace);
    EXPECT_TRUE(holds(std::regex_replace(read_file(trace), std::regex("\\(\\d+\\) "), ""),
                      {"Quillet Server, pid=" + pid + ", pgid=" + std::to_string(getpgrp()) +
                           "\nAllocating diagnostic stack\n",
                       "\nParsing command line\n",
                       "\nDIAG: error on line 1 of input request, mismatched tag\n"}));
}

}  // namespace
