// Channels, listeners and accepting, and the open-file registry.

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include "unit_support.h"

using namespace std::chrono_literals;
using namespace unit;

namespace {

diagstk_ptr fresh()
{
    quilletlog = 0;
    qx_ignore_sigpipe(nullptr);
    io_register_file(nullptr, IO_REGISTER_INIT, nullptr, nullptr);  // forget earlier listeners
    return diagstk_ptr(diagstk_new());
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

struct Pair {  // a connected socket pair; [0] is the server's end
    int sv[2];
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0); }
};

int connect_local(const io_in_t &listener)
{
    int port = 0;
    EXPECT_EQ(io_get_port(listener.src.listen.listen_sock, &port), 0);
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = static_cast<in_port_t>(port);  // network order already
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return s;
}

// A request listener opened by the channel code; port 0 picks a free one.
struct Listener {
    io_in_t in{};
    io_out_t out{};
    int open;
    explicit Listener(diagstk_t *d, std::uint32_t port = 0)
    {
        in.method = XML_INPUT_METHOD_LISTEN;
        in.src.listen.port = port;
        out.method = XML_OUTPUT_METHOD_LISTEN;
        open = io_open_channels(&in, &out, d);
    }
};

}  // namespace

TEST(IoWrite, LengthsAndFormattedLimit)
{
    auto d = fresh();
    MemOut m;
    EXPECT_EQ(io_write(&m.out, d.get(), "abc", 0), 0);
    EXPECT_EQ(io_write(&m.out, d.get(), "defgh", 2), 0);
    EXPECT_EQ(io_write(&m.out, d.get(), "", 0), 0);
    EXPECT_EQ(io_writef(&m.out, d.get(), "|%s", std::string(2000, 'w').c_str()), 0);
    EXPECT_EQ(m.text(), "abcde|" + std::string(1022, 'w'));
}

TEST(IoWrite, InterruptedSendsAreCompleted)
{
    // A signal during a blocked send returns a short count once some bytes
    // have moved, EINTR before that.
    auto d = fresh();
    struct sigaction sa{}, old{};
    sa.sa_handler = [](int) {};  // without SA_RESTART
    sigaction(SIGUSR1, &sa, &old);
    Pair p;
    std::string data(1 << 20, '\0'), got;
    for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7 / 5);
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; (n = read(p.sv[1], buf, sizeof buf)) > 0; std::this_thread::sleep_for(1ms))
            got.append(buf, static_cast<std::size_t>(n));
    });
    std::atomic<bool> done{false};
    std::thread poke([&, self = pthread_self()] {
        for (; !done; std::this_thread::sleep_for(10ms)) pthread_kill(self, SIGUSR1);
    });
    io_out_t out = socket_out(p.sv[0]);
    EXPECT_EQ(io_write(&out, d.get(), data.data(), data.size()), 0);
    done = true;
    poke.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(io_close_channels(nullptr, &out, d.get()), 0);
    reader.join();
    close(p.sv[1]);
    EXPECT_EQ(out.dst.written, data.size());
    EXPECT_TRUE(got == data);
    EXPECT_EQ(messages(d.get()), Msgs{});
}

TEST(IoFailures, StateBitsAndMessagesNameTheChannel)
{
    auto d = fresh();
    Pair p;
    ASSERT_EQ(write(p.sv[1], "abc", 3), 3);
    close(p.sv[1]);
    io_in_t in = socket_in(p.sv[0]);
    char buf[8];
    EXPECT_EQ(io_read(&in, buf, 2, d.get()), 2);
    EXPECT_EQ(io_read(&in, buf, sizeof buf, d.get()), 1);
    EXPECT_EQ(io_read(&in, buf, sizeof buf, d.get()), 0);
    EXPECT_EQ(in.state, IO_STATE_EOF);
    close(p.sv[0]);
    EXPECT_EQ(io_read(&in, buf, sizeof buf, d.get()), -1);
    EXPECT_EQ(in.state, IO_STATE_EOF | IO_STATE_ERROR);
    Pair q;
    close(q.sv[1]);
    io_out_t gone = socket_out(q.sv[0]);
    const std::string big(1 << 20, 'b');  // too big to be held back in a buffer
    EXPECT_EQ(io_write(&gone, d.get(), big.data(), big.size()), -1);
    EXPECT_EQ(gone.state, IO_STATE_PEER_GONE);

    in = file_in(std::fopen("/dev/null", "w"));  // not readable
    EXPECT_EQ(io_read(&in, buf, sizeof buf, d.get()), -1);
    EXPECT_EQ(in.state, IO_STATE_ERROR);
    std::fclose(in.src.file.fp);
    io_out_t out{};
    out.method = XML_OUTPUT_METHOD_FILE;
    out.dst.file.fp = std::fopen("/dev/null", "r");  // not writable
    EXPECT_EQ(io_write(&out, d.get(), "x", 0), -1);
    std::fclose(out.dst.file.fp);
    out.dst.file.fp = std::fopen("/dev/full", "w");
    out.dst.file.filespec = strdup("/dev/full");
    io_write(&out, d.get(), "x", 0);  // buffered: fails when flushed
    EXPECT_EQ(io_close_channels(nullptr, &out, d.get()), -1);
    EXPECT_EQ(io_close_channels(nullptr, &out, d.get()), 0);
    EXPECT_EQ(out.dst.file.filespec, nullptr);
    EXPECT_EQ(messages(d.get()),
              (Msgs{"io_read: Failed to read from socket " + std::to_string(p.sv[0]) +
                        " - Bad file descriptor",
                    "io_write: Failed to write 1048576 bytes to socket " +
                        std::to_string(q.sv[0]) + " - Broken pipe",
                    "io_read: Failed to read from file input file - Bad file descriptor",
                    "io_write: Failed to write to output file - Bad file descriptor",
                    "io_close_channels: Failed to close /dev/full - No space left on device"}));
    io_close_channels(nullptr, &gone, d.get());
}

