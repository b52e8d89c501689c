// statistics.h - the standalone server's statistics record and document.
#pragma once

#include <ctime>
#include <netinet/in.h>
#include <string>

#include "iodef.h"
#include "util.h"

inline constexpr int QX_STATS_CLIENTS = 20;

// Events of qx_update_stats
inline constexpr int STATS_CONNECT = 1;        // data1: head of the slot list
inline constexpr int STATS_CLIENT = 2;         // data1: address text, data2: host name or null
inline constexpr int STATS_CHILD_CREATED = 3;
inline constexpr int STATS_DISCONNECT = 4;
inline constexpr int STATS_REFUSED = 6;
inline constexpr int STATS_CONTROL_CONNECT = 7;

typedef struct clients_s {
    char ip[INET6_ADDRSTRLEN];
    char name[50];
    unsigned long connections;  // a row is in use while this is non-zero
    char identities[128];       // identities seen from this address, comma-separated
} clients_t;

struct dsn_stats {
    char dsn[32];
    unsigned long connections;
    unsigned long total_time;
};

enum server_service { SERVER_STATE_RUNNING = 0, SERVER_STATE_PAUSED = 1 };
typedef struct server_state_s {
    server_service service;
} server_state_t;

typedef struct stats_s {
    unsigned long n_connections;
    unsigned long n_ctrl_connections;
    unsigned long n_refused;
    unsigned long n_active_threads;
    unsigned long n_threads_total;
    unsigned long max_concur_threads;
    time_t last_connect;
    time_t last_disconnect;
    time_t start_time;
    unsigned long n_diff_clients;
    clients_t clients[QX_STATS_CLIENTS];
    unsigned short port;
    double kernel_cpu;
    double user_cpu;
    server_state_t state;
    dsn_stats dsnstats[10];
    char last_warning_message[512];
    time_t last_msg_time;
} stats_t;

// Applies one event; a null record or an unknown event does nothing.
void qx_update_stats(stats_t *stats, int operation, void *data1, void *data2);
// Writes the statistics document; with a null `stats` answers the error
// result document "Statistics not available in this configuration". 0.
int qx_return_statistics(diagstk_t *diag, io_out_t *output, stats_t *stats);
// The identity channel: a connection child learns its client's identity
// only after the TLS handshake, long after the parent counted the
// connection. Opened by the parent before it forks (-1 with a message);
// children report through it and the parent reads what arrived whenever it
// counts a connection or answers the statistics, never waiting.
int qx_stats_open_identity_channel(diagstk_t *diag);
// In a child: tells the parent that `address` connected as `identity`.
// Never blocks; a report that does not fit is dropped (statistics only).
void qx_stats_report_identity(const char *address, const std::string &identity);
// CPU seconds (system, user) of the calling process. 0.
int qx_process_times(int is_nt, double *k, double *u);
