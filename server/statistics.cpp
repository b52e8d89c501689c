// statistics.cpp - the statistics record of the standalone server and the
// document the control port answers with.

#include "statistics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/times.h>
#include <unistd.h>

#include "track.h"
#include "xml.h"

namespace {

// The identity channel's ends, both non-blocking. The channel lives as
// long as the server; children inherit the write end.
int identity_read = -1;
int identity_write = -1;

// One report: the address, a unit separator, the identity, a newline.
// Certificate names hold no control characters (they are shown with '?').
constexpr char FIELD_SEPARATOR = '\x1f';

// Adds `identity` to the identities of the row of `address`, unless it is
// there already or does not fit (statistics name what they can).
void note_identity(stats_t *stats, std::string_view address, std::string_view identity)
{
    for (clients_t &c : stats->clients) {
        if (c.connections == 0) return;
        if (address != c.ip) continue;
        for (const std::string_view seen : qx_list_items(c.identities))
            if (seen == identity) return;
        const std::size_t used = std::strlen(c.identities);
        const std::size_t need = identity.size() + (used != 0 ? 1 : 0);
        if (used + need >= sizeof c.identities) return;
        std::snprintf(c.identities + used, sizeof c.identities - used, "%s%.*s",
                      used != 0 ? "," : "", static_cast<int>(identity.size()), identity.data());
        return;
    }
}

// Reads every report that has arrived. Reports are written whole (shorter
// than PIPE_BUF), so a read returns whole reports.
void read_identities(stats_t *stats)
{
    if (identity_read < 0) return;
    char buf[PIPE_BUF];
    for (;;) {
        const ssize_t n = read(identity_read, buf, sizeof buf);
        if (n <= 0) return;
        std::string_view text(buf, static_cast<std::size_t>(n));
        while (!text.empty()) {
            const std::size_t end = text.find('\n');
            const std::string_view report = text.substr(0, end);
            const std::size_t sep = report.find(FIELD_SEPARATOR);
            if (sep != std::string_view::npos)
                note_identity(stats, report.substr(0, sep), report.substr(sep + 1));
            if (end == std::string_view::npos) break;
            text.remove_prefix(end + 1);
        }
    }
}

void count_connect(stats_t *stats, const threads_t *slots)
{
    read_identities(stats);
    stats->n_connections++;
    stats->last_connect = std::time(nullptr);
    unsigned long count = 1;
    for (const threads_t *t = slots; t != nullptr; t = t->next)
        if (t->in_use) count++;
    if (count > stats->max_concur_threads) stats->max_concur_threads = count;
    stats->n_active_threads = count;
}

void count_client(stats_t *stats, const char *address, const char *host)
{
    const char *name = host != nullptr ? host : "unknown";
    unsigned long row = 0;
    for (; row < stats->n_diff_clients && row < QX_STATS_CLIENTS; row++) {
        clients_t &c = stats->clients[row];
        if (c.connections == 0) break;
        if (std::strcmp(c.ip, address) == 0) {
            c.connections++;
            return;
        }
    }
    if (row >= QX_STATS_CLIENTS) return;  // the table is full: counted, not listed
    clients_t &c = stats->clients[row];
    std::snprintf(c.ip, sizeof c.ip, "%s", address);
    std::snprintf(c.name, sizeof c.name, "%s", name);
    c.connections = 1;
    stats->n_diff_clients++;
}

}  // namespace

int qx_stats_open_identity_channel(diagstk_t *diag)
{
    if (identity_read >= 0) return 0;
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) < 0) {
        diagstk_add(diag, 3, "Cannot create the statistics channel - %s", std::strerror(errno));
        return -1;
    }
    identity_read = ends[0];
    identity_write = ends[1];
    return 0;
}

void qx_stats_report_identity(const char *address, const std::string &identity)
{
    if (identity_write < 0 || identity.empty()) return;
    std::string report = address;
    report += FIELD_SEPARATOR;
    report += identity;
    report += '\n';
    if (report.size() > PIPE_BUF) return;
    [[maybe_unused]] const ssize_t n = write(identity_write, report.data(), report.size());
}

