// standalone.cpp - the standalone server: listen, admit, fork one child per
// connection, serve the control port inline, shut down on SIGINT/SIGTERM.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include "standalone.h"

#include "acl.h"
#include "config.h"
#include "connection.h"
#include "control.h"
#include "driverload.h"
#include "event.h"
#include "http.h"
#include "log.h"
#include "metrics.h"
#include "refusal.h"
#include "service.h"
#include "signals.h"
#include "startup.h"
#include "tls.h"
#include "watchdog.h"
#include "xml.h"

namespace {

constexpr int ACCEPT_RETRY_MS = 500;

// Everything the server loop owns for its whole life.
struct server_state {
    io_in_t icontrol{};
    io_out_t ocontrol{};
    io_in_t *icontrolp = nullptr;
    threads_t *threadsll = nullptr;
    void *ip_acl = nullptr;
    void *ip_ctrl_acl = nullptr;
    unsigned connections_since_cleanup = 0;
    stats_t stats{};
    srv_limits_t limits{};
    int stop_notice = -1;  // write end of the children's stop notice
};

// Closes the control listeners, removing the control socket.
void close_control(server_state &s)
{
    if (s.icontrolp != nullptr) io_close_channels(&s.icontrol, nullptr, nullptr);
    s.icontrolp = nullptr;
}

[[noreturn]] void fatal(server_state &s, diagstk_t *diag)
{
    close_control(s);
    diagstk_output(diag, 0, nullptr);
    diagstk_free(diag);
    qx_close_logs();
    std::exit(1);
}

// Compiles the access list of setting `name` into *acl.
int load_acl(diagstk_t *diag, const char *name, const char *trace_before, const char *trace_after,
             void **acl)
{
    char *acl_str = nullptr;
    mtlog("%s", trace_before);
    if (qx_get_config(diag, name, nullptr, 0, &acl_str, nullptr) < 0) return -1;
    mtlog(trace_after, acl_str);
    return qx_create_ip_acl(diag, acl_str, acl);
}

// A numeric setting: a limit or a port.
int read_limit(diagstk_t *diag, const char *name, unsigned long *value)
{
    return qx_get_config(diag, name, nullptr, 0, nullptr, value);
}

// Every child inherits the read end of a pipe whose write end only the
// server holds (the registry closes it in children). Closing it at shutdown
// ends every child that waits for its next request, at once and without a
// signal that could cut an answer short.
int open_stop_notice(server_state &s, diagstk_t *diag)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0) {
        diagstk_add(diag, 3, "Failed to create the children's stop notice - %s",
                    std::strerror(errno));
        return -1;
    }
    s.stop_notice = ends[1];
    io_set_stop_notice(ends[0]);
    return io_register_file(diag, IO_REGISTER_ADD, &s.stop_notice, nullptr);
}

void close_stop_notice(server_state &s)
{
    io_register_file(nullptr, IO_REGISTER_REMOVE, &s.stop_notice, nullptr);
    close(s.stop_notice);
    s.stop_notice = -1;
}

// The control socket's path: a relative one lies beside the configuration
// file (config.xml in the installation directory).
int control_socket_path(diagstk_t *diag, const char *setting, char *path, std::size_t size)
{
    if (setting[0] == '/') {
        std::snprintf(path, size, "%s", setting);  // fits: the setting holds no more
        return 0;
    }
    char dir[1024];
    if (qx_get_config_dir(diag, dir, sizeof dir) < 0) return -1;
    return qx_filespec(diag, dir, setting, path, size);
}

