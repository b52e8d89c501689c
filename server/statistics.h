// statistics.h - the standalone server's statistics record and document.
#pragma once

#include "iodef.h"
#include "util.h"

// The record is kept by the standalone server only; everything else passes
// a null pointer.
struct stats_s;
typedef struct stats_s stats_t;

// Writes the statistics document; with a null `stats` answers the error
// result document "Statistics not available in this configuration". 0.
int qx_return_statistics(diagstk_t *diag, io_out_t *output, stats_t *stats);
