// Numbered events on stderr with repeat suppression, and joined file names.

#include "unit_support.h"

namespace {

using namespace unit;

std::string report(long id, const char *s1, const char *s2 = nullptr, int times = 1)
{
    testing::internal::CaptureStderr();
    for (int i = 0; i < times; i++) qx_report_event(nullptr, 2, id, s1, s2);
    return testing::internal::GetCapturedStderr();
}

TEST(Events, TableFormatsTakeBothStrings)
{
    const struct { long id; const char *s1, *s2, *expected; } cases[] = {
        {EVENT_CLIENT_DENIED, "10.0.0.5", "no rule", "Client (10.0.0.5) denied access - no rule\n"},
        {EVENT_GENERIC, "100% %d %s", nullptr, "100% %d %s\n"},  // text, not a format
        {0x5A5A, "unlisted event", nullptr, "unlisted event\n"},
    };
    for (const auto &c : cases) {
        reset_events();
        EXPECT_EQ(report(c.id, c.s1, c.s2), c.expected) << std::hex << c.id;
    }
}

TEST(Events, RepeatsAreSummarised)
{
    reset_events();
    EXPECT_EQ(report(EVENT_CLIENT_DENIED, "h", "r", 3), "Client (h) denied access - r\n");
    EXPECT_EQ(report(EVENT_GENERIC, "next", nullptr, 2),
              "Last message repeated 2 times\nnext\nnext\n");  // generic: never suppressed
    // The fiftieth repeat forces the summary out instead of the event.
    reset_events();
    EXPECT_EQ(report(EVENT_CLIENT_DENIED, "h", "r", 50), "Client (h) denied access - r\n");
    EXPECT_EQ(report(EVENT_CLIENT_DENIED, "h", "r"), "Last message repeated 50 times\n");
    EXPECT_EQ(report(EVENT_CLIENT_DENIED, "h", "r"), "Client (h) denied access - r\n");
}

TEST(FileNames, JoinsWhenItFitsElseReportsSizes)
{
    const struct { const char *dir; std::size_t len; int rc; const char *result; } cases[] = {
        {"/tmp", 12, 0, "/tmp/abcdef"},
        {"/tmp", 11, -1, "qx_filespec: buffer (11) too small for filespec (12)"},
        {"", 8, 0, "/abcdef"},
    };
    for (const auto &c : cases) {
        diagstk_ptr d(diagstk_new());
        std::vector<char> buf(c.len, '#');
        EXPECT_EQ(qx_filespec(d.get(), c.dir, "abcdef", buf.data(), c.len), c.rc) << c.len;
        EXPECT_EQ(c.rc == 0 ? std::string(buf.data()) : messages(d.get()).at(0), c.result);
    }
}

}  // namespace
