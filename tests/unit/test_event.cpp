// Event lines on standard error: time and level outside the journal, the
// priority alone inside it, every line of a message marked; which level an
// event gets.

#include <fcntl.h>
#include <sys/stat.h>

#include "event.h"
#include "unit_support.h"

namespace {

constexpr std::time_t EXAMPLE_TIME = 1796564700;  // 2026-12-06T13:45:00Z

// Standard error on a file of our own for the life of the object, which
// JOURNAL_STREAM names when `journal` is set.
class CapturedStderr {
public:
    explicit CapturedStderr(bool journal)
    {
        char name[] = "/tmp/quillet-event-XXXXXX";
        fd_ = mkstemp(name);
        unlink(name);
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(fd_, STDERR_FILENO);
        const char *old = std::getenv("JOURNAL_STREAM");
        had_ = old != nullptr;
        if (had_) old_ = old;
        struct stat st {};
        fstat(fd_, &st);
        if (journal)
            setenv("JOURNAL_STREAM",
                   (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        else
            unsetenv("JOURNAL_STREAM");
    }
    ~CapturedStderr()
    {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(fd_);
        if (had_)
            setenv("JOURNAL_STREAM", old_.c_str(), 1);
        else
            unsetenv("JOURNAL_STREAM");
    }
    std::string text() const
    {
        std::string t;
        char buf[4096];
        for (ssize_t n; (n = pread(fd_, buf, sizeof buf, static_cast<off_t>(t.size()))) > 0;)
            t.append(buf, static_cast<std::size_t>(n));
        return t;
    }

private:
    int fd_ = -1, saved_ = -1;
    bool had_ = false;
    std::string old_;
};

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

// The level of a reported event: the type the caller gives, else the
// severity bits of the event's id; diagnostics emitted as events are errors.
TEST(EventLines, LevelOfReportedEvents)
{
    CapturedStderr captured(true);
    // Events of earlier tests may still be counted as repeats: an event of
    // another id writes their summary first, so the lines below follow it.
    qx_report_info("begin");
    qx_report_event(nullptr, EVENT_TYPE_ERROR, EVENT_CLIENT_DENIED, "10.0.0.7",
                    "due to access control rule");
    qx_report_event(nullptr, EVENT_TYPE_WARNING, EVENT_GENERIC, "careful", nullptr);
    qx_report_info("started");
    qx_report_event(nullptr, 0, 0x40020145L, "7", nullptr);  // "Thread %s exited": information
    qx_report_event(nullptr, 0, 0xC0020031L, "no memory", nullptr);
    diagstk_ptr d(diagstk_new());
    diagstk_add(d.get(), 2, "a diagnostic");
    diagstk_output(d.get(), DIAGSTK_TO_EVENTLOG, nullptr);
    diagstk_add(d.get(), 3, "on standard error");
    diagstk_output(d.get(), 0, nullptr);
    const std::string text = captured.text();
    EXPECT_EQ(text.substr(text.find("<6>begin\n") + 9), "<3>Client (10.0.0.7) denied access - due to access control rule\n"
                               "<4>careful\n"
                               "<6>started\n"
                               "<6>Thread 7 exited\n"
                               "<3>Failed to create process - no memory\n"
                               "<3>a diagnostic\n"
                               "<3>on standard error\n");
}