// Opens the control listeners the settings name: TCP on ControlPort at
// ControlListenAddress unless that is "none", and the Unix-domain socket
// ControlSocket unless that is empty. With neither, the control interface
// stays closed and an event says why.
int open_control(server_state &s, diagstk_t *diag)
{
    unsigned long port = 0;
    char *address = nullptr, *socket_setting = nullptr;
    if (read_limit(diag, "ControlPort", &port) < 0 ||
        qx_get_config(diag, "ControlListenAddress", nullptr, 0, &address, nullptr) < 0 ||
        qx_get_config(diag, "ControlSocket", nullptr, 0, &socket_setting, nullptr) < 0)
        return -1;
    const bool tcp = std::strcmp(address, "none") != 0;
    if (!tcp && socket_setting[0] == '\0') {
        qx_report_event(eventlog, EVENT_TYPE_WARNING, EVENT_GENERIC,
                        "Control interface enabled but not listening - ControlListenAddress is "
                        "none and ControlSocket is empty",
                        nullptr);
        return 0;
    }
    s.icontrol.src.listen.port = static_cast<std::uint32_t>(port);
    std::snprintf(s.icontrol.src.listen.address, sizeof s.icontrol.src.listen.address, "%s",
                  address);
    if (io_open_control_channel(diag, &s.icontrol, &s.ocontrol) < 0) return -1;
    s.icontrolp = &s.icontrol;
    if (socket_setting[0] != '\0') {
        char path[1024];
        if (control_socket_path(diag, socket_setting, path, sizeof path) < 0 ||
            io_open_control_socket(diag, &s.icontrol, path) < 0)
            return -1;
        mtlog("Control socket open: %s\n", path);
    }
    mtlog("Control channel open\n");
    return 0;
}

void start_up(server_state &s, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    s.stats.start_time = std::time(nullptr);
    mtlog("startup_standalone\n");
    if (init_signals(diag) < 0 || qx_hold_signals(diag) < 0) fatal(s, diag);
    if (open_stop_notice(s, diag) < 0) fatal(s, diag);
    if (load_acl(diag, "Client", "Getting ACL list\n", "ACL list: \"%s\"\n", &s.ip_acl) < 0)
        fatal(s, diag);
    if (qx_tls_start(diag) < 0 || qx_stats_open_identity_channel(diag) < 0) fatal(s, diag);
    // Without the shared counters the server runs, with empty metrics.
    qx_metrics_open();
    if (read_limit(diag, "MaxConcurrentConnect", &s.limits.max_concurrent) != 0 ||
        read_limit(diag, "MaxClientConnect", &s.limits.max_client) != 0)
        fatal(s, diag);
    if (qx_ini_flag_set(FLAG_CONTROL_INTERFACE)) {
        if (open_control(s, diag) < 0) fatal(s, diag);
        if (s.icontrolp != nullptr &&
            load_acl(diag, "ControlClient", "Getting Control ACL list\n",
                     "Control ACL list: \"%s\"\n", &s.ip_ctrl_acl) < 0)
            fatal(s, diag);
    }
    // Done before the request port opens: a client that finds it open
    // finds a server whose children need load no driver.
    qx_preload_drivers(diag);
    if (const int r = io_open_channels(input, output, diag); r != 0) {
        close_control(s);
        diagstk_output(diag, 0, nullptr);
        diagstk_free(diag);
        std::exit(r & 0xFF);
    }
    mtlog("Request channel open\n");
    qx_service_started(input, s.icontrolp);
}

void idle_turn(server_state &s, diagstk_t *diag)
{
    qx_process_times(0, &s.stats.kernel_cpu, &s.stats.user_cpu);
    if (quillet_configuration_change) {
        quillet_configuration_change = 0;
        char *acl_str = nullptr;
        if (qx_get_config(diag, "Client", nullptr, 0, &acl_str, nullptr) < 0 ||
            qx_create_ip_acl(diag, acl_str, &s.ip_acl) < 0 ||
            qx_get_config(diag, "ControlClient", nullptr, 0, &acl_str, nullptr) < 0 ||
            qx_create_ip_acl(diag, acl_str, &s.ip_ctrl_acl) < 0)
            fatal(s, diag);
    }
    cleanup_exited_threads(diag, &s.threadsll, &s.stats);
    s.connections_since_cleanup = 0;
}

