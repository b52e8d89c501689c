// event.h - numbered events on standard error, with repeats summarised.
#pragma once

inline constexpr long EVENT_GENERIC = 0xC0020201L;        // "%s"
inline constexpr long EVENT_CLIENT_DENIED = 0x80020261L;  // "Client (%s) denied access - %s"
// "Client (%s) denied access to DSN '%s' due to access control rule"
inline constexpr long EVENT_DSN_DENIED = 0x80020271L;
inline constexpr long EVENT_REPEATED = 0x80020291L;       // "Last message repeated %s times"

// Writes a numbered event. With a null `eventlog` (always on this platform)
// the event goes to standard error; repeats of one id are summarised.
void qx_report_event(void *eventlog, int type, long event_id, const char *str1,
                     const char *str2);
