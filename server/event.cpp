// event.cpp - numbered events on standard error, with repeats summarised.

#include "event.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

// ------------------------------------------------------------------- events

namespace {

struct msgmap_row {
    long eventid;
    const char *format;
};

constexpr msgmap_row msgmap[] = {
    {0xC0020082L, "Failed to create socket - %s"},
    {0xC0020071L, "Failed to bind to port - %s"},
    {0xC0020081L, "Failed to listen on port - %s"},
    {0xC0020161L, "Insufficient virtual memory allocating %s bytes for %s"},
    {0x40020145L, "Thread %s exited"},
    {0xC0020031L, "Failed to create process - %s"},
    {0xC0020241L, "Exception in Brindle thread handling ODBC connection - %s"},
    {0xC0020191L, "Failed to create thread - %s"},
    {0x80020281L, "Client refused access - %s"},
    {0x80020261L, "Client (%s) denied access - %s"},
    {0x80020271L, "Client (%s) denied access to DSN '%s' due to access control rule"},
    {0x80020291L, "Last message repeated %s times"},
    {0x80020301L, "%s File Error (%s)"},
    {0xC0020201L, "%s"},
    {0xC0020221L, "Failed to start HTTP Server - %s"},
    {0x80020311L, "%s"},
    {0x80020321L, "Invalid authorisation from %s"},
    {0, nullptr},
};

long last_id = 0;
unsigned repeats = 0;
time_t time_of_last_msg = 0;

constexpr unsigned REPEAT_LIMIT = 49;
constexpr double REPEAT_WINDOW_SECONDS = 300;

// Substitutes up to two "%s" of a table format. The formats hold nothing but
// "%s", so this avoids handing a run-time format string to printf.
std::string event_text(const char *format, const char *str1, const char *str2)
{
    const char *args[2] = {str1 ? str1 : "(null)", str2 ? str2 : "(null)"};
    std::string text;
    int next = 0;
    for (const char *p = format; *p; p++) {
        if (p[0] == '%' && p[1] == 's' && next < 2) {
            text += args[next++];
            p++;
        } else {
            text += *p;
        }
    }
    return text;
}

// The level of an event: its type when the caller gave one we know, else
// the severity bits of its id (3 error, 2 warning, 1 information).
event_level level_of(int type, long event_id)
{
    switch (type) {
    case EVENT_TYPE_ERROR: return event_level::error;
    case EVENT_TYPE_WARNING: return event_level::warning;
    case EVENT_TYPE_INFO: return event_level::info;
    default: break;
    }
    switch ((static_cast<unsigned long>(event_id) >> 30) & 3) {
    case 3: return event_level::error;
    case 2: return event_level::warning;
    default: return event_level::info;
    }
}

void report_repeats(void *eventlog)
{
    char num[16];
    std::snprintf(num, sizeof num, "%u", repeats);
    repeats = 0;
    qx_report_event(eventlog, EVENT_TYPE_WARNING, EVENT_REPEATED, num, nullptr);
}

}  // namespace

void qx_report_event(void *eventlog, int type, long event_id, const char *str1,
                     const char *str2)
{
    const time_t now = std::time(nullptr);
    if (event_id == last_id) {
        repeats++;
        if (repeats <= REPEAT_LIMIT &&
            std::difftime(now, time_of_last_msg) <= REPEAT_WINDOW_SECONDS)
            return;
        report_repeats(eventlog);
        last_id = 0;
        return;
    }
    if (event_id != EVENT_REPEATED) {
        if (repeats != 0) report_repeats(eventlog);
        if (event_id != EVENT_GENERIC) last_id = event_id;
        repeats = 0;
    }
    time_of_last_msg = now;

    if (eventlog != nullptr) return;
    const event_level level = level_of(type, event_id);
    for (const msgmap_row *row = msgmap; row->eventid != 0; row++) {
        if (row->eventid == event_id) {
            qx_write_event(level, event_text(row->format, str1, str2));
            return;
        }
    }
    qx_write_event(level, event_text(str1 ? str1 : "", str2, nullptr));
}

std::string qx_event_lines(event_level level, std::string_view text, bool journal,
                           std::time_t when)
{
    static constexpr std::string_view names[] = {"error", "warning", "info"};
    static constexpr std::string_view priorities[] = {"<3>", "<4>", "<6>"};
    const auto at = static_cast<std::size_t>(level);
    std::string prefix;
    if (journal) {
        prefix = priorities[at];
    } else {
        struct tm tm {};
        char stamp[32];
        gmtime_r(&when, &tm);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
        prefix.append(stamp).append(" ").append(names[at]).append(" ");
    }
    // A message of several lines keeps its level on every line: the
    // journal and anyone who filters by level see each line alone.
    while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::string lines;
    do {
        const std::size_t end = text.find('\n');
        lines.append(prefix).append(text.substr(0, end)).append("\n");
        text = end == text.npos ? std::string_view{} : text.substr(end + 1);
    } while (!text.empty());
    return lines;
}

bool qx_stderr_is_journal(void)
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long dev = 0, ino = 0;
    char end = '\0';
    if (std::sscanf(stream, "%llu:%llu%c", &dev, &ino, &end) != 2) return false;
    struct stat st {};
    return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

void qx_write_event(event_level level, std::string_view text)
{
    const std::string lines =
        qx_event_lines(level, text, qx_stderr_is_journal(), std::time(nullptr));
    std::fflush(stderr);
    std::string_view rest = lines;
    while (!rest.empty()) {
        const ssize_t n = write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to tell
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}
