// Channel cases a running server cannot be made to hit on demand: signals
// landing mid-call and a peer vanishing mid-send.

#include <chrono>
#include <csignal>
#include <thread>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "signals.h"
#include "unit_support.h"

using namespace std::chrono_literals;
using namespace unit;

namespace {

diagstk_ptr fresh()
{
    quilletlog = 0;
    qx_ignore_sigpipe(nullptr);
    return diagstk_ptr(diagstk_new());
}

// SIGUSR1 interrupts calls (no SA_RESTART) while this lives.
struct Interrupting {
    struct sigaction old{};
    Interrupting()
    {
        struct sigaction sa{};
        sa.sa_handler = [](int) {};
        sigaction(SIGUSR1, &sa, &old);
    }
    ~Interrupting() { sigaction(SIGUSR1, &old, nullptr); }
};

}  // namespace

TEST(IoWrite, PeerGoneSetsTheStateBit)
{
    auto d = fresh();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    io_out_t gone = socket_out(sv[0]);
    const std::string big(1 << 20, 'b');  // too big to be held back in a buffer
    EXPECT_EQ(io_write(&gone, d.get(), big.data(), big.size()), -1);
    EXPECT_EQ(gone.state, IO_STATE_PEER_GONE);
    EXPECT_EQ(messages(d.get()), Msgs{"io_write: Failed to write 1048576 bytes to socket " +
                                      std::to_string(sv[0]) + " - Broken pipe"});
    io_close_channels(nullptr, &gone, d.get());
}

TEST(IoListen, SignalEndsTheWaitQuietly)
{
    // Children exiting interrupt the wait all the time: that is no failure.
    auto d = fresh();
    Interrupting sig;
    io_in_t in{};
    io_out_t out{};
    in.method = XML_INPUT_METHOD_LISTEN;  // port 0 picks a free one
    out.method = XML_OUTPUT_METHOD_LISTEN;
    ASSERT_EQ(io_open_channels(&in, &out, d.get()), 0);
    std::thread poke([self = pthread_self()] {
        std::this_thread::sleep_for(100ms);
        pthread_kill(self, SIGUSR1);
    });
    EXPECT_EQ(io_wait_for_connection(&in, nullptr, d.get()), 0);
    poke.join();
    io_close_channels(&in, &out, d.get());
    EXPECT_EQ(messages(d.get()),
              Msgs{"io_wait_connection: select failed with Interrupted system call"});
}
