// track.h - the worker slot table: one slot per child of the standalone
// server, for limits, reaping and shutdown.
#pragma once

#include <ctime>
#include <netinet/in.h>
#include <sys/types.h>

#include "util.h"

struct stats_s;

inline constexpr int MAX_SPARE_SLOTS = 5;
inline constexpr unsigned MAX_CONNECTIONS_SINCE_CLEANUP = 10;
inline constexpr unsigned long THREAD_FLAG_PROCESS = 1;  // the slot holds a child process

typedef struct threads_s {
    unsigned int in_use;
    pid_t threadid;
    union {
        unsigned long threadh;
        void *processh;
    } handle;
    int sock;
    time_t start_time;
    char *timeout;
    unsigned long flags;
    char client_ip[INET6_ADDRSTRLEN];  // as io_desc_listen_s holds it
    char host_name[32];
    char dsn[32];
    struct threads_s *next;
} threads_t;

typedef struct srv_limits_s {
    unsigned long max_concurrent;  // 0: no limit
    unsigned long max_client;      // 0: no limit
} srv_limits_t;

// Chooses a free slot (allocating one when none is free). -1 with a
// message when `limits.max_concurrent` children are running or memory is
// short.
int create_new_thread_entry(diagstk_t *diag, srv_limits_t limits, threads_t **threadsllpp,
                            threads_t **new_thread, stats_s *stats);
// Reaps finished children, moves free slots to the front, keeps at most
// MAX_SPARE_SLOTS of them.
int cleanup_exited_threads(diagstk_t *diag, threads_t **threadsll, stats_s *stats);
// Blocks until every recorded child has ended.
int waitfor_exited_threads(diagstk_t *diag, threads_t **threadsll);
// Sends SIGTERM to every running child.
int kill_remaining_threads(diagstk_t *diag, threads_t *threadsll);
// Reaps one slot's child: blocking when `waitfor`, else polling.
int exited_thread(diagstk_t *diag, threads_t *thread, int waitfor, stats_s *stats);
// Frees every slot of the list.
void free_thread_list(threads_t **threadsll);
// Children of `threadsll` still running from `ip` (the per-client limit).
unsigned long count_client_threads(const threads_t *threadsll, const char *ip);
