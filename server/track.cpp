// track.cpp - the worker slot table of the standalone server.

#include "track.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

#include "log.h"
#include "statistics.h"

int exited_thread(diagstk_t *diag, threads_t *thread, int waitfor, stats_s *stats)
{
    mtlog("Cleaning up exited thread - %p, id=%d\n", static_cast<void *>(thread),
          static_cast<int>(thread->threadid));
    if (thread->in_use == 0) {
        mtlog("\tProcess/thread slot not in use\n");
        return 0;
    }
    int status = 0;
    pid_t pid;
    do {
        pid = waitpid(thread->threadid, &status, waitfor ? 0 : WNOHANG);
    } while (pid == -1 && errno == EINTR && waitfor);
    if (pid == 0) {
        mtlog("\tStill running\n");
        return 0;
    }
    if (pid == -1) {
        const int err = errno;
        mtlog("\tError %d from waitpid(), errno=%d\n", static_cast<int>(pid), err);
        diagstk_add(diag, 3, "Failed call to waitpid(%d,...)\n- %s\n",
                    static_cast<int>(thread->threadid), std::strerror(err));
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    } else if (WIFEXITED(status)) {
        mtlog("\tChild %d exited with code %d\n", static_cast<int>(pid), WEXITSTATUS(status));
    } else {
        mtlog("Child %d did not exit normally - %d\n", static_cast<int>(pid), status);
        if (WIFSIGNALED(status)) mtlog("\tSignal terminating child was %d\n", WTERMSIG(status));
    }
    qx_update_stats(stats, STATS_DISCONNECT, nullptr, nullptr);
    thread->in_use = 0;
    return 0;
}

int create_new_thread_entry(diagstk_t *diag, srv_limits_t limits, threads_t **threadsllpp,
                            threads_t **new_thread, stats_s *stats)
{
    mtlog("\tCreating new thread entry\n");
    *new_thread = nullptr;
    unsigned long busy = 0;
    threads_t *free_slot = nullptr;
    for (threads_t *t = *threadsllpp; t != nullptr; t = t->next) {
        if (t->in_use == 0) {
            mtlog("\tempty entry found at %p\n", static_cast<void *>(t));
            if (free_slot == nullptr) free_slot = t;
            if (limits.max_concurrent == 0) break;
        } else if (limits.max_concurrent != 0) {
            exited_thread(diag, t, 0, stats);
            if (t->in_use) busy++;
        }
    }
    if (limits.max_concurrent != 0 && busy >= limits.max_concurrent) {
        mtlog("\tMax threads/processes in use %lu, limit reached\n", limits.max_concurrent);
        diagstk_add(diag, 3, "Maximum Threads/Processes already in use");
        return -1;
    }
    if (free_slot == nullptr) {
        free_slot = static_cast<threads_t *>(std::calloc(1, sizeof(threads_t)));
        if (free_slot == nullptr) {
            diagstk_add(diag, 3, "%s: Failed to allocate %d bytes for thread entry",
                        "create_new_thread_entry", static_cast<int>(sizeof(threads_t)));
            mtlog("\t**Failed to allocate thread entry**\n");
            return -1;
        }
        mtlog("\tnew thread entry created at %p\n", static_cast<void *>(free_slot));
        free_slot->next = *threadsllpp;
        *threadsllpp = free_slot;
    }
    *new_thread = free_slot;
    return 0;
}

int cleanup_exited_threads(diagstk_t *diag, threads_t **threadsll, stats_s *stats)
{
    if (threadsll == nullptr) return 0;
    bool errors = false;
    int spare_slots = 0;
    threads_t *prev = nullptr;
    threads_t *t = *threadsll;
    while (t != nullptr) {
        if (exited_thread(diag, t, 0, stats) < 0) errors = true;
        threads_t *next = t->next;
        if (t->in_use) {
            prev = t;
        } else if (++spare_slots > MAX_SPARE_SLOTS) {
            mtlog("Too many spare slots - considering freeing some\n");
            if (prev != nullptr) prev->next = next; else *threadsll = next;
            mtlog("\tFreeing thread entry %p\n", static_cast<void *>(t));
            std::free(t);
        } else if (prev == nullptr || prev->in_use == 0) {
            prev = t;
        } else {
            // A free slot behind a busy one goes to the front, where the
            // next admission finds it first.
            mtlog("\tMoving unused slot %p to start of LL\n", static_cast<void *>(t));
            prev->next = next;
            t->next = *threadsll;
            *threadsll = t;
        }
        t = next;
    }
    return errors ? -1 : 0;
}

int waitfor_exited_threads(diagstk_t *diag, threads_t **threadsll)
{
    mtlog("waitfor_exited_threads(%p,%p)\n", static_cast<void *>(diag),
          static_cast<void *>(threadsll));
    if (threadsll == nullptr) return 0;
    for (threads_t *t = *threadsll; t != nullptr; t = t->next)
        if (t->flags & THREAD_FLAG_PROCESS) exited_thread(diag, t, 1, nullptr);
    mtlog("-waitfor_exited_threads()=0\n");
    return 0;
}

int kill_remaining_threads(diagstk_t *diag, threads_t *threadsll)
{
    mtlog("kill_remaining_threads(%p,%p)\n", static_cast<void *>(diag),
          static_cast<void *>(threadsll));
    int result = 0;
    for (threads_t *t = threadsll; t != nullptr; t = t->next) {
        if (!t->in_use) continue;
        mtlog("Killing thread %ld\n", static_cast<long>(t->threadid));
        if (kill(t->threadid, SIGTERM) < 0) {
            diagstk_add(diag, 3, "Failed to terminate child process %ld - %s",
                        static_cast<long>(t->threadid), std::strerror(errno));
            result = -1;
        }
    }
    return result;
}

void free_thread_list(threads_t **threadsll)
{
    threads_t *t = *threadsll;
    while (t != nullptr) {
        threads_t *next = t->next;
        std::free(t);
        t = next;
    }
    *threadsll = nullptr;
}

unsigned long count_client_threads(const threads_t *threadsll, const char *ip)
{
    unsigned long n = 0;
    for (const threads_t *t = threadsll; t != nullptr; t = t->next)
        if (t->in_use && std::strcmp(t->client_ip, ip) == 0) n++;
    return n;
}
