// log.cpp - the per-process trace log (qx_log), the server trace shared by
// the server and its children (mtlog), and the build stamp.

#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "iodef.h"

std::uint32_t quilletlog = 0;
FILE *log_fp = nullptr;
void *eventlog = nullptr;

namespace {

constexpr std::size_t PATH_SIZE = 1024;
constexpr std::size_t MTLOG_BUF = 4096;

char log_file_name[PATH_SIZE] = "";
char log_dir[PATH_SIZE] = "";
FILE *lfp = nullptr;

}  // namespace

void qx_log_init(const char *filename)
{
    if (std::strlen(filename) + 1 > 1023) return;
    std::snprintf(log_file_name, sizeof log_file_name, "%s", filename);
}

void qx_log_set_dir(const char *dir) { std::snprintf(log_dir, sizeof log_dir, "%s", dir); }

const char *qx_log_effective_dir(const char *dir)
{
    if (dir[0] != '\0') return dir;
    return access("/tmp", F_OK) == 0 ? "/tmp" : "";
}

FILE *qx_open_trace_file(const char *path)
{
    // O_NONBLOCK: a FIFO planted at the path must not hold the process in
    // open(); it is refused below like anything but a regular file.
    const int fd =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        st.st_nlink != 1) {
        close(fd);
        return nullptr;
    }
    // A file left by an older version keeps no wider mode.
    if ((st.st_mode & 077) != 0) fchmod(fd, 0600);
    FILE *fp = fdopen(fd, "a");
    if (fp == nullptr) close(fd);
    return fp;
}

FILE *open_log(const char *filespec)
{
    FILE *fp = qx_open_trace_file(filespec);
    if (fp == nullptr) return nullptr;
    std::setvbuf(fp, nullptr, _IOLBF, 0);
    std::fputs("Logging started\n", fp);
    return fp;
}

void qx_log(const char *fmt, ...)
{
    if (fmt == nullptr) return;
    if (lfp == nullptr) {
        char path[PATH_SIZE];
        // Whether /tmp exists is asked at the open, not when LogDir was set.
        if (qx_filespec(nullptr, qx_log_effective_dir(log_dir), log_file_name, path,
                        sizeof path) < 0)
            return;
        lfp = open_log(path);
        if (lfp == nullptr) return;
    }
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(lfp, fmt, ap);
    va_end(ap);
}

void qx_log_finish(void)
{
    // A failing close loses at most the last buffered line; the stream is
    // gone either way and nobody is left to tell.
    if (lfp != nullptr) std::fclose(lfp);
    lfp = nullptr;
}

void qx_close_logs(void)
{
    qx_log_finish();
    if (log_fp != nullptr) std::fclose(log_fp);
    log_fp = nullptr;
}

int log_filespec(const char *stem, char *buf, std::size_t buflen)
{
    if (buflen < std::strlen("log") + std::strlen(stem) + 10) return -1;
    std::snprintf(buf, buflen, "%s.%s_%d", stem, "log", static_cast<int>(getpid()));
    return 0;
}

int mtlog_name(char *buf, std::size_t buflen)
{
    // The installation directory is fixed when the program is built; one
    // too long for a path leaves the empty directory.
    constexpr const char *install = QUILLET_INSTALL_DIR;
    char dir[PATH_SIZE] = "";
    if (std::strlen(install) + std::strlen("/Logs") < sizeof dir)
        std::snprintf(dir, sizeof dir, "%s/Logs", install);
    if (qx_filespec(nullptr, dir, "tmquillet.log", buf, buflen) < 0)
        std::snprintf(buf, buflen, "%s", "tmquillet.log");
    return 0;
}

void mtlog(const char *str, ...)
{
    if (!qx_tracing(QX_LOG_SERVER)) return;
    if (log_fp == nullptr) {
        char path[PATH_SIZE];
        if (mtlog_name(path, sizeof path) < 0) {
            quilletlog &= ~QX_LOG_SERVER;
            return;
        }
        log_fp = qx_open_trace_file(path);
        if (log_fp == nullptr) return;
        if (io_register_file(nullptr, IO_REGISTER_ADD, nullptr, &log_fp) < 0)
            std::fputs("failed to register log file", stderr);
    }
    if (str == nullptr) return;

    char buf[MTLOG_BUF];
    int formatted = 0;
    if (std::strlen(str) < MTLOG_BUF) {
        va_list ap;
        va_start(ap, str);
        formatted = std::vsnprintf(buf, sizeof buf, str, ap);
        va_end(ap);
    } else {
        std::snprintf(buf, sizeof buf, "%s", "String too long to log\n");
    }
    std::fprintf(log_fp, "(%lu) ", static_cast<unsigned long>(std::time(nullptr)));
    std::fputs(buf, log_fp);
    if (formatted < 0 || static_cast<std::size_t>(formatted) >= MTLOG_BUF)
        std::fputs("** Logging/Tracing buffer truncated **\n", log_fp);
    std::fflush(log_fp);
}

void early_logging_test(void)
{
    char path[PATH_SIZE];
    mtlog_name(path, sizeof path);
    if (access(path, W_OK) == 0) quilletlog |= QX_LOG_SERVER;
    if (log_filespec("tmquillet_main", path, sizeof path) < 0) return;
    qx_log_init(path);
}

void stop_event_logging(diagstk_t *diag)
{
    mtlog("Stopping event logging\n");
    if (diag != nullptr) diagstk_register_output(diag, DIAGSTK_OUTPUT_EVENTLOG, nullptr);
}

const char *qx_get_built_date(void)
{
    // __DATE__ pads a one-digit day with a blank ("Apr  9 2004"); the stamp
    // separates its fields by single blanks.
    static char server_built[64];
    if (server_built[0] == '\0') {
        const char *date = __DATE__;
        char day[3] = {date[4] == ' ' ? date[5] : date[4], date[4] == ' ' ? '\0' : date[5], '\0'};
        std::snprintf(server_built, sizeof server_built, "$Built: %.3s %s %s %s $", date, day,
                      date + 7, __TIME__);
    }
    return server_built;
}
