// pipe and file: one request in, one answer out.

#include <filesystem>

#include "server_test.h"

namespace {

const std::string WELL_FORMED = "<Request><ConnectionString>Driver=SQLite3;Database=:memory:"
                                "</ConnectionString><Sql>SELECT 1</Sql></Request>";

class PipeAndFile : public ServerTest {};

// The parser's messages are for the unit tests; here, that they reach the
// answer.
TEST_F(PipeAndFile, UnreadableRequestIsAnsweredWithErrorDocument)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "Empty request"},
        {"<?xml version=\"1.0\"?>\n<!-- nothing -->\n", "Empty request"},
        {"<Request><Sql>x</Request>", "error on line 1 of input request, mismatched tag"},
    };
    for (const auto &[input, text] : cases) {
        SCOPED_TRACE(text);
        for (const char *word : {"pipe", "-"}) {
            const ProcResult r = run_server({word}, with_input(input));
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(body_of(r.out), error_body(text));
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST_F(PipeAndFile, WellFormedRequestSucceeds)
{
    const std::string in = work.file("request.xml");
    write_file(in, WELL_FORMED);
    for (const auto &args : {std::vector<std::string>{"pipe"}, {"pipe", "-"}, {"file", in, "-"}}) {
        const ProcResult r = run_server(args, with_input(WELL_FORMED));
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.err, "") << args[0];
    }
}

TEST_F(PipeAndFile, FileNamesTheInputAndEscapesIt)
{
    // A file name is diagnostic text the server did not write itself.
    const std::string in = work.file("a&b<c>.xml"), out = work.file("answer.xml");
    write_file(in, "<Request>\n  <Sql>\n</Request>\n");
    const std::string body =
        error_body("error on line 3 of " + work.path() + "/a&amp;b&lt;c&gt;.xml, mismatched tag");

    const ProcResult r = run_server({"file", in, "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(body_of(r.out), body);
    EXPECT_EQ(run_server({"file", in, out, "ignored"}), (ProcResult{1, false, "", ""}));
    EXPECT_EQ(body_of(read_file(out)), body);
}

TEST_F(PipeAndFile, UnopenableFilesAreReportedOnStandardError)
{
    const std::string in = work.file("request.xml"), missing = work.file("missing.xml");
    const std::string no_dir = work.file("no/such/answer.xml");
    write_file(in, WELL_FORMED);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"file", missing, work.file("answer.xml")},
         "Failed to open " + missing + " for read access - No such file or directory"},
        {{"file", in, no_dir},
         "Failed to open " + no_dir + " for write access - No such file or directory"},
    };
    for (const auto &[args, message] : cases)
        EXPECT_EQ(run_server(args), (ProcResult{1, false, "", message + "\n"}));
    EXPECT_FALSE(std::filesystem::exists(work.file("answer.xml")));
}

// Blanks before the document element make up the size without building a
// large tree. A request of exactly the limit is read to its (malformed) end.
TEST_F(PipeAndFile, RequestLargerThanLimitIsRefusedOnce)
{
    constexpr std::size_t LIMIT = 16u * 1024 * 1024;
    const std::string tail = "<Request><Sql></Request>";
    const std::pair<std::size_t, std::string> cases[] = {
        {LIMIT, "error on line 1 of input request, mismatched tag"},
        {LIMIT + 1, "Request too large - more than 16777216 bytes"},
    };
    for (const auto &[size, text] : cases) {
        const ProcResult r =
            run_server({"pipe"}, with_input(std::string(size - tail.size(), ' ') + tail));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(body_of(r.out), error_body(text));
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
