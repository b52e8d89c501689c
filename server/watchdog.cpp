// watchdog.cpp - the watch over a request's statements and the memory
// limit of a process that serves a connection.
//
// The main thread runs the driver; a second thread, the watchdog, only
// waits: on the connection's socket (a client that closes it), the clock
// (QueryTimeout) and the shutdown flag. It is safe for the watchdog to call
// SQLCancel while the main thread is inside an execution call: that is
// what SQLCancel is for (ODBC lets another thread cancel a function
// running on a statement). It never calls anything else on the handles,
// and it cancels only under the lock that the main thread takes before it
// leaves an execution call, so a cancel never overlaps a later fetch.
// Between calls a stop is published as a flag that the main thread acts
// on itself. Nothing is added per row but one relaxed load.

#include "watchdog.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <stop_token>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>

#include "config.h"
#include "event.h"
#include "log.h"
#include "signals.h"
#include "xml.h"

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the watchdog looks at the shutdown flag while a request runs:
// a killed child ends well within a second.
constexpr auto TICK = 100ms;
// A driver that keeps SQL_ATTR_QUERY_TIMEOUT itself reports its own
// time-out; the server cancels only a statement still running this long
// after the deadline.
constexpr auto DRIVER_GRACE = 1s;

// What the watchdog needs to know of the request it watches.
struct watch_job {
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    int fd = -1;        // the connection's socket; -1 when the channel is none
    short events = 0;   // POLLRDHUP, unless the peer had half-closed before
    bool kill_on_shutdown = false;
    bool limited = false;
    steady::time_point cancel_at{};
};

// QueryTimeout of the watch last armed, for the time-out answer. Written
// and read by the main thread only.
unsigned watched_seconds = 0;

// The reason to stop `w`, after waiting at most one tick for its socket.
watch_stop look(const watch_job &w)
{
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(TICK);
    if (w.limited) {
        const auto now = steady::now();
        if (now >= w.cancel_at) return WATCH_TIMED_OUT;
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(w.cancel_at - now));
    }
    // A negative descriptor is skipped by poll, which then only sleeps.
    pollfd p{w.fd, w.events, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) > 0 &&
        (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0)
        return WATCH_PEER_GONE;
    if (w.kill_on_shutdown && qx_termination_requested()) return WATCH_SHUTDOWN;
    if (w.limited && steady::now() >= w.cancel_at) return WATCH_TIMED_OUT;
    return WATCH_RUNNING;
}

// The process's one watchdog: its thread and the watch it keeps. Every
// member but the thread is guarded by `mu`.
class watchdog {
public:
    static watchdog &instance()
    {
        // Started in a process that serves requests, which never forks
        // afterwards; joined at exit.
        static watchdog w;
        return w;
    }

    // Makes `job` the watch, starting the thread for the first one. False
    // when no thread could be started (the request then runs unwatched).
    bool arm(const watch_job &job)
    {
        std::lock_guard lk(mu_);
        if (!thread_.joinable() && !start()) return false;
        job_ = job;
        armed_ = true;
        in_call_ = false;
        ++generation_;
        qx_watch_state.store(WATCH_RUNNING, std::memory_order_relaxed);
        wake_.notify_one();
        return true;
    }

    void disarm()
    {
        std::lock_guard lk(mu_);
        armed_ = false;
        in_call_ = false;
        qx_watch_state.store(WATCH_RUNNING, std::memory_order_relaxed);
    }

    // The main thread enters an execution call; false when the request
    // has been stopped already.
    bool enter_call()
    {
        std::lock_guard lk(mu_);
        if (qx_watch_state.load(std::memory_order_relaxed) != WATCH_RUNNING) return false;
        in_call_ = true;
        return true;
    }

    // Waits for a cancel in progress: the next driver call comes after it.
    void leave_call()
    {
        std::lock_guard lk(mu_);
        in_call_ = false;
    }

private:
    watchdog() = default;

    bool start()
    {
        // Signals keep going to the main thread: the watchdog is started
        // with all of them blocked, so a SIGTERM still interrupts the main
        // thread's blocking calls as before.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        try {
            thread_ = std::jthread([this](std::stop_token st) { run(st); });
        } catch (const std::system_error &e) {
            const std::string why = std::string("Statements run without limits: no watchdog - ") +
                                    e.what();
            qx_report_event(eventlog, EVENT_TYPE_WARNING, EVENT_GENERIC, why.c_str(), nullptr);
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return thread_.joinable();
    }

    void run(std::stop_token st)
    {
        std::unique_lock lk(mu_);
        // Sleeps without a wake-up between requests; loops by ticks while
        // one runs and has not been stopped.
        while (wake_.wait(lk, st, [this] {
            return armed_ && qx_watch_state.load(std::memory_order_relaxed) == WATCH_RUNNING;
        })) {
            const std::uint64_t generation = generation_;
            const watch_job job = job_;
            lk.unlock();
            const watch_stop why = look(job);
            lk.lock();
            if (why == WATCH_RUNNING || !armed_ || generation_ != generation) continue;
            qx_watch_state.store(why, std::memory_order_release);
            // Under the lock: the main thread cannot leave this call and
            // start another one while the cancel runs.
            if (in_call_) SQLCancel(job.hstmt);
        }
    }

