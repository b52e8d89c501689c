// Clients that are refused, slow, silent or gone: a connection's faults end
// with it.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <thread>

#include "e2e.h"

namespace {

const std::string STATISTICS = "<Request><Statistics/></Request>";

// A connection to 127.0.0.1:port from another loopback address.
Fd connect_from(const char *source, int port)
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, source, &a.sin_addr);
    const timeval tv{static_cast<time_t>(NET_LIMIT.count()), 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return Fd();
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return Fd();
    return fd;
}

// Closes with a reset instead of an orderly end.
void abort_connection(Fd fd)
{
    const linger now{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

class Limits : public NetTest {};

// A refused client that resets its connection before its refusal is sent
// makes that send fail. The failure ends with that connection: the next
// client of the same port is answered, on the request and the control port.
TEST_F(Limits, AbortedRefusalLeavesThePortsServing)
{
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.2</Client>"
                      "<ControlClient Allow=\"No\">127.0.0.2</ControlClient>"));
    for (const int target : {port, control_port}) {
        SCOPED_TRACE(target == port ? "request port" : "control port");
        // The server reads this control document while the refused client
        // comes and goes, so the refusal meets a connection already reset.
        Fd busy = connect_port(control_port);
        std::this_thread::sleep_for(300ms);
        abort_connection(connect_from("127.0.0.2", target));
        ASSERT_TRUE(send_all(busy.get(), STATISTICS));
        shutdown(busy.get(), SHUT_WR);
        EXPECT_TRUE(holds(read_until_eof(busy.get()), {"<UpTime>"}));
        if (target == port)
            EXPECT_TRUE(serves(5));
        else
            EXPECT_TRUE(holds(control(control_port, STATISTICS), {"<UpTime>"}));
    }
    EXPECT_EQ(stop().status, 0);
}

}  // namespace
