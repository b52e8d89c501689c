// log.h - the per-process trace log, the shared server trace, event-log
// life cycle and the build stamp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "util.h"

// Trace mask: the live value of the Logging setting, one bit per area.
extern std::uint32_t quilletlog;

inline constexpr std::uint32_t QX_LOG_PARSE = 0x1;
inline constexpr std::uint32_t QX_LOG_RESULT = 0x2;
inline constexpr std::uint32_t QX_LOG_ODBC_ERROR = 0x4;
inline constexpr std::uint32_t QX_LOG_CHANNEL = 0x8;
inline constexpr std::uint32_t QX_LOG_DIAG = 0x10;
inline constexpr std::uint32_t QX_LOG_CONFIG = 0x20;
inline constexpr std::uint32_t QX_LOG_SERVER = 0x40;
inline constexpr std::uint32_t QX_LOG_ODBC = 0x80;
inline constexpr std::uint32_t QX_LOG_CONVERT = 0x100;

// The server trace stream, null while closed. Registered with the open-file
// registry so that a forked child closes it and finds it null.
extern FILE *log_fp;
// Event-log handle; always null here, so events go to standard error.
extern void *eventlog;

void qx_log_init(const char *filename);
[[gnu::format(printf, 1, 2)]] void qx_log(const char *fmt, ...);
void qx_log_finish(void);
// Closes both trace streams, the per-process trace log and the server
// trace, at the end of a process.
void qx_close_logs(void);
FILE *open_log(const char *filespec);
[[gnu::format(printf, 1, 2)]] void mtlog(const char *str, ...);
int mtlog_name(char *buf, std::size_t buflen);
int log_filespec(const char *stem, char *buf, std::size_t buflen);
void early_logging_test(void);
void stop_event_logging(diagstk_t *diag);
const char *qx_get_built_date(void);

// True when any of `bits` is set in the trace mask.
inline bool qx_tracing(std::uint32_t bits) { return (quilletlog & bits) != 0; }