// A failed accept (out of descriptors or memory) leaves the connection
// queued and the listener readable: without a pause the loop would spin and
// flood the log until something is freed. A SIGTERM meanwhile is taken at
// the next wait for connections.
int accept_or_pause(io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    const int sts = io_accept_connection(input, output, diag);
    if (sts != 0) poll(nullptr, 0, ACCEPT_RETRY_MS);
    return sts;
}

int request_connection(server_state &s, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    int sts = accept_or_pause(input, output, diag);
    if (sts != 0) return sts;
    s.connections_since_cleanup++;
    qx_tls_expect(input, output);  // the handshake is the child's
    threads_t *cthread = nullptr;
    if (new_incoming_connection(diag, input, output, s.limits, &s.threadsll, &cthread, s.ip_acl,
                                &s.stats) < 0) {
        io_close_channels(nullptr, output, diag);
        return 0;
    }
    sts = handle_request(diag, input, output, cthread, &s.stats);
    if (sts != 0) io_close_channels(nullptr, output, diag);
    return sts;
}

int control_connection(server_state &s, diagstk_t *diag)
{
    int sts = accept_or_pause(&s.icontrol, &s.ocontrol, diag);
    if (sts != 0) return sts;
    qx_update_stats(&s.stats, STATS_CONTROL_CONNECT, nullptr, nullptr);
    // The control socket's file permissions decide who reaches it; the
    // address list is for TCP clients.
    const char *client = s.icontrol.src.listen.client_ip;
    const bool local = std::strcmp(client, IO_LOCAL_CLIENT) == 0;
    if (!local) qx_tls_expect(&s.icontrol, &s.ocontrol);  // the control socket stays plain
    if (!local && !qx_check_access_control(diag, const_cast<char *>(client), s.ip_ctrl_acl)) {
        diagstk_add(diag, 3, "Access denied to client due to Control IP-based ACL");
        qx_output_error_result(diag, &s.ocontrol);
        qx_refusal_drain(diag, &s.icontrol, &s.ocontrol);
        return -1;
    }
    // Served inline: the handshake and the document share the control
    // port's time limit, so no client holds the server loop longer.
    if (s.ocontrol.tls_expected) {
        io_set_deadline(&s.icontrol, CONTROL_READ_TIMEOUT_SECONDS);
        if (qx_tls_accept(diag, &s.icontrol, &s.ocontrol, CONTROL_READ_TIMEOUT_SECONDS) < 0) {
            io_close_channels(nullptr, &s.ocontrol, diag);
            return -1;
        }
    }
    // ControlUsers asks every TCP client for an identity it lists: one
    // without (a plain port, no client certificate) is refused like one
    // with another, in the words the address list uses.
    if (!local && !qx_trim(ini_control_users).empty() &&
        !qx_identity_listed(ini_control_users, s.icontrol.identity)) {
        diagstk_add(diag, 3, "Access denied to user %s due to ControlUsers",
                    qx_identity_text(&s.icontrol).c_str());
        qx_output_error_result(diag, &s.ocontrol);
        io_close_channels(nullptr, &s.ocontrol, diag);
        qx_report_event(eventlog, EVENT_TYPE_ERROR, EVENT_CLIENT_DENIED,
                        qx_client_text(&s.icontrol).c_str(), "due to ControlUsers");
        return -1;
    }
    sts = handle_control_request(diag, &s.icontrol, &s.ocontrol, &s.stats);
    // The file is written after every control request that parsed, so it
    // always holds what the server runs with; a refused configuration
    // changed nothing and saves nothing.
    if (sts == 1) return 0;
    if (sts == 0) sts = qx_write_config(diag);
    return sts;
}

