// metrics.h - counters the standalone server and its children share, read
// as Prometheus metrics on the control port (`GET /metrics`). Mapped
// before the first fork: a child counts its requests as it answers them,
// with atomic updates, and no request waits for the server loop.
#pragma once

#include <cstdint>
#include <string>

// The reasons a connection is refused before a child serves it.
enum class refusal_reason { acl, max_concurrent, max_client };
// What became of a request: it ran and was answered whole (ok), it failed
// and the client was told (error), its answer was cut off (incomplete: a
// client gone, a failure part-way), or it was not read or understood
// (refused).
enum class request_outcome { ok, error, incomplete, refused };
// The kinds of request.
enum class request_kind { sql, transaction, procedure, tables, none };

// Maps the shared counters (once; the standalone server before it
// accepts). False when the memory cannot be had: the server runs without
// metrics.
bool qx_metrics_open(void);
void qx_metrics_connection(void);
void qx_metrics_refused(refusal_reason why);
void qx_metrics_child_created(void);
void qx_metrics_children_active(unsigned long n);
// Counts one request: its kind, outcome, the bytes of its answer, and its
// duration; with the rows counted by qx_metrics_row since the last call.
void qx_metrics_request(request_kind kind, request_outcome outcome, std::uint64_t answer_bytes,
                        double seconds);
// One row written (kept in the process, added with its request).
extern std::uint64_t qx_metrics_rows_pending;
inline void qx_metrics_row(void) { qx_metrics_rows_pending++; }
// The metrics in Prometheus text format (version 0.0.4); empty when the
// counters were never mapped.
std::string qx_metrics_text(void);
