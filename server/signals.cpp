// signals.cpp - signal dispositions of the server and its children. The
// handler only records what arrived; the server loop acts on it between
// operations, and the trace lines are written there, outside the handler.

#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "iodef.h"
#include "log.h"

namespace {

volatile sig_atomic_t sigint = 0, sigterm = 0, sighup = 0;
// The first of SIGINT and SIGTERM to arrive: the one the stop line names.
volatile sig_atomic_t first_termination = 0;
// Deliveries not yet traced, and the process that received them.
volatile sig_atomic_t pending_int = 0, pending_term = 0, pending_hup = 0;

void trace_deliveries()
{
    const int pid = static_cast<int>(getpid());
    struct {
        volatile sig_atomic_t *pending;
        int sig;
        const char *line;
    } const rows[] = {{&pending_hup, SIGHUP, "SIGHUP received in %d\n"},
                      {&pending_term, SIGTERM, "SIGTERM received in %d\n"},
                      {&pending_int, SIGINT, "SIGINT received in %d\n"}};
    for (const auto &r : rows) {
        while (*r.pending > 0) {
            *r.pending = *r.pending - 1;
            mtlog("signal:%d\n", r.sig);
            mtlog(r.line, pid);
        }
    }
}

sigset_t held_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGHUP, SIGTERM, SIGCHLD}) sigaddset(&set, sig);
    return set;
}

int install(int sig, const struct sigaction &sa, diagstk_t *diag, const char *message)
{
    if (sigaction(sig, &sa, nullptr) < 0) {
        diagstk_add(diag, 3, message, std::strerror(errno));
        return -1;
    }
    return 0;
}

}  // namespace

void signal_received(int sig)
{
    switch (sig) {
    case SIGHUP: sighup = 1; pending_hup = pending_hup + 1; break;
    case SIGTERM: sigterm = 1; pending_term = pending_term + 1; break;
    case SIGINT: sigint = 1; pending_int = pending_int + 1; break;
    default: break;
    }
    switch (sig) {
    case SIGTERM:
    case SIGINT:
        if (first_termination == 0) first_termination = sig;
        break;
    default: break;  // SIGCHLD: interrupting the server's wait is all it does
    }
}

int init_signals(diagstk_t *diag)
{
    mtlog("Initialising signal handlers\n");
    struct sigaction sa {};
    sa.sa_handler = signal_received;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGHUP);
    sigaddset(&sa.sa_mask, SIGTERM);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked call must see the signal
    if (install(SIGINT, sa, diag, "Error setting signal handler for SIGINT\n- %s\n") < 0 ||
        install(SIGHUP, sa, diag, "Error setting signal handler for SIGHUP\n- %s\n") < 0 ||
        install(SIGTERM, sa, diag, "Error setting signal handler for SIGTERM\n- %s\n") < 0)
        return -1;
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ign.sa_flags = SA_RESTART;
    if (install(SIGPIPE, ign, diag, "Error setting signal handler to ignore SIGPIPE\n- %s\n") < 0)
        return -1;
    // A file-size limit reached while saving the configuration must fail
    // that write (EFBIG, answered to the control client), not end the server.
    if (install(SIGXFSZ, ign, diag, "Error setting signal handler to ignore SIGXFSZ\n- %s\n") < 0)
        return -1;
    mtlog("Signal handlers initialised\n");
    return 0;
}

int process_signals(void)
{
    trace_deliveries();
    if (!sigint && !sigterm) return 0;
    mtlog("SIG{INT|TERM} seen\n");
    return 2;
}

bool qx_termination_requested(void) { return sigint != 0 || sigterm != 0; }

int qx_termination_signal(void) { return first_termination; }

bool qx_reload_requested(void)
{
    // Read and cleared while the handled signals are blocked (outside the
    // server's wait), so a SIGHUP that arrives later is kept for the next
    // turn, and several before it make one reload.
    if (sighup == 0) return false;
    sighup = 0;
    return true;
}

int qx_hold_signals(diagstk_t *diag)
{
    struct sigaction sa {};
    sa.sa_handler = signal_received;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_NOCLDSTOP;  // not restarted: the wait must return
    if (install(SIGCHLD, sa, diag, "Error setting signal handler for SIGCHLD\n- %s\n") < 0)
        return -1;
    const sigset_t held = held_signals();
    sigprocmask(SIG_BLOCK, &held, nullptr);
    return 0;
}

void qx_release_signals(void)
{
    signal(SIGCHLD, SIG_DFL);
    const sigset_t held = held_signals();
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

int qx_ignore_sigpipe(diagstk_t *diag)
{
    // A client that goes away must show up as a failed send (EPIPE), never
    // as the death of the process serving it.
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGPIPE, &sa, nullptr) < 0) {
        diagstk_add(diag, 3, "Failed to ignore SIGPIPE - %s", std::strerror(errno));
        return -1;
    }
    return 0;
}
