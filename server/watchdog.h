// watchdog.h - what keeps one connection's work within bounds: the
// statements of a request are stopped when QueryTimeout has passed, when
// the client has closed the connection, or when a shutdown kills the
// children; and the process serving a connection gets at most
// MaxChildMemory of address space. Both apply where a connection is served
// (standalone children, inetd, tcpip_listen), never to pipe and file.
#pragma once

#include <atomic>
#include <chrono>
#include <sql.h>
#include <sqlext.h>

#include "diag.h"
#include "iodef.h"
#include "quillet_defs.h"

// Why the statements of the current request were stopped.
enum watch_stop : int {
    WATCH_RUNNING = 0,    // not stopped
    WATCH_TIMED_OUT = 1,  // QueryTimeout passed and the driver had not stopped them
    WATCH_PEER_GONE = 2,  // the client closed the connection
    WATCH_SHUTDOWN = 3,   // SIGTERM or SIGINT with KillChildrenOnClosedown
};

// The stop of the request being watched; WATCH_RUNNING outside a watch.
// Written by the watchdog thread, read by the row loop.
inline std::atomic<int> qx_watch_state{WATCH_RUNNING};

// True when the statements of the current request are to stop. One
// relaxed load: the row loop asks once per row at no measurable cost.
inline bool qx_watch_stop_requested()
{
    return qx_watch_state.load(std::memory_order_relaxed) != WATCH_RUNNING;
}

// The watch over the statements of one request, from before its first
// execution to the end of its answer. Only a request answered on a
// connection (output method XML_OUTPUT_METHOD_LISTEN) is watched; for any
// other the calls below just run.
//
// While a watch is armed, a watchdog thread (one per process, started with
// the first watch) waits on the connection's socket and the clock. When it
// sees the reason to stop, it publishes it in qx_watch_state and, if the
// main thread is inside an execution call, cancels that call with
// SQLCancel. A stop found between calls is acted on by the main thread
// (qx_watch_stopped_answer), which never shares a driver call with the
// watchdog.
class statement_watch {
public:
    // Arms the watch for `hstmt` of a request answered on `output`, with
    // QueryTimeout, the peer's state and the KillChildrenOnClosedown flag
    // as they are now; the time limit runs from here. Declared after the
    // owner of `hstmt`, so that the watch ends before the handle is freed.
    // A watchdog that cannot be started is reported as an event, and the
    // request runs unwatched.
    statement_watch(SQLHSTMT hstmt, const io_out_t *output);
    ~statement_watch();
    statement_watch(const statement_watch &) = delete;
    statement_watch &operator=(const statement_watch &) = delete;

    // Starts one statement: hands the driver the time left as
    // SQL_ATTR_QUERY_TIMEOUT, then runs `call` (SQLExecDirectW,
    // SQLTablesW) as cancellable. SQL_ERROR without calling it when the
    // request has been stopped already.
    template <class Call>
    SQLRETURN execute(Call call)
    {
        if (seconds_ > 0) set_driver_timeout();
        return cancellable(call);
    }
    // Runs `call` (an execution call such as SQLMoreResults) so that the
    // watchdog may cancel it while it runs.
    template <class Call>
    SQLRETURN cancellable(Call call)
    {
        if (!armed_) return call();
        if (!enter_call()) return SQL_ERROR;
        const SQLRETURN r = call();
        leave_call();
        return r;
    }
    // The reason the request was stopped, WATCH_RUNNING while it runs.
    watch_stop stopped() const
    {
        return armed_ ? static_cast<watch_stop>(qx_watch_state.load(std::memory_order_acquire))
                      : WATCH_RUNNING;
    }

private:
    bool enter_call();
    void leave_call();
    void set_driver_timeout();

    bool armed_ = false;    // the watchdog keeps this watch
    SQLHSTMT hstmt_;
    unsigned seconds_ = 0;  // QueryTimeout of a connection's request; 0: no limit
    std::chrono::steady_clock::time_point deadline_{};
};

// Ends the answer of a stopped request, from the main thread: the
// statement is cancelled (nothing more is fetched), then for
// WATCH_TIMED_OUT `open_tail` (what closes the element being written, or
// null) and the time-out error result are written and ANSWER_FAILED
// returned; for a client that has gone or a shutdown the answer is
// abandoned, the channel takes nothing more, and ANSWER_PEER_GONE is
// returned, so the connection ends as after the client closed it.
answer_outcome qx_watch_stopped_answer(SQLHSTMT hstmt, io_out_t *output, diagstk_t *diag,
                                       const char *open_tail);

// Limits the address space of this process to MaxChildMemory MiB
// (RLIMIT_AS, soft and hard); 0 leaves it unlimited, and so does a
// sanitizer build. Called by a process that is about to serve a
// connection. 0, or -1 with a message on `diag`.
int qx_limit_child_memory(diagstk_t *diag);
