// signals.cpp - signal dispositions of the server and its children.

#include <cerrno>
#include <csignal>
#include <cstring>

#include "iodef.h"

int qx_ignore_sigpipe(diagstk_t *diag)
{
    // A client that goes away must show up as a failed send (EPIPE), never
    // as the death of the process serving it.
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGPIPE, &sa, nullptr) < 0) {
        diagstk_add(diag, 3, "%s: failed to ignore SIGPIPE - %s", "qx_ignore_sigpipe",
                    std::strerror(errno));
        return -1;
    }
    return 0;
}