TEST(IoClose, OutputSocketDrainsWhilePeerKeepsSending)
{
    auto d = fresh();
    Pair p;
    io_out_t out = socket_out(p.sv[0]);
    ASSERT_GE(io_write(&out, d.get(), "answer", 0), 0);
    std::string got;
    std::thread peer([&] {
        for (int i = 0; i < 8; i++, std::this_thread::sleep_for(20ms))
            send(p.sv[1], "more", 4, MSG_NOSIGNAL);
        got = read_all(p.sv[1]);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(io_close_channels(nullptr, &out, d.get()), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    peer.join();
    close(p.sv[1]);
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(got, "answer");
}

TEST(IoListen, AcceptedConnectionServesBothChannelsAndClosesOnce)
{
    auto d = fresh();
    Listener l(d.get());
    ASSERT_EQ(l.open, 0);
    const int listener = l.in.src.listen.listen_sock;
    EXPECT_EQ(fcntl(listener, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    int port = 0;
    io_get_port(listener, &port);
    port = ntohs(static_cast<in_port_t>(port));
    EXPECT_EQ(Listener(d.get(), static_cast<std::uint32_t>(port)).open, -1);  // taken
    const int client = connect_local(l.in);
    EXPECT_EQ(io_wait_for_connection(&l.in, nullptr, d.get()), 1);
    ASSERT_EQ(io_accept_connection(&l.in, &l.out, d.get()), 0);
    EXPECT_STREQ(l.in.src.listen.client_ip, "127.0.0.1");
    const int accepted = l.in.src.listen.sock;
    EXPECT_EQ(l.out.dst.listen.sock, accepted);
    ASSERT_EQ(write(client, "ping", 4), 4);
    char buf[8];
    EXPECT_EQ(io_read(&l.in, buf, sizeof buf, d.get()), 4);
    EXPECT_GE(io_write(&l.out, d.get(), "pong", 0), 0);
    // The shared socket is closed once, after the held-back answer went out.
    EXPECT_EQ(io_close_channels(&l.in, &l.out, d.get()), 0);
    EXPECT_EQ(l.out.dst.written, 4u);
    EXPECT_FALSE(is_open(listener) || is_open(accepted));
    EXPECT_EQ(io_close_channels(&l.in, &l.out, d.get()), 0);
    EXPECT_EQ(read_all(client), "pong");
    close(client);
    EXPECT_EQ(messages(d.get()), Msgs{"failed to bind socket to port " + std::to_string(port) +
                                      " - Address already in use"});
}

TEST(IoListen, SignalEndsTheWaitQuietly)
{
    // Children exiting interrupt the wait all the time: that is no failure.
    auto d = fresh();
    struct sigaction sa{}, old{};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, &old);
    Listener l(d.get());
    std::thread poke([self = pthread_self()] {
        std::this_thread::sleep_for(100ms);
        pthread_kill(self, SIGUSR1);
    });
    EXPECT_EQ(io_wait_for_connection(&l.in, nullptr, d.get()), 0);
    poke.join();
    sigaction(SIGUSR1, &old, nullptr);
    io_close_channels(&l.in, nullptr, d.get());
    EXPECT_EQ(messages(d.get()),
              Msgs{"io_wait_connection: select failed with Interrupted system call"});
}

TEST(Registry, TwentyEntriesClosedTogether)
{
    auto d = fresh();
    int bad = 1000;  // not open
    ASSERT_FALSE(is_open(bad));
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_ADD, &bad, nullptr), -1);
    io_register_file(nullptr, IO_REGISTER_INIT, nullptr, nullptr);

    FILE *fp = std::tmpfile();
    const int stream_fd = fileno(fp);
    ASSERT_EQ(io_register_file(d.get(), IO_REGISTER_ADD, nullptr, &fp), 0);
    std::vector<int> fds;
    for (int i = 1; i <= IO_REGISTER_MAX; i++) {
        int fd = open("/dev/null", O_RDONLY);
        fds.push_back(fd);
        const bool fits = i < IO_REGISTER_MAX;
        EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_ADD, &fd, nullptr), fits ? 0 : -1);
        EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, fits ? FD_CLOEXEC : 0);
    }
    int removed = fds.front(), unregistered = fds.back();
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_REMOVE, &removed, nullptr), 0);
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_REMOVE, &removed, nullptr), -1);
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_CLOSE, nullptr, nullptr), 0);
    EXPECT_EQ(fp, nullptr);  // the owner sees its stream gone
    EXPECT_FALSE(is_open(stream_fd));
    for (int fd : fds) EXPECT_EQ(is_open(fd), fd == removed || fd == unregistered) << fd;
    close(removed), close(unregistered);
    EXPECT_EQ(messages(d.get()),
              (Msgs{"Failed to set close-on-exec on file descriptor 1000 - Bad file descriptor",
                    "Failed to register file - array full", "Failed to remove register file"}));
}