    std::mutex mu_;
    std::condition_variable_any wake_;
    watch_job job_;
    bool armed_ = false;
    bool in_call_ = false;
    std::uint64_t generation_ = 0;
    std::jthread thread_;  // last: stopped and joined before the rest goes
};

// The connection's socket, or -1 when the channel is not one.
int socket_of(const io_out_t *output)
{
    struct stat st {};
    const int fd = output->dst.listen.sock;
    return fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? fd : -1;
}

// What to wait for on `fd`. A client that has only shut down its sending
// side (as clients do after their last request) is still reading: only a
// connection closed in both directions or reset counts then. Otherwise
// the end of its sending side during the statement is the client leaving.
short peer_events(int fd)
{
    if (fd < 0) return 0;
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLRDHUP) != 0 ? 0 : POLLRDHUP;
}

// The error result of a request stopped at its time limit, shaped like
// the ODBC error result of a statement: its own prolog, one Diagnostic.
void write_timeout_result(io_out_t *output, diagstk_t *diag, unsigned seconds)
{
    output_xml_prolog(output, nullptr, nullptr, diag);
    io_writef(output, diag,
              "<Result State=\"HYT00\">\n<Diagnostic Number=\"1\">\n    <State>HYT00</State>\n"
              "    <Native>0</Native>\n    <Text>Query timed out after %u seconds</Text>\n"
              "</Diagnostic>\n</Result>\n",
              seconds);
    output_xml_epilog(output, diag);
}

}  // namespace

statement_watch::statement_watch(SQLHSTMT hstmt, const io_out_t *output) : hstmt_(hstmt)
{
    if (output->method != XML_OUTPUT_METHOD_LISTEN) return;
    seconds_ = ini_query_timeout;
    deadline_ = steady::now() + std::chrono::seconds(seconds_);
    watch_job job;
    job.hstmt = hstmt;
    job.fd = socket_of(output);
    job.events = peer_events(job.fd);
    job.kill_on_shutdown = qx_ini_flag_set(FLAG_KILL_CHILDREN) != 0;
    job.limited = seconds_ > 0;
    job.cancel_at = deadline_ + DRIVER_GRACE;
    watched_seconds = seconds_;
    armed_ = watchdog::instance().arm(job);
}

statement_watch::~statement_watch()
{
    if (armed_) watchdog::instance().disarm();
}

bool statement_watch::enter_call() { return watchdog::instance().enter_call(); }

void statement_watch::leave_call() { watchdog::instance().leave_call(); }

void statement_watch::set_driver_timeout()
{
    const auto left = std::chrono::ceil<std::chrono::seconds>(deadline_ - steady::now()).count();
    const SQLULEN limit = left < 1 ? 1 : static_cast<SQLULEN>(left);
    // A driver that cannot keep the time refuses or ignores it; the
    // watchdog keeps it then, so the answer is not examined.
    SQLSetStmtAttr(hstmt_, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(limit),
                   SQL_IS_UINTEGER);
}

answer_outcome qx_watch_stopped_answer(SQLHSTMT hstmt, io_out_t *output, diagstk_t *diag,
                                       const char *open_tail)
{
    const int why = qx_watch_state.load(std::memory_order_acquire);
    // Whatever the statement still holds (rows, a cursor on the server, a
    // step half done) is dropped: nothing more is fetched for this answer.
    SQLCancel(hstmt);
    if (why == WATCH_TIMED_OUT) {
        if (qx_tracing(QX_LOG_ODBC_ERROR))
            qx_log("Query timed out after %u seconds\n", watched_seconds);
        if (open_tail != nullptr) io_write(output, diag, open_tail, 0);
        write_timeout_result(output, diag, watched_seconds);
        return ANSWER_FAILED;
    }
    if (qx_tracing(QX_LOG_ODBC))
        qx_log("%s: statement cancelled\n",
               why == WATCH_SHUTDOWN ? "Shutting down" : "Client has closed the connection");
    // Nobody is to read the rest: the channel takes nothing more, and the
    // connection ends as after a client that has gone.
    output->state |= IO_STATE_PEER_GONE;
    return ANSWER_PEER_GONE;
}

// AddressSanitizer (and the thread and memory sanitizers) reserve terabytes
// of address space for their shadow memory: under any RLIMIT_AS every
// process of such a build would fail, so a sanitizer build runs without it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QX_SANITIZER_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define QX_SANITIZER_BUILD 1
#endif
#endif

int qx_limit_child_memory(diagstk_t *diag)
{
#ifdef QX_SANITIZER_BUILD
    (void)diag;
    return 0;
#else
    if (ini_max_child_memory == 0) return 0;
    rlimit rl{};
    getrlimit(RLIMIT_AS, &rl);
    rlim_t bytes = static_cast<rlim_t>(ini_max_child_memory) << 20;
    if (rl.rlim_max != RLIM_INFINITY && bytes > rl.rlim_max) bytes = rl.rlim_max;
    // Soft and hard alike: this process never needs more, and cannot take it back.
    rl.rlim_cur = rl.rlim_max = bytes;
    if (setrlimit(RLIMIT_AS, &rl) < 0) {
        diagstk_add(diag, 3,
                    "Failed to limit a connection's address space to %lu MiB (MaxChildMemory) - %s",
                    static_cast<unsigned long>(ini_max_child_memory), std::strerror(errno));
        return -1;
    }
    return 0;
#endif
}
