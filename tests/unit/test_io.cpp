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
#include <unistd.h>

#include "config.h"
#include "log.h"
#include "unit_support.h"

using namespace std::chrono_literals;
using Msgs = std::vector<std::string>;
using unit::messages;

namespace {

diagstk_ptr fresh()
{
    quilletlog = 0;
    qx_ignore_sigpipe(nullptr);
    io_register_file(nullptr, IO_REGISTER_INIT, nullptr, nullptr);  // forget earlier listeners
    return diagstk_ptr(diagstk_new());
}

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

struct Pair {  // a connected socket pair; [0] is the server's end
    int sv[2];
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0); }
    io_in_t in() const
    {
        io_in_t i{};
        i.method = XML_INPUT_METHOD_LISTEN;
        i.src.listen.listen_sock = -1;
        i.src.listen.sock = sv[0];
        return i;
    }
    io_out_t out() const
    {
        io_out_t o{};
        o.method = XML_OUTPUT_METHOD_LISTEN;
        o.dst.listen.sock = sv[0];
        return o;
    }
};

std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<std::size_t>(n));
    return s;
}

int connect_local(std::uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return s;
}

std::uint16_t port_of(const io_in_t &in)
{
    int port = 0;
    EXPECT_EQ(io_get_port(in.src.listen.listen_sock, &port), 0);
    return ntohs(static_cast<std::uint16_t>(port));
}

// A request listener on a free port, opened by the channel code.
struct Listener {
    io_in_t in{};
    io_out_t out{};
    explicit Listener(diagstk_t *d, std::uint32_t port = 0)
    {
        in.method = XML_INPUT_METHOD_LISTEN;
        in.src.listen.port = port;
        out.method = XML_OUTPUT_METHOD_LISTEN;
        open = io_open_channels(&in, &out, d);
    }
    int open;
};

void on_signal(int) {}

}  // namespace

TEST(IoRead, EndOfInputAndFailureStates)
{
    auto d = fresh();
    Pair p;
    ASSERT_EQ(write(p.sv[1], "abc", 3), 3);
    close(p.sv[1]);
    io_in_t in = p.in();
    char buf[8];
    EXPECT_EQ(io_read(&in, buf, 2, d.get()), 2);
    EXPECT_EQ(io_read(&in, buf, sizeof buf, d.get()), 1);
    EXPECT_EQ(io_read(&in, buf, sizeof buf, d.get()), 0);
    EXPECT_EQ(in.state, IO_STATE_EOF);
    close(p.sv[0]);
    EXPECT_EQ(io_read(&in, buf, sizeof buf, d.get()), -1);
    EXPECT_EQ(in.state, IO_STATE_EOF | IO_STATE_ERROR);

    char text[] = "hello";
    io_in_t file{};  // the end of a stream sets no bit
    file.method = XML_INPUT_METHOD_FILE;
    file.src.file.fp = fmemopen(text, 5, "r");
    EXPECT_EQ(io_read(&file, buf, sizeof buf, d.get()), 5);
    EXPECT_EQ(io_read(&file, buf, sizeof buf, d.get()), 0);
    EXPECT_EQ(file.state, 0u);
    std::fclose(file.src.file.fp);
    EXPECT_EQ(messages(d.get()), Msgs{"io_read: Failed to read from socket " +
                                      std::to_string(p.sv[0]) + " - Bad file descriptor"});
}

TEST(IoWrite, LengthsAndFormattedLimit)
{
    auto d = fresh();
    unit::MemOut m;
    EXPECT_EQ(io_write(&m.out, d.get(), "abc", 0), 0);
    EXPECT_EQ(io_write(&m.out, d.get(), "defgh", 2), 0);
    EXPECT_EQ(io_write(&m.out, d.get(), "", 0), 0);
    EXPECT_EQ(io_writef(&m.out, d.get(), "|%s", std::string(2000, 'w').c_str()), 0);
    EXPECT_EQ(m.text(), "abcde|" + std::string(1022, 'w'));

    Pair p;
    io_out_t out = p.out();
    EXPECT_GE(io_write(&out, d.get(), "hello", 0), 0);
    EXPECT_EQ(io_write(&out, d.get(), "", 0), 0);
    EXPECT_EQ(io_close_channels(nullptr, &out, d.get()), 0);
    EXPECT_EQ(out.dst.written, 5u);
    EXPECT_EQ(read_all(p.sv[1]), "hello");
    close(p.sv[1]);
}