// Stops accepting, ends every child that waits for its next request, and
// with the Flags bits signals the others and waits for the answers they
// are writing.
[[noreturn]] void shut_down(server_state &s, io_in_t *input, diagstk_t *diag)
{
    io_close_channels(input, nullptr, nullptr);
    close_control(s);
    qx_refusal_close_all();
    qx_service_stopping();
    close_stop_notice(s);
    qx_free_ip_acl(diag, &s.ip_acl);
    qx_free_ip_acl(diag, &s.ip_ctrl_acl);
    if (qx_ini_flag_set(FLAG_KILL_CHILDREN)) kill_remaining_threads(diag, s.threadsll);
    unsigned waited_for = 0;
    if (qx_ini_flag_set(FLAG_WAIT_CHILDREN)) {
        waited_for = qx_children_running(s.threadsll);
        waitfor_exited_threads(diag, &s.threadsll);
    }
    qx_service_stopped(qx_termination_signal(), waited_for);
    diagstk_free(diag);
    stop_event_logging(nullptr);
    qx_close_logs();
    free_thread_list(&s.threadsll);
    qx_tls_stop();
    std::exit(0);
}

}  // namespace

int startup_standalone(cmdline_info_t *, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    server_state s;
    start_up(s, input, output, diag);
    for (;;) {
        if (process_signals() == 2) shut_down(s, input, diag);
        if (qx_reload_requested()) {
            qx_service_reload(diag);
            idle_turn(s, diag);  // the access lists of a new file apply now
        }
        std::vector<pollfd> refused;
        const int wait_ms = qx_refusal_watch(&refused);
        const int r = io_wait_for_connection(input, s.icontrolp, diag, refused, wait_ms);
        qx_refusal_service(refused, input, output, diag);
        if (r == 0) {
            diagstk_remove(diag, 0);  // an interrupted wait is not news
            idle_turn(s, diag);
            continue;
        }
        if (r < 0) {
            diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
            close_control(s);
            return -1;
        }
        int sts = 0;
        if (r == 1) {
            sts = request_connection(s, input, output, diag);
        } else if (s.icontrolp == nullptr) {
            diagstk_add(diag, 4, "internal error, seen connection on control port but no control port");
            diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
            continue;
        } else {
            sts = control_connection(s, diag);
        }
        if (sts != 0) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        if (s.connections_since_cleanup >= MAX_CONNECTIONS_SINCE_CLEANUP) {
            cleanup_exited_threads(diag, &s.threadsll, &s.stats);
            s.connections_since_cleanup = 0;
        }
    }
}

namespace {

// MaxClientConnect: at most that many children serve one address at a
// time (0: no limit). A setting that is read should have an effect, and a
// single client must not be able to take every slot.
bool client_over_limit(diagstk_t *diag, srv_limits_t limits, threads_t *slots, const char *ip,
                       stats_t *stats)
{
    if (limits.max_client == 0) return false;
    for (threads_t *t = slots; t != nullptr; t = t->next)
        if (t->in_use && std::strcmp(t->client_ip, ip) == 0) exited_thread(diag, t, 0, stats);
    if (count_client_threads(slots, ip) < limits.max_client) return false;
    diagstk_add(diag, 3, "Maximum connections from client %s already in use", ip);
    return true;
}

// The name the resolver gives the address text `ip` (IPv4 or IPv6); false
// when it has none. Blocks in the server loop: the reason ReverseLookup is
// off by default.
bool host_name(const char *ip, char *name, std::size_t size)
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    // Only an address: not the empty text or "*", which name every interface.
    if (ip[0] == '\0' || std::strcmp(ip, "*") == 0 || !io_listen_address(ip, 0, &addr, &len))
        return false;
    return getnameinfo(reinterpret_cast<sockaddr *>(&addr), len, name, static_cast<socklen_t>(size),
                       nullptr, 0, NI_NAMEREQD) == 0;
}

void refuse(diagstk_t *diag, io_in_t *input, io_out_t *output, stats_t *stats)
{
    qx_update_stats(stats, STATS_DISCONNECT, nullptr, nullptr);
    qx_refusal_park(diag, input, output, 503, DIAGSTK_TO_EVENTLOG);
}

}  // namespace

