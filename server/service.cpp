// service.cpp - start, reload and stop as events and as systemd state
// messages.

#include "service.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>


#include "cmdline.h"
#include "config.h"
#include "event.h"
#include "log.h"

namespace {

constexpr std::size_t PATH_SIZE = 1024;

std::string config_file_name()
{
    char path[PATH_SIZE];
    if (qx_config_file_path(nullptr, path, sizeof path) < 0) return QX_CONFIG_FILE;
    return path;
}

const char *signal_name(int sig)
{
    switch (sig) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

// The settings a running server reads only at its start (docs/configuration.md,
// "What takes effect when"), as text, so that a reload can say which of
// them changed and wait for a restart.
struct start_only {
    const char *name;
    std::string value;
};

std::vector<start_only> start_only_settings()
{
    static constexpr const char *names[] = {
        "Port",          "ControlPort",          "ListenAddress",    "ControlListenAddress",
        "ControlSocket", "MaxConcurrentConnect", "MaxClientConnect", "Flags"};
    std::vector<start_only> rows;
    for (const char *name : names) {
        unsigned long number = 0;
        char *text = nullptr;
        if (qx_get_config(nullptr, name, nullptr, 0, &text, &number) < 0) continue;
        std::string value;
        if (text != nullptr)
            value = text;
        else if (std::strcmp(name, "Flags") == 0)  // only the control listener's bit waits
            value = std::to_string(qx_ini_flag_set(FLAG_CONTROL_INTERFACE) != 0);
        else
            value = std::to_string(number);
        rows.push_back({name, std::move(value)});
    }
    return rows;
}

}  // namespace

void qx_notify(const char *state)
{
    // No manager (NOTIFY_SOCKET unset) is the usual case outside systemd;
    // a manager that cannot be reached has nothing we could tell it.
    if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
    // libsystemd is opened the first time there is a manager to tell:
    // linked in, it and the libraries it pulls in would cost every
    // process, a `pipe` run and each connection child included, about
    // 1.3 MiB of memory.
    using notify_fn = int (*)(int, const char *);
    static const notify_fn notify = [] {
        void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
        return lib != nullptr ? reinterpret_cast<notify_fn>(dlsym(lib, "sd_notify")) : nullptr;
    }();
    if (notify != nullptr) notify(0, state);
}

std::string qx_socket_name(int sock)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (sock < 0 || getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len) < 0) return "";
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&addr);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (addr.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&addr);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    if (addr.ss_family == AF_UNIX) {
        const auto *un = reinterpret_cast<const sockaddr_un *>(&addr);
        const std::size_t room = len - offsetof(sockaddr_un, sun_path);
        return std::string(un->sun_path, strnlen(un->sun_path, room));
    }
    return "";
}

void qx_service_started(const io_in_t *input, const io_in_t *control)
{
    std::string addresses = qx_socket_name(input->src.listen.listen_sock) + " (requests)";
    if (control != nullptr) {
        for (const int sock : {control->src.listen.listen_sock, control->src.listen.local_sock}) {
            if (sock == control->src.listen.local_sock && control->src.listen.local_path == nullptr)
                continue;
            if (const std::string name = qx_socket_name(sock); !name.empty())
                addresses += ", " + name + " (control)";
        }
    }
    const std::string line = std::string("quilletserver ") + QX_VERSION + " started, pid " +
                             std::to_string(getpid()) + ", configuration " + config_file_name() +
                             ", listening on " + addresses;
    qx_report_info(line.c_str());
    qx_notify("READY=1\nSTATUS=Serving");
}

int qx_service_reload(diagstk_t *diag)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // systemd 253 and later match the reload by this time; earlier ones
    // ignore it.
    const std::string reloading =
        "RELOADING=1\nSTATUS=Reloading the configuration\nMONOTONIC_USEC=" +
        std::to_string(static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
    qx_notify(reloading.c_str());
    mtlog("Reloading the configuration\n");

    const std::string file = config_file_name();
    const std::vector<start_only> before = start_only_settings();
    io_in_t input{};
    int r = qx_open_config_file(diag, &input, nullptr, 0);
    if (r == 0) r = qx_parse_config(diag, &input);
    io_close_channels(&input, nullptr, r == 0 ? diag : nullptr);
    if (r < 0) {
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        const std::string line = "Configuration reload refused: " + file +
                                 " has the error above and was not applied; the running "
                                 "settings stay. Correct the file and send SIGHUP again.";
        qx_report_event(nullptr, EVENT_TYPE_ERROR, EVENT_GENERIC, line.c_str(), nullptr);
        qx_notify("READY=1\nSTATUS=Serving; the last reload was refused");
        return -1;
    }
    std::string waiting;
    const std::vector<start_only> after = start_only_settings();
    for (std::size_t i = 0; i < before.size() && i < after.size(); i++) {
        if (before[i].value == after[i].value) continue;
        if (!waiting.empty()) waiting += ", ";
        waiting += before[i].name;
    }
    std::string line = "Configuration reloaded from " + file;
    if (!waiting.empty()) line += "; " + waiting + " take effect at the next start";
    qx_report_info(line.c_str());
    qx_notify("READY=1\nSTATUS=Serving");
    return 0;
}

unsigned qx_children_running(const threads_t *threads)
{
    unsigned n = 0;
    for (const threads_t *t = threads; t != nullptr; t = t->next)
        if (t->in_use && (t->flags & THREAD_FLAG_PROCESS)) n++;
    return n;
}

void qx_service_stopping(void) { qx_notify("STOPPING=1\nSTATUS=Stopping"); }

void qx_service_stopped(int sig, unsigned waited_for)
{
    const std::string line = std::string("quilletserver stopped on ") + signal_name(sig) +
                             ", waited for " + std::to_string(waited_for) +
                             (waited_for == 1 ? " child" : " children");
    qx_report_info(line.c_str());
}
