// inetd and tcpip_listen: requests and control documents over sockets.

#include <cstdio>
#include <sys/socket.h>

#include "server_test.h"
#include "socket.h"

namespace {

constexpr std::chrono::milliseconds IO_LIMIT{8000};

// Runs `inetd ...` with a socket as standard input and output, sends
// `request` (then shuts the sending side when `half_close`) and collects
// everything the server sends back until it closes.
ProcResult inetd_exchange(const std::vector<std::string> &args, std::string_view request,
                          bool half_close, std::string *answer)
{
    Fd mine, theirs;
    make_socket_pair(mine, theirs);
    ProcOptions opts;
    opts.socket = theirs.release();
    Child child(server_argv(args), opts);
    EXPECT_TRUE(send_all(mine.get(), request));
    if (half_close) shutdown(mine.get(), SHUT_WR);
    *answer = read_until_eof(mine.get(), IO_LIMIT);
    return child.finish();
}

const char *const FETCHED_CONFIGURATION =
    "<Configuration>\n"
    "    <Port>9001</Port>\n"
    "    <ControlPort>8896</ControlPort>\n"
    "    <MaxConcurrentConnect>3</MaxConcurrentConnect>\n"
    "    <MaxClientConnect>0</MaxClientConnect>\n"
    "    <Logging>0x0</Logging>\n"
    "    <LogDir>/var/tmp</LogDir>\n"
    "    <Flags>\n"
    "        <MultiProcess/>\n"
    "        <DisableControlInterface/>\n"
    "        <IgnoreChildrenOnClosedown/>\n"
    "        <KillChildrenOnClosedown/>\n"
    "        <NoReverseLookup/>\n"
    "    </Flags>\n"
    "    <Client Allow=\"No\">10.0.0.0/255.0.0.0</Client>\n"
    "    <Client Allow=\"Yes\">127.0.0.1</Client>\n"
    "</Configuration>\n";

const char *const APPLIED_CONFIGURATION =
    "<Configuration>\n"
    "    <Port>9100</Port>\n"
    "    <ControlPort>8896</ControlPort>\n"
    "    <MaxConcurrentConnect>0</MaxConcurrentConnect>\n"
    "    <MaxClientConnect>0</MaxClientConnect>\n"
    "    <Logging>0x0</Logging>\n"
    "    <LogDir>/tmp</LogDir>\n"
    "    <Flags>\n"
    "        <MultiProcess/>\n"
    "        <DisableControlInterface/>\n"
    "        <IgnoreChildrenOnClosedown/>\n"
    "        <KillChildrenOnClosedown/>\n"
    "        <ReverseLookup/>\n"
    "    </Flags>\n"
    "</Configuration>\n";

struct InetdCase {
    const char *what;
    std::vector<std::string> args;
    std::string request;
    bool half_close;
    int status;
    std::string body;         // the answer after its prolog; empty: no answer at all
    const char *saved = "";  // config.xml after its prolog, when checked
};

class Inetd : public ServerTest {};

TEST_F(Inetd, AnswersOverTheInheritedSocket)
{
    const InetdCase cases[] = {
        {"malformed request", {"inetd"}, "<Request><Sql></Request>", false, 1,
         error_body("error on line 1 of input request, mismatched tag")},
        {"peer closes without a request", {"inetd"}, "", true, 0, ""},
        {"configuration fetch", {"inetd", "x"}, "<Request><Configuration/></Request>", false, 0,
         FETCHED_CONFIGURATION},
        // Flags bits not named keep their value; MultiProcess is always on.
        {"configuration change", {"inetd", "control"},
         "<Configuration><Port>9100</Port><Flags><ReverseLookup/></Flags></Configuration>", true,
         0, "<Result Status=\"00000\">\n</Result>\n", APPLIED_CONFIGURATION},
        {"unknown control request", {"inetd", "x"}, "<Request><Reboot/></Request>", false, 0,
         error_body("handle_control_request: Request not recognised")},
    };
    for (const InetdCase &c : cases) {
        SCOPED_TRACE(c.what);
        InstallDir::write_config(config_doc(
            "<Port>9001</Port><MaxConcurrentConnect>3</MaxConcurrentConnect><LogDir>/var/tmp"
            "</LogDir><Flags><MultiThreaded/><DisableControlInterface/><KillChildrenOnClosedown/>"
            "</Flags><Client Allow=\"no\"> 10.0.0.0/255.0.0.0 </Client><Client>127.0.0.1</Client>"));
        std::string answer;
        const ProcResult r = inetd_exchange(c.args, c.request, c.half_close, &answer);
        EXPECT_EQ(r.status, c.status);
        EXPECT_FALSE(r.timed_out);
        // A control connection ends with a read of the closed socket, whose
        // failed answer may be reported on standard error.
        if (c.args.size() == 1) {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(c.body.empty() ? answer : body_of(answer), c.body);
        if (*c.saved != '\0') {
            EXPECT_EQ(body_of(read_file(InstallDir::config_path())), c.saved);
        }
    }
}

// The port as a decimal argument, as a hexadecimal one, and from the Port
// setting when no argument is given.
class TcpipListen : public ServerTest {};

TEST_F(TcpipListen, ServesOneConnectionAndEnds)
{
    for (const char *form : {"decimal", "hex", "setting"}) {
        SCOPED_TRACE(form);
        const int port = free_port();
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", port);
        std::vector<std::string> args{"tcpip_listen"};
        if (form == std::string("decimal")) args.push_back(std::to_string(port));
        if (form == std::string("hex")) args.push_back(hex);
        InstallDir::write_config(
            config_doc(quiet_settings() + "<Port>" + std::to_string(port) + "</Port>"));

        Child child(server_argv(args), {});
        Fd conn = connect_loopback(port, IO_LIMIT);
        ASSERT_GE(conn.get(), 0);
        ASSERT_TRUE(send_all(conn.get(), "<Request>\n<Sql>\n</Request>"));
        EXPECT_EQ(body_of(read_until_eof(conn.get(), IO_LIMIT)),
                  error_body("error on line 3 of input request, mismatched tag"));
        EXPECT_EQ(child.finish(), (ProcResult{1, false, "", ""}));
        EXPECT_LT(connect_loopback(port, {}).get(), 0) << "still listening";
    }
}

}  // namespace
