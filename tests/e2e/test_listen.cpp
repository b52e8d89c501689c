// Where the standalone server listens, its control port and control socket.

#include <sys/stat.h>
#include <sys/un.h>

#include "e2e.h"

namespace {

class Listen : public NetTest {};

// A Unix-domain socket bound to `path`.
Fd unix_socket(const std::string &path)
{
    Fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un a{.sun_family = AF_UNIX, .sun_path = {}};
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << path;
    return fd;
}

// On "::" one listener takes both families: an IPv6 client is held,
// listed and matched by its own address, a mapped IPv4 one as 127.0.0.1.
TEST_F(Listen, Ipv6ClientsOnEveryInterface)
{
    ASSERT_TRUE(start("<ListenAddress>::</ListenAddress><MaxClientConnect>1</MaxClientConnect>"));
    Fd six = connect_ip("::1", port);
    EXPECT_TRUE(answers(six.get(), 1));
    EXPECT_EQ(body_of(read_until_eof(connect_ip("::1", port).get())),
              error_body("Maximum connections from client ::1 already in use"));
    Fd four = connect_ip("127.0.0.1", port);
    EXPECT_TRUE(answers(four.get(), 2));
    EXPECT_TRUE(holds(body_of(control(control_port, STATISTICS)),
                      {"<Total>3</Total>\n    <Refused>0</Refused>",
                       "<Client Name=\"unknown\">::1</Client>\n",
                       "<Client Name=\"unknown\">127.0.0.1</Client>\n"}));
    six.reset(), four.reset();
    // Its slot is free again once the server has reaped its child.
    EXPECT_TRUE(eventually([&] { return static_cast<bool>(answers(connect_ip("::1", port).get(), 4)); }, 5s));
    EXPECT_EQ(stop().status, 0);

    ASSERT_TRUE(start("<ListenAddress>::</ListenAddress>"
                      "<Client Allow=\"No\">::1</Client><Client Allow=\"No\">10.0.0.0/8</Client>"));
    EXPECT_EQ(body_of(ask(connect_ip("::1", port).get(), sql("SELECT 1"))), ACL_DENIED);
    EXPECT_TRUE(answers(connect_ip("127.0.0.1", port).get(), 3));
    EXPECT_TRUE(stops_saying({"Client (::1) denied access - due to access control rule\n"}));
}

// A listener bound to 127.0.0.1 is on no other address; no control port
// with ControlListenAddress none. The control socket lies in the
// installation directory, mode 0660, whatever ControlClient says; SIGTERM
// removes it, and one left by a server that died is replaced.
TEST_F(Listen, ChosenAddressAndControlSocket)
{
    const std::string path = INSTALL_DIR + "/control.sock";
    unix_socket(path);  // what a killed server leaves: a socket file nobody listens on
    ASSERT_TRUE(start("<ListenAddress>127.0.0.1</ListenAddress>"
                      "<ControlListenAddress>none</ControlListenAddress>"
                      "<ControlSocket>control.sock</ControlSocket>"
                      "<ControlClient Allow=\"No\">0.0.0.0/0.0.0.0</ControlClient>"));
    int error = 0;
    EXPECT_LT(connect_ip("127.0.0.2", port, &error).get(), 0);
    EXPECT_EQ(error, ECONNREFUSED);
    EXPECT_LT(connect_ip("::1", port).get(), 0);
    EXPECT_EQ(control(control_port, STATISTICS), "refused");
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);

    EXPECT_TRUE(serves(1));
    const ProcResult stats = run_client({"--control", path, "--stats"});
    EXPECT_EQ(stats.status, 0) << stats.err;
    EXPECT_TRUE(holds(body_of(stats.out),
                      {"<Total>1</Total>", "<Control>\n    <Connections>\n      <Total>1</Total>"}));
    const ProcResult config = run_client({"--control", path, "--config"});
    EXPECT_EQ(config.status, 0) << config.err;
    EXPECT_TRUE(holds(config.out, {"    <ControlSocket>control.sock</ControlSocket>\n"}));
    EXPECT_EQ(stop(), CLEAN_EXIT);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
}

// Control socket paths refused at start, leaving what is there untouched.
TEST_F(Listen, ControlSocketPathsRefusedAtStart)
{
    const std::string file = work.file("config-backup"), live = work.file("live.sock");
    write_file(file, "precious");
    const Fd served = unix_socket(live);
    ASSERT_EQ(listen(served.get(), 1), 0);
    const std::string long_path = "/tmp/" + std::string(104, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {file, "ControlSocket " + file +
                   " exists and is not a socket - not replacing it; remove it or choose another path"},
        {live, "ControlSocket " + live + " is in use by another server - stop it or choose another path"},
        {long_path,
         "ControlSocket " + long_path + " is too long (at most 107 bytes) - choose a shorter path"},
    };
    for (const auto &[path, message] : cases) {
        SCOPED_TRACE(path);
        configure("<ControlSocket>" + path + "</ControlSocket>");
        const ProcResult r = run_server({"standalone"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(event_texts(r.err), message + "\n");
    }
    EXPECT_EQ(read_file(file), "precious");
    EXPECT_TRUE(fs::is_socket(live));
}

// The control port's own access list, and no control port at all.
TEST_F(Listen, AccessListsAndDisabledControlInterface)
{
    ASSERT_TRUE(start("<ControlClient Allow=\"No\">127.0.0.0/255.0.0.0</ControlClient>"));
    EXPECT_EQ(body_of(control(control_port, STATISTICS)),
              error_body("Access denied to client due to Control IP-based ACL"));
    EXPECT_TRUE(serves(4));
    EXPECT_EQ(stop(), CLEAN_EXIT);

    ASSERT_TRUE(start("<Flags><DisableControlInterface/></Flags>"));
    EXPECT_TRUE(serves(5));
    EXPECT_EQ(control(control_port, "<Request><Configuration/></Request>"), "refused");
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

// A Client list sent on the control port applies from the next idle turn.
TEST_F(Listen, ControlPortReconfiguresAndReports)
{
    ASSERT_TRUE(start());
    EXPECT_TRUE(serves(1));
    const std::string deny = "<Client Allow=\"No\">127.0.0.1</Client>";
    EXPECT_EQ(body_of(control(control_port, config_doc(settings_with_ports(deny)))), CONTROL_DONE);
    // The file is written again after the answer has gone out.
    const auto config_saved = [&] {
        return read_file(CONFIG_XML).find("    " + deny + "\n") != std::string::npos;
    };
    EXPECT_TRUE(eventually(config_saved, 2s));
    // Up to 5 s for a connection before the idle turn, restarted by any.
    std::this_thread::sleep_for(6500ms);
    EXPECT_EQ(body_of(read_until_eof(connect_port(port).get())), ACL_DENIED);

    configure("");
    EXPECT_TRUE(holds(body_of(control(control_port, STATISTICS)),
                      {"<Total>2</Total>\n    <Refused>1</Refused>\n    <Active>0</Active>\n    "
                       "<MaxConcurrent>1</MaxConcurrent>\n    <ChildrenCreated>1</ChildrenCreated>",
                       "<Client Name=\"unknown\">127.0.0.1</Client>\n",
                       "  <Control>\n    <Connections>\n      <Total>2</Total>\n"}));
    EXPECT_TRUE(eventually(config_saved, 2s)) << read_file(CONFIG_XML);
    EXPECT_EQ(stop().status, 0);
}

}  // namespace
