// metrics.cpp - the shared counters and their Prometheus text.

#include "metrics.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <cstdio>
#include <ctime>
#include <sys/mman.h>

std::uint64_t qx_metrics_rows_pending = 0;

namespace {

constexpr const char *REFUSAL_NAMES[] = {"acl", "max_concurrent", "max_client"};
constexpr const char *OUTCOME_NAMES[] = {"ok", "error", "incomplete", "refused"};
constexpr const char *KIND_NAMES[] = {"sql", "transaction", "procedure", "tables", "none"};
constexpr int REFUSALS = 3, OUTCOMES = 4, KINDS = 5;
// Upper bounds of the duration histogram's buckets, in seconds: from a
// cached small query to a long report.
constexpr double BUCKETS[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};
constexpr int NBUCKETS = sizeof BUCKETS / sizeof BUCKETS[0];

using counter = std::atomic<std::uint64_t>;
static_assert(counter::is_always_lock_free, "counters shared across processes must be lock-free");

struct shared_metrics {
    counter connections;
    counter refused[REFUSALS];
    counter children_created;
    counter children_active;
    counter requests[KINDS][OUTCOMES];
    counter rows;
    counter answer_bytes;
    counter duration_buckets[NBUCKETS];  // not cumulative: each request counts in one
    counter duration_count;
    counter duration_micros;
    std::time_t start_time;
};

shared_metrics *shared = nullptr;

void add(counter &c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
std::uint64_t get(const counter &c) { return c.load(std::memory_order_relaxed); }

void line(std::string &out, const char *fmt, auto... args)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    out += buf;
}

void describe(std::string &out, const char *name, const char *type, const char *help)
{
    line(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

}  // namespace

bool qx_metrics_open(void)
{
    if (shared != nullptr) return true;
    void *p = mmap(nullptr, sizeof(shared_metrics), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED) return false;
    shared = new (p) shared_metrics{};  // anonymous memory is zeroed; this starts the counters' lives
    shared->start_time = std::time(nullptr);
    return true;
}

void qx_metrics_connection(void)
{
    if (shared) add(shared->connections);
}

void qx_metrics_refused(refusal_reason why)
{
    if (shared) add(shared->refused[static_cast<int>(why)]);
}

void qx_metrics_child_created(void)
{
    if (shared) add(shared->children_created);
}

void qx_metrics_children_active(unsigned long n)
{
    if (shared) shared->children_active.store(n, std::memory_order_relaxed);
}

void qx_metrics_request(request_kind kind, request_outcome outcome, std::uint64_t answer_bytes,
                        double seconds)
{
    const std::uint64_t rows = qx_metrics_rows_pending;
    qx_metrics_rows_pending = 0;
    if (shared == nullptr) return;
    add(shared->requests[static_cast<int>(kind)][static_cast<int>(outcome)]);
    add(shared->rows, rows);
    add(shared->answer_bytes, answer_bytes);
    int b = 0;
    while (b < NBUCKETS && seconds > BUCKETS[b]) b++;
    if (b < NBUCKETS) add(shared->duration_buckets[b]);
    add(shared->duration_count);
    add(shared->duration_micros, static_cast<std::uint64_t>(seconds * 1e6));
}

std::string qx_metrics_text(void)
{
    std::string out;
    if (shared == nullptr) return out;
    const shared_metrics &m = *shared;
    describe(out, "quillet_connections_total", "counter", "Request connections accepted.");
    line(out, "quillet_connections_total %llu\n", static_cast<unsigned long long>(get(m.connections)));
    describe(out, "quillet_connections_refused_total", "counter",
             "Request connections refused before a child served them, by reason.");
    for (int i = 0; i < REFUSALS; i++)
        line(out, "quillet_connections_refused_total{reason=\"%s\"} %llu\n", REFUSAL_NAMES[i],
             static_cast<unsigned long long>(get(m.refused[i])));
    describe(out, "quillet_children_active", "gauge", "Children serving a connection now.");
    line(out, "quillet_children_active %llu\n", static_cast<unsigned long long>(get(m.children_active)));
    describe(out, "quillet_children_created_total", "counter", "Children started.");
    line(out, "quillet_children_created_total %llu\n",
         static_cast<unsigned long long>(get(m.children_created)));
    describe(out, "quillet_requests_total", "counter", "Requests answered, by kind and outcome.");
    for (int k = 0; k < KINDS; k++)
        for (int o = 0; o < OUTCOMES; o++)
            line(out, "quillet_requests_total{kind=\"%s\",outcome=\"%s\"} %llu\n", KIND_NAMES[k],
                 OUTCOME_NAMES[o], static_cast<unsigned long long>(get(m.requests[k][o])));
    describe(out, "quillet_rows_total", "counter", "Rows written in answers.");
    line(out, "quillet_rows_total %llu\n", static_cast<unsigned long long>(get(m.rows)));
    describe(out, "quillet_answer_bytes_total", "counter", "Bytes sent to clients in answers, HTTP framing included.");
    line(out, "quillet_answer_bytes_total %llu\n", static_cast<unsigned long long>(get(m.answer_bytes)));
    describe(out, "quillet_request_duration_seconds", "histogram",
             "Time from the first byte of a request to the end of its answer.");
    std::uint64_t cumulative = 0;
    for (int b = 0; b < NBUCKETS; b++) {
        cumulative += get(m.duration_buckets[b]);
        line(out, "quillet_request_duration_seconds_bucket{le=\"%g\"} %llu\n", BUCKETS[b],
             static_cast<unsigned long long>(cumulative));
    }
    // Read once: requests that end meanwhile must not make +Inf smaller
    // than a bucket.
    const std::uint64_t count = std::max(get(m.duration_count), cumulative);
    line(out, "quillet_request_duration_seconds_bucket{le=\"+Inf\"} %llu\n",
         static_cast<unsigned long long>(count));
    line(out, "quillet_request_duration_seconds_sum %.6f\n",
         static_cast<double>(get(m.duration_micros)) / 1e6);
    line(out, "quillet_request_duration_seconds_count %llu\n", static_cast<unsigned long long>(count));
    describe(out, "quillet_start_time_seconds", "gauge", "Start time of the server, seconds since the epoch.");
    line(out, "quillet_start_time_seconds %lld\n", static_cast<long long>(m.start_time));
    return out;
}
