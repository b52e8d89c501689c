// reports.cpp - stored request documents and style sheets read for HTTP.

#include "reports.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config.h"
#include "parse.h"
#include "util.h"

char ini_request_dir[QX_DIR_SETTING_SIZE];
char ini_stylesheet_dir[QX_DIR_SETTING_SIZE];

namespace {

bool plain_name(std::string_view name)
{
    return !name.empty() && name.size() <= 128 &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
           });
}

// Owns one descriptor.
struct fd_owner {
    int fd;
    ~fd_owner()
    {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

report_file qx_read_report_file(diagstk_t *diag, const char *setting, std::string_view name,
                                std::string_view suffix, std::string *contents)
{
    if (qx_trim(setting).empty() || !plain_name(name)) return report_file::unknown;
    char dir[QX_DIR_SETTING_SIZE];
    if (setting[0] == '/') {
        std::snprintf(dir, sizeof dir, "%s", setting);
    } else {
        char base[QX_DIR_SETTING_SIZE];
        if (qx_get_config_dir(diag, base, sizeof base) < 0 ||
            qx_filespec(diag, base, setting, dir, sizeof dir) < 0)
            return report_file::unreadable;
    }
    const std::string path = std::string(dir) + "/" + std::string(name) + std::string(suffix);
    // Not through a symbolic link, and nothing but a regular file (a FIFO
    // would hold the child forever).
    const fd_owner f{open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat st {};
    if (f.fd < 0 || fstat(f.fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        if (f.fd < 0 && errno != ENOENT && errno != ELOOP && errno != ENOTDIR) {
            diagstk_add(diag, 3, "Cannot read %s - %s", path.c_str(), std::strerror(errno));
            return report_file::unreadable;
        }
        return report_file::unknown;
    }
    if (static_cast<unsigned long long>(st.st_size) > QX_MAX_REQUEST_BYTES) {
        diagstk_add(diag, 3, "Cannot read %s - larger than %zu bytes", path.c_str(),
                    QX_MAX_REQUEST_BYTES);
        return report_file::unreadable;
    }
    contents->resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < contents->size()) {
        const ssize_t n = read(f.fd, contents->data() + got, contents->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            diagstk_add(diag, 3, "Cannot read %s - %s", path.c_str(),
                        n < 0 ? std::strerror(errno) : "it became shorter");
            return report_file::unreadable;
        }
        got += static_cast<std::size_t>(n);
    }
    return report_file::found;
}
