// statistics.cpp - the statistics document of the control port.

#include "statistics.h"

int qx_return_statistics(diagstk_t *diag, io_out_t *output, stats_t *stats)
{
    if (stats == nullptr) {
        // inetd control connections and tcpip_listen keep no statistics.
        diagstk_add(diag, 2, "Statistics not available in this configuration");
        diagstk_output(diag, DIAGSTK_TO_CLIENT, output);
        return 0;
    }
    return 0;
}
