// Hostile request documents: each is answered with one bounded document and
// the server ends normally, whatever the bytes.

#include <cstdlib>

#include "e2e.h"

namespace {

const std::string CONN = "<ConnectionString>Driver=SQLite3;Database=:memory:</ConnectionString>";
const std::string TOO_LARGE = error_body("Request too large - more than 16777216 bytes");

class HostileInput : public ServerTest {};

TEST_F(HostileInput, AnsweredWithOneBoundedDocument)
{
    std::string garbage;
    for (int i = 0; i < 64 * 1024; i++) garbage += static_cast<char>((i * 131 + 7) % 256);
    // Ten levels of ten references each: 10^10 copies if expanded naively.
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE Request [\n<!ENTITY l0 \"lol\">\n";
    for (int i = 1; i <= 10; i++)
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" +
                  repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">\n";
    // Blanks before the document element make up the size without building
    // a large tree: a request of exactly the limit is read to its end.
    const std::string tail = "<Request><Sql></Request>";
    const std::size_t limit = 16u << 20;
    const struct {
        const char *what;
        std::string input;
        int status;
        std::string body;
    } cases[] = {
        {"binary garbage", garbage, 1,
         error_body("error on line 1 of input request, not well-formed (invalid token)")},
        {"100,000 nested elements",
         "<Request>" + repeat("<a>", 100000) + repeat("</a>", 100000) + CONN +
             "<Sql>SELECT 1</Sql></Request>",
         0, one_value("1", "1")},
        {"entity expansion",
         laughs + "]>\n<Request>" + CONN + "<Sql>SELECT '&l10;'</Sql></Request>", 1,
         error_body("error on line 15 of input request, limit on input amplification factor "
                    "(from DTD and entities) breached")},
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
}

// The size limit stops the reading: past it, the server's peak memory no
// longer grows with the request.
TEST_F(HostileInput, HundredMebibyteRequestIsRefusedWithBoundedMemory)
{
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