TEST(IoWrite, InterruptedSendsAreCompleted)
{
    // A signal during a blocked send returns a short count once some bytes
    // have moved, EINTR before that.
    auto d = fresh();
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_signal;
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
    io_out_t out = p.out();
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

TEST(IoFailures, MessagesNameTheChannel)
{
    auto d = fresh();
    char buf[8];
    io_in_t in{};
    in.method = XML_INPUT_METHOD_FILE;
    in.src.file.fp = std::fopen("/dev/null", "w");  // not readable
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
    Pair p;
    close(p.sv[1]);
    io_out_t sock = p.out();
    const std::string big(1 << 20, 'b');  // too big to be held back in a buffer
    EXPECT_EQ(io_write(&sock, d.get(), big.data(), big.size()), -1);
    EXPECT_EQ(messages(d.get()),
              (Msgs{"io_read: Failed to read from file input file - Bad file descriptor",
                    "io_write: Failed to write to output file - Bad file descriptor",
                    "io_close_channels: Failed to close /dev/full - No space left on device",
                    "io_write: Failed to write 1048576 bytes to socket " + std::to_string(p.sv[0]) +
                        " - Broken pipe"}));
    io_close_channels(nullptr, &sock, d.get());
}

TEST(IoClose, SharedSocketIsClosedOnce)
{
    auto d = fresh();
    EXPECT_EQ(io_close_channels(nullptr, nullptr, d.get()), 0);
    Pair p;
    io_in_t in = p.in();
    io_out_t out = p.out();
    EXPECT_EQ(io_close_channels(&in, &out, d.get()), 0);
    EXPECT_EQ(in.src.listen.sock, -1);
    EXPECT_EQ(out.dst.listen.sock, -1);
    EXPECT_FALSE(is_open(p.sv[0]));
    EXPECT_EQ(io_close_channels(&in, &out, d.get()), 0);
    EXPECT_EQ(messages(d.get()), Msgs{});
    close(p.sv[1]);
}

TEST(IoClose, OutputSocketDrainsWhilePeerKeepsSending)
{
    auto d = fresh();
    Pair p;
    io_out_t out = p.out();
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

TEST(IoListen, AcceptedConnectionServesBothChannels)
{
    auto d = fresh();
    Listener l(d.get());
    ASSERT_EQ(l.open, 0);
    const int listener = l.in.src.listen.listen_sock;
    EXPECT_EQ(l.in.src.listen.sock, -1);
    EXPECT_EQ(fcntl(listener, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    const int client = connect_local(port_of(l.in));
    EXPECT_EQ(io_wait_for_connection(&l.in, nullptr, d.get()), 1);
    ASSERT_EQ(io_accept_connection(&l.in, &l.out, d.get()), 0);
    EXPECT_STREQ(l.in.src.listen.client_ip, "127.0.0.1");
    EXPECT_EQ(l.out.dst.listen.sock, l.in.src.listen.sock);
    ASSERT_EQ(write(client, "ping", 4), 4);
    char buf[8];
    EXPECT_EQ(io_read(&l.in, buf, sizeof buf, d.get()), 4);
    EXPECT_GE(io_write(&l.out, d.get(), "pong", 0), 0);
    EXPECT_EQ(io_close_channels(&l.in, &l.out, d.get()), 0);
    EXPECT_FALSE(is_open(listener));
    EXPECT_EQ(read_all(client), "pong");
    close(client);
    EXPECT_EQ(messages(d.get()), Msgs{});

    Listener first(d.get());
    const std::uint16_t port = port_of(first.in);
    const int refused = dup(2);  // the number the refused socket will get
    close(refused);
    EXPECT_EQ(Listener(d.get(), port).open, -1);
    EXPECT_TRUE(is_open(refused));  // stays open until the process ends
    close(refused);
    io_close_channels(&first.in, nullptr, d.get());
    EXPECT_EQ(messages(d.get()), Msgs{"failed to bind socket to port " + std::to_string(port) +
                                      " - Address already in use"});
}

TEST(IoListen, RequestListenerWinsOverControlListener)
{
    auto d = fresh();
    Listener l(d.get());
    io_in_t ctl{};
    io_out_t ctl_out{};
    ini_control_port = 0;
    ASSERT_EQ(io_open_control_channel(d.get(), &ctl, &ctl_out), 0);
    EXPECT_EQ(ctl_out.method, XML_OUTPUT_METHOD_LISTEN);
    const int c1 = connect_local(port_of(ctl)), c2 = connect_local(port_of(l.in));
    EXPECT_EQ(io_wait_for_connection(&l.in, &ctl, d.get()), 1);
    ASSERT_EQ(io_accept_connection(&l.in, &l.out, d.get()), 0);
    EXPECT_EQ(io_wait_for_connection(&l.in, &ctl, d.get()), 2);
    ASSERT_EQ(io_accept_connection(&ctl, &ctl_out, d.get()), 0);
    EXPECT_EQ(messages(d.get()), Msgs{});
    EXPECT_EQ(io_close_channels(&l.in, &l.out, d.get()), 0);
    EXPECT_EQ(io_close_channels(&ctl, &ctl_out, d.get()), 0);
    close(c1);
    close(c2);
}

TEST(IoListen, SignalEndsTheWaitQuietly)
{
    auto d = fresh();
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_signal;
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

// ------------------------------------------------------- open file registry

TEST(Registry, TwentyEntriesClosedTogether)
{
    auto d = fresh();
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_CLOSE, nullptr, nullptr), 0);  // empty table
    FILE *fp = std::tmpfile();
    const int stream_fd = fileno(fp);
    ASSERT_EQ(io_register_file(d.get(), IO_REGISTER_ADD, nullptr, &fp), 0);
    std::vector<int> fds;
    for (int i = 1; i <= IO_REGISTER_MAX; i++) {
        int fd = open("/dev/null", O_RDONLY);
        fds.push_back(fd);
        EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_ADD, &fd, nullptr),
                  i < IO_REGISTER_MAX ? 0 : -1);
        EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, i < IO_REGISTER_MAX ? FD_CLOEXEC : 0);
    }
    int removed = fds.front(), unregistered = fds.back();
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_REMOVE, &removed, nullptr), 0);
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_REMOVE, &removed, nullptr), -1);
    EXPECT_EQ(io_register_file(d.get(), 0, nullptr, nullptr), 0);
    EXPECT_EQ(io_register_file(d.get(), 5, nullptr, nullptr), 0);
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_CLOSE, nullptr, nullptr), 0);
    EXPECT_EQ(fp, nullptr);  // the owner sees its stream gone
    EXPECT_FALSE(is_open(stream_fd));
    for (int fd : fds) EXPECT_EQ(is_open(fd), fd == removed || fd == unregistered) << fd;
    close(removed);
    close(unregistered);
    EXPECT_EQ(messages(d.get()),
              (Msgs{"Failed to register file - array full", "Failed to remove register file"}));
}

