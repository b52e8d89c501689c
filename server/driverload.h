// driverload.h - the libraries of the registered ODBC drivers, loaded once
// by the standalone server before it accepts, so that no connection child
// loads one from disk: a child's first connect costs what a connect in a
// warm process costs.
#pragma once

#include "diag.h"

// Loads the library of every driver registered with the driver manager
// (its odbcinst.ini), as the driver manager would find it, through the
// process's guarded dlopen: a library that is refused, missing or fails to
// load is skipped, and the driver manager loads it in the child as it
// always did. Nothing a client names is loaded here. Returns the number of
// libraries loaded; they stay loaded for the life of the process.
int qx_preload_drivers(diagstk_t *diag);
