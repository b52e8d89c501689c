// pipe and file: one request in, one answer out, trace logs, and hostile
// documents answered with one bounded document whatever the bytes.

#include <cstdlib>

#include "e2e.h"

namespace {

class PipeAndFile : public ServerTest {};

// Every spelling of the two methods gives the same answer.
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
            EXPECT_EQ(result_of(to_file ? read_file(out) : r.out),
                      std::regex_replace(c.body, std::regex("@"),
                                         args[0] == "file" ? xml_text(in) : "input request"));
        }
    }
}

// The per-process trace follows the mask; the server trace is appended.
TEST_F(PipeAndFile, TraceLogs)
{
    const auto run_traced = [&](std::string_view mask) {
        write_config(config_doc("<Logging>" + std::string(mask) + "</Logging><LogDir>" +
                                logdir.path() + "</LogDir>"));
        Child child(command({"pipe"}), with_input("<Request><Sql></Request>"));
        EXPECT_EQ(child.finish().status, 1);
        return std::to_string(child.pid());
    };
    run_traced("0");
    EXPECT_TRUE(fs::is_empty(logdir.path()) && !fs::exists(INSTALL_DIR + "/Logs"));
    std::string pid = run_traced("0x8");
    EXPECT_TRUE(fs::exists(logdir.file("tmquillet_main.log_" + pid)));

    // Each line starts with the time in seconds, but copies of diagnostics.
    const std::string trace = logs_dir() + "/tmquillet.log";
    write_file(trace, "");
    pid = run_traced("0x40");
    EXPECT_TRUE(std::regex_match(read_file(trace),
                                 std::regex("(\\(\\d{10,}\\) [^\n]*\n|DIAG: [^\n]*\n)+")))
        << read_file(trace);
    EXPECT_TRUE(holds(std::regex_replace(read_file(trace), std::regex("\\(\\d+\\) "), ""),
                      {"Quillet Server, pid=" + pid + ", pgid=" + std::to_string(getpgrp()),
                       "\nDIAG: error on line 1 of input request, mismatched tag\n"}));
}

const std::string CONN = "<ConnectionString>Driver=SQLite3;Database=:memory:</ConnectionString>";
const std::string TOO_LARGE = error_body("Request too large - more than 16777216 bytes");

class HostileInput : public ServerTest {};

TEST_F(HostileInput, AnsweredWithOneBoundedDocumentInBoundedMemory)
{
    std::string garbage;
    for (int i = 0; i < 64 * 1024; i++) garbage += static_cast<char>((i * 131 + 7) % 256);
    // Ten levels of ten references each: 10^10 copies if expanded naively.
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE Request [\n<!ENTITY l0 \"lol\">\n";
    for (int i = 1; i <= 10; i++)
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" +
                  repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">\n";
    // Blanks before the root make up the size without a large tree.
    const std::string tail = "<Request><Sql></Request>";
    const std::size_t limit = 16u << 20;
    const struct { const char *what; std::string input; int status; std::string body; } cases[] = {
        {"binary garbage", garbage, 1,
         error_body("error on line 1 of input request, not well-formed (invalid token)")},
        // Deep enough that a recursive build or free would exhaust the stack.
        {"500,000 nested elements",
         "<Request>" + repeat("<a>", 500000) + repeat("</a>", 500000) + CONN +
             "<Sql>SELECT 1</Sql></Request>",
         0, one_value("1", "1")},
        {"entity expansion",
         laughs + "]>\n<Request>" + CONN + "<Sql>SELECT '&l10;'</Sql></Request>", 1,
         error_body("error on line 15 of input request, limit on input amplification factor "
                    "(from DTD and entities) breached")},
        // An external entity is never read.
        {"file entity",
         "<!DOCTYPE Request [<!ENTITY file SYSTEM \"file:///etc/passwd\">]><Request>" + CONN +
             "<Sql>SELECT '&file;' AS v</Sql></Request>",
         0, one_value("v", "")},
        {"exactly the size limit", std::string(limit - tail.size(), ' ') + tail, 1,
         error_body("error on line 1 of input request, mismatched tag")},
        {"one byte more", std::string(limit + 1 - tail.size(), ' ') + tail, 1, TOO_LARGE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const ProcResult r = run_server({"pipe"}, with_input(c.input));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(result_of(r.out), c.body);
        EXPECT_EQ(r.err, "");
    }

    // Past the size limit peak memory no longer grows with the request.
    const auto peak_kib = [](std::size_t mib) {
        const ProcResult r = Child({"/usr/bin/time", "-q", "-f", "%M", QUILLET_BINARY, "pipe"},
                                   with_input("<Request><Sql>" + std::string(mib << 20, 'x')))
                                 .finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(body_of(r.out), TOO_LARGE);
        return std::atol(r.err.c_str());
    };
    const long at_20 = peak_kib(20), at_100 = peak_kib(100);
    EXPECT_GT(at_20, 0);
    EXPECT_LT(at_100, at_20 + 8 * 1024) << "KiB at 20 MiB: " << at_20;
}

}  // namespace