void qx_update_stats(stats_t *stats, int operation, void *data1, void *data2)
{
    if (stats == nullptr) return;
    switch (operation) {
    case STATS_CONNECT: count_connect(stats, static_cast<const threads_t *>(data1)); break;
    case STATS_CLIENT:
        count_client(stats, static_cast<const char *>(data1), static_cast<const char *>(data2));
        break;
    case STATS_CHILD_CREATED: stats->n_threads_total++; break;
    case STATS_DISCONNECT:
        stats->last_disconnect = std::time(nullptr);
        stats->n_active_threads--;
        break;
    case STATS_REFUSED: stats->n_refused++; break;
    case STATS_CONTROL_CONNECT: stats->n_ctrl_connections++; break;
    default: break;
    }
}

namespace {

const char *plural(unsigned long n) { return n == 1 ? "" : "s"; }

// ctime without its newline.
void write_time_element(io_out_t *output, diagstk_t *diag, const char *tag, time_t t)
{
    char buf[64];
    if (ctime_r(&t, buf) == nullptr) buf[0] = '\0';
    buf[std::strcspn(buf, "\n")] = '\0';
    io_writef(output, diag, "    <%s>%s</%s>\n", tag, buf, tag);
}

}  // namespace

int qx_return_statistics(diagstk_t *diag, io_out_t *output, stats_t *stats)
{
    if (stats == nullptr) {
        // inetd control connections and tcpip_listen keep no statistics.
        diagstk_add(diag, 2, "Statistics not available in this configuration");
        qx_output_error_result(diag, output);
        return 0;
    }
    unsigned long up = static_cast<unsigned long>(std::difftime(std::time(nullptr), stats->start_time));
    const unsigned long days = up / 86400, hours = up % 86400 / 3600, minutes = up % 3600 / 60,
                        seconds = up % 60;
    read_identities(stats);
    output_xml_prolog(output, nullptr, nullptr, diag);
    io_writef(output, diag, "<Result State=\"00000\">\n");
    io_writef(output, diag,
              "  <UpTime>%lu day%s, %lu hour%s, %lu minute%s and %lu second%s</UpTime>\n", days,
              plural(days), hours, plural(hours), minutes, plural(minutes), seconds,
              plural(seconds));
    io_writef(output, diag, "  <CPUTime>\n    <Kernel>%2.2f</Kernel>\n    <User>%2.2f</User>\n  </CPUTime>\n",
              stats->kernel_cpu, stats->user_cpu);
    io_writef(output, diag,
              "  <Connections>\n    <Total>%lu</Total>\n    <Refused>%lu</Refused>\n"
              "    <Active>%lu</Active>\n    <MaxConcurrent>%lu</MaxConcurrent>\n"
              "    <ChildrenCreated>%lu</ChildrenCreated>\n",
              stats->n_connections, stats->n_refused, stats->n_active_threads,
              stats->max_concur_threads, stats->n_threads_total);
    if (stats->n_connections != 0) {
        write_time_element(output, diag, "LastConnect", stats->last_connect);
        write_time_element(output, diag, "LastDisconnect", stats->last_disconnect);
    }
    io_writef(output, diag, "  </Connections>\n  <Clients>\n");
    for (int i = 0; i < QX_STATS_CLIENTS && stats->clients[i].ip[0] != '\0'; i++) {
        io_write(output, diag, "    <Client Name=\"", 0);
        qx_write_escaped(output, diag, stats->clients[i].name, '"');
        if (stats->clients[i].identities[0] != '\0') {
            io_write(output, diag, "\" Identities=\"", 0);
            qx_write_escaped(output, diag, stats->clients[i].identities, '"');
        }
        io_write(output, diag, "\">", 0);
        qx_write_escaped(output, diag, stats->clients[i].ip);
        io_write(output, diag, "</Client>\n", 0);
    }
    io_writef(output, diag,
              "  </Clients>\n  <Control>\n    <Connections>\n      <Total>%lu</Total>\n"
              "    </Connections>\n  </Control>\n</Result>\n",
              stats->n_ctrl_connections);
    output_xml_epilog(output, diag);
    return 0;
}

int qx_process_times(int is_nt, double *k, double *u)
{
    (void)is_nt;
    struct tms t {};
    times(&t);
    *k = static_cast<double>(t.tms_stime) / 100.0;
    *u = static_cast<double>(t.tms_utime) / 100.0;
    return 0;
}
