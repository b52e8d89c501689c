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

// Names the trace log file (without directory); ignored when 1023
// characters or longer. An open trace log is not reopened.
void qx_log_init(const char *filename);
// Sets the directory (the LogDir setting) in which the trace log is opened
// at its first qx_log call; `dir` is copied. An open trace log stays where
// it is.
void qx_log_set_dir(const char *dir);
// The directory the trace log is opened in for the setting `dir`: `dir`
// itself, or when it is empty "/tmp" if that exists, else "" (the root).
// Points at `dir` or at a constant text.
const char *qx_log_effective_dir(const char *dir);
// Appends formatted text to the trace log, opening it first if needed.
// Failures are silent; the open is retried at the next call.
[[gnu::format(printf, 1, 2)]] void qx_log(const char *fmt, ...);
// Closes the trace log.
void qx_log_finish(void);
// Closes both trace streams, the per-process trace log and the server
// trace, at the end of a process.
void qx_close_logs(void);
// Opens `path` for appending as a trace file: created with mode 0600 and
// never through a symbolic link; anything but a regular file of this
// process's user with one link is refused. So a LogDir that someone else
// controls can neither read a trace nor send it elsewhere. The stream, or
// null.
FILE *qx_open_trace_file(const char *path);
// Opens `filespec` as a trace file (qx_open_trace_file), line-buffered,
// and writes "Logging started". The stream, or null.
FILE *open_log(const char *filespec);
// Appends one time-stamped line to the server trace when its bit is set.
[[gnu::format(printf, 1, 2)]] void mtlog(const char *str, ...);
// Puts the server trace's path (Logs/tmquillet.log in the installation
// directory) into buf. 0.
int mtlog_name(char *buf, std::size_t buflen);
// Forms "STEM.log_PID" in buf. 0, or -1 when buf is too small.
int log_filespec(const char *stem, char *buf, std::size_t buflen);
// First logging step of a process: turns the server trace on when its file
// is writable, and names the main process's trace log.
void early_logging_test(void);
// Last logging step of main: stops reporting events through `diag`.
void stop_event_logging(diagstk_t *diag);
// The build stamp, "$Built: Mon D YYYY HH:MM:SS $".
const char *qx_get_built_date(void);

// True when any of `bits` is set in the trace mask.
inline bool qx_tracing(std::uint32_t bits) { return (quilletlog & bits) != 0; }
