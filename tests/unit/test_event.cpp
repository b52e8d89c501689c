// Event lines: time and level, or the journal's priority, on every line.

#include "event.h"
#include "unit_support.h"

namespace {
constexpr std::time_t EXAMPLE_TIME = 1796564700;  // 2026-12-06T13:45:00Z
}  // namespace

TEST(EventLines, TimeAndLevelOrJournalPriority)
{
    const struct {
        event_level level;
        std::string_view text;
        bool journal;
        std::string line;
    } cases[] = {
        {event_level::error, "Client (10.0.0.7) denied access - due to access control rule", false,
         "2026-12-06T13:45:00Z error Client (10.0.0.7) denied access - due to access control rule\n"},
        {event_level::warning, "Last message repeated 50 times", false,
         "2026-12-06T13:45:00Z warning Last message repeated 50 times\n"},
        {event_level::info, "started", false, "2026-12-06T13:45:00Z info started\n"},
        {event_level::error, "refused", true, "<3>refused\n"},
        {event_level::warning, "not listening", true, "<4>not listening\n"},
        {event_level::info, "started", true, "<6>started\n"},
        // Every line of a message carries its mark; trailing line ends go.
        {event_level::error, "Error setting signal handler for SIGINT\n- Invalid argument\n", false,
         "2026-12-06T13:45:00Z error Error setting signal handler for SIGINT\n"
         "2026-12-06T13:45:00Z error - Invalid argument\n"},
        {event_level::error, "one\n\ntwo", true, "<3>one\n<3>\n<3>two\n"},
        {event_level::info, "", true, "<6>\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(qx_event_lines(c.level, c.text, c.journal, EXAMPLE_TIME), c.line);
    }
}
