// event.h - numbered events on standard error, with repeats summarised.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

inline constexpr long EVENT_GENERIC = 0xC0020201L;        // "%s"
inline constexpr long EVENT_CLIENT_DENIED = 0x80020261L;  // "Client (%s) denied access - %s"
// "Client (%s) denied access to DSN '%s' due to access control rule"
inline constexpr long EVENT_DSN_DENIED = 0x80020271L;
inline constexpr long EVENT_REPEATED = 0x80020291L;       // "Last message repeated %s times"

// Writes a numbered event. With a null `eventlog` (always on this platform)
// the event goes to standard error; repeats of one id are summarised.
void qx_report_event(void *eventlog, int type, long event_id, const char *str1,
                     const char *str2);

// Event types as callers pass them to qx_report_event.
inline constexpr int EVENT_TYPE_ERROR = 1;
inline constexpr int EVENT_TYPE_WARNING = 2;
inline constexpr int EVENT_TYPE_INFO = 4;

enum class event_level { error, warning, info };

// The lines that carry `text` on standard error, one for each of its lines,
// each ending in a newline: "<RFC 3339 UTC time> <level> <line>", or for
// the systemd journal "<3>line", "<4>line" or "<6>line" (the journal takes
// the time and reads the priority from the prefix).
std::string qx_event_lines(event_level level, std::string_view text, bool journal,
                           std::time_t when);
// True when standard error is the systemd journal: JOURNAL_STREAM holds
// "device:inode" of the stream systemd connected, and that is standard error.
bool qx_stderr_is_journal(void);
// Writes `text` as event lines of `level` on standard error, in one write,
// so that lines of the server and its children never interleave.
void qx_write_event(event_level level, std::string_view text);
// An information event: start, stop, reload.
inline void qx_report_info(const char *text)
{
    qx_report_event(nullptr, EVENT_TYPE_INFO, EVENT_GENERIC, text, nullptr);
}