TEST(Registry, BadDescriptorStaysRegisteredAndStopsClose)
{
    auto d = fresh();
    int good = open("/dev/null", O_RDONLY), bad = good + 100;
    ASSERT_FALSE(is_open(bad));
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_ADD, &bad, nullptr), -1);
    ASSERT_EQ(io_register_file(d.get(), IO_REGISTER_ADD, &good, nullptr), 0);
    EXPECT_EQ(io_register_file(d.get(), IO_REGISTER_CLOSE, nullptr, nullptr), -1);
    EXPECT_TRUE(is_open(good));
    close(good);
    const std::string n = std::to_string(bad);
    EXPECT_EQ(messages(d.get()), (Msgs{"Failed to set close-on-exec on file descriptor " + n +
                                           " - Bad file descriptor",
                                       "Failed to close fd " + n}));
}

TEST(Registry, TraceLineOnlyWithChannelBit)
{
    auto d = fresh();
    unit::ScratchDir dir;
    qx_init_config();
    std::snprintf(ini_logdir, sizeof ini_logdir, "%s", dir.path.c_str());
    qx_log_finish();
    qx_log_init("registry.trace");
    io_register_file(nullptr, IO_REGISTER_INIT, nullptr, nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/registry.trace"));
    quilletlog = QX_LOG_CHANNEL;
    io_register_file(nullptr, 5, nullptr, nullptr);
    qx_log_finish();
    EXPECT_EQ(unit::slurp(dir.path + "/registry.trace"),
              "Logging started\nio_register_file((nil),unknwon,(nil),(nil))\n");
    quilletlog = 0;
    qx_log_init("");
    qx_init_config();
}