int new_incoming_connection(diagstk_t *diag, io_in_t *input, io_out_t *output,
                            srv_limits_t limits, threads_t **threadspp, threads_t **cthreadpp,
                            void *ip_acl, stats_t *stats)
{
    char *address = input->src.listen.client_ip;
    mtlog("Connection from %s\n", address);
    qx_metrics_connection();
    qx_update_stats(stats, STATS_CONNECT, *threadspp, nullptr);
    char host[NI_MAXHOST];
    const bool named = qx_ini_flag_set(FLAG_REVERSE_LOOKUP) && host_name(address, host, sizeof host);
    qx_update_stats(stats, STATS_CLIENT, address, named ? host : nullptr);

    if (!qx_check_access_control(diag, address, ip_acl)) {
        qx_update_stats(stats, STATS_REFUSED, nullptr, nullptr);
        qx_update_stats(stats, STATS_DISCONNECT, nullptr, nullptr);
        qx_metrics_refused(refusal_reason::acl);
        diagstk_add(diag, 3, "Access denied to client due to IP-based ACL");
        qx_refusal_park(diag, input, output, 403, 0);
        qx_report_event(eventlog, EVENT_TYPE_ERROR, EVENT_CLIENT_DENIED, address,
                        "due to access control rule");
        return -1;
    }
    if (client_over_limit(diag, limits, *threadspp, address, stats)) {
        qx_metrics_refused(refusal_reason::max_client);
        refuse(diag, input, output, stats);
        return -1;
    }
    if (create_new_thread_entry(diag, limits, threadspp, cthreadpp, stats) < 0) {
        qx_metrics_refused(refusal_reason::max_concurrent);
        refuse(diag, input, output, stats);
        return -1;
    }
    return 0;
}

int handle_request(diagstk_t *diag, io_in_t *input, io_out_t *output, threads_t *thread,
                   stats_t *stats)
{
    mtlog("handle_request()\n");
    const pid_t pid = fork();
    if (pid < 0) {
        diagstk_add(diag, 3, "%s: failed to fork child to handle request - %s", "handle_request",
                    std::strerror(errno));
        return -1;
    }
    if (pid == 0) {
        io_register_file(diag, IO_REGISTER_CLOSE, nullptr, nullptr);
        qx_refusal_close_all();
        qx_log_finish();
        diagstk_free(diag);
        child_start(*input, *output);
    }
    io_hand_over_connection(input, output);
    qx_update_stats(stats, STATS_CHILD_CREATED, nullptr, nullptr);
    qx_metrics_child_created();
    thread->in_use = 1;
    thread->threadid = pid;
    thread->start_time = std::time(nullptr);
    thread->flags = THREAD_FLAG_PROCESS;
    std::snprintf(thread->client_ip, sizeof thread->client_ip, "%s", input->src.listen.client_ip);
    return 0;
}

void child_start(io_in_t input, io_out_t output)
{
    qx_release_signals();
    setpgid(0, 0);
    char name[1024];
    if (log_filespec("tmquillet_child", name, sizeof name) == 0) qx_log_init(name);
    mtlog("child started pid=%d pgrp=%d\n", static_cast<int>(getpid()), static_cast<int>(getpgrp()));
    diagstk_t *diag = diagstk_new();
    if (diag == nullptr) {
        io_close_channels(nullptr, &output, nullptr);
        _exit(1);
    }
    init_signals(diag);
    if (qx_limit_child_memory(diag) < 0) diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    // A slow or hostile handshake holds only this child, for RequestTimeout
    // at most; a failed one ends it with an event and nothing sent.
    if (output.tls_expected &&
        qx_tls_accept(diag, &input, &output, ini_request_timeout) < 0) {
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        io_close_channels(nullptr, &output, diag);
        diagstk_free(diag);
        qx_log_finish();
        _exit(1);
    }
    if (!input.identity.empty())
        qx_stats_report_identity(input.src.listen.client_ip, qx_identity_text(&input));
    const int r = qx_serve_connection(&input, &output, diag, SERVE_UNTIL_CLOSED);
    io_close_channels(nullptr, &output, diag);
    diagstk_free(diag);
    qx_log_finish();
    _exit(r < 0 ? 1 : 0);
}
