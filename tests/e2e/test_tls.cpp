// TLS on the ports, with and without client certificates, whose
// identities data sources and the control port admit or refuse.

#include <optional>
#include <thread>

#include "e2e.h"
#include "tls_support.h"

namespace {

class Tls : public NetTest {
protected:
    std::string select(int v) const
    {
        return sql("SELECT " + std::to_string(v) + " AS v FROM t WHERE n = 1");
    }
    ::testing::AssertionResult tls_answers(TlsConn &c, int v) const
    {
        if (!c.ok()) return ::testing::AssertionFailure() << "handshake: " << c.error();
        const std::string got = result_of(c.ask(select(v)));
        if (got == one_value("v", std::to_string(v))) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "SELECT " << v << " answered:\n" << got << c.error();
    }
    // quilletclient trusting the private CA, as `user` unless empty, then `more`.
    static ProcResult tls_client(const std::string &user, std::vector<std::string> more,
                                 const std::string &input = "")
    {
        std::vector<std::string> args{"--tls", "--ca", tls_file("ca")};
        if (!user.empty()) args.insert(args.end(), {"--cert", tls_file(user), "--key", tls_file(user, ".key")});
        args.insert(args.end(), more.begin(), more.end());
        return run_client(args, input);
    }
    std::string cport() const { return "127.0.0.1:" + std::to_string(control_port); }
};

// quilletclient checks the server's name and chain (--insecure nothing);
// requests sent together are answered in order; a client that leaves stops
// the work. A configuration sent to the control port changes the context
// for later connections, or is refused whole.
TEST_F(Tls, RequestsControlDocumentsAndNewContexts)
{
    logs_dir();
    ASSERT_TRUE(start(tls_settings("<Logging>0x40</Logging>")));
    const std::string address = "127.0.0.1:" + std::to_string(port);
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        const ProcResult r = tls_client("", {host + ":" + std::to_string(port)}, select(1));
        EXPECT_EQ(r.status, 0) << host << ": " << r.err;
        EXPECT_EQ(result_of(r.out), one_value("v", "1")) << host;
    }
    const ProcResult untrusted = run_client({"--tls", address}, select(2));
    EXPECT_EQ(untrusted.status, 1);
    EXPECT_EQ(untrusted.err, "quilletclient: TLS handshake with 127.0.0.1: certificate verify "
                             "failed (unable to get local issuer certificate)\n");
    const ProcResult insecure = run_client({"--tls", "--insecure", address}, select(3));
    EXPECT_EQ(result_of(insecure.out), one_value("v", "3")) << insecure.err;

    // The first request fills the server's first 2048-byte read exactly:
    // the others are then already decrypted inside the session, with
    // nothing left on the socket to wake a wait for input.
    std::string first = select(4);
    first.insert(first.rfind("</Request>"), 2048 - first.size(), ' ');
    TlsConn c(port);
    ASSERT_TRUE(c.send(first + select(5) + "\n" + select(6))) << c.error();
    const std::string three = c.read_until(one_value("v", "6"));
    EXPECT_EQ(occurrences(three, "<?xml"), 3u);
    for (const char *v : {"4", "5", "6"}) EXPECT_TRUE(holds(three, {one_value("v", v)}));
    EXPECT_TRUE(tls_answers(c, 7));
    const ProcResult stats = tls_client("", {"--control", cport(), "--stats"});
    EXPECT_EQ(stats.status, 0) << stats.err;
    EXPECT_TRUE(holds(body_of(stats.out), {"<Total>5</Total>"}));
    EXPECT_EQ(control(control_port, STATISTICS), "");
    c.close();

    std::optional<TlsConn> big(std::in_place, port);
    ASSERT_TRUE(big->send(rows(2000000))) << big->error();
    ASSERT_FALSE(big->read_some().empty());
    pid_t answering = -1;  // once the child of `c` has gone
    ASSERT_TRUE(eventually([&] { return (answering = only_child()) > 0; }, 2s));
    big.reset();  // no close_notify, unread data pending: the server sees a reset
    EXPECT_TRUE(eventually([&] { return has_ended(answering); }, 2s)) << "works for no one";
    // Its close_notify arrives as bytes before the end of the connection.
    TlsConn quiet(port);
    ASSERT_TRUE(quiet.send(sql("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                               "SELECT count(*) FROM c")));
    pid_t counting = -1;
    ASSERT_TRUE(eventually([&] { return (counting = only_child()) > 0 && counting != answering; }, 2s));
    std::this_thread::sleep_for(300ms);  // the statement runs
    quiet.close();
    EXPECT_TRUE(eventually([&] { return has_ended(counting); }, 3s)) << "counts for no one";
    EXPECT_TRUE(eventually(
        [&] { return holds(server_trace(), {child_exit(answering), child_exit(counting)}); }, 2s));

    // With TlsClientCA the control port asks for a certificate too.
    const std::string doc = work.file("config.xml"), missing = work.file("missing.pem");
    auto set_config = [&](const std::string &settings, const std::string &user = "") {
        write_file(doc, config_doc(settings_with_ports(settings)));
        return tls_client(user, {"--control", cport(), "--set-config", doc});
    };
    const ProcResult refused = set_config(tls_settings("<TlsClientCA>" + missing + "</TlsClientCA>"));
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(body_of(refused.out),
              error_body("Cannot read TlsClientCA " + missing + " - No such file or directory"));
    TlsConn anyone(port);
    EXPECT_TRUE(tls_answers(anyone, 1));
    const ProcResult changed = set_config(tls_settings("<TlsClientCA>" + tls_file("ca") + "</TlsClientCA>"));
    EXPECT_EQ(changed.status, 0) << changed.err;
    EXPECT_TRUE(tls_answers(anyone, 2)) << "a connection keeps the context it was accepted with";
    TlsConn nobody(port), alice(port, "alice");
    EXPECT_EQ(nobody.ask(select(3)), "");
    EXPECT_TRUE(tls_answers(alice, 4));
    EXPECT_TRUE(holds(read_file(CONFIG_XML), {"<Tls>On</Tls>", "<TlsClientCA>" + tls_file("ca")}));
    EXPECT_EQ(set_config("").status, 1);
    const ProcResult off = set_config("", "alice");
    EXPECT_EQ(off.status, 0) << off.err;
    EXPECT_TRUE(serves(5));
    EXPECT_TRUE(stops_saying({"TLS handshake with 127.0.0.1 failed - "}));
}

// A stalled handshake holds only its own child, for RequestTimeout.
TEST_F(Tls, StalledHandshakeEndsAtRequestTimeout)
{
    ASSERT_TRUE(start(tls_settings("<RequestTimeout>1</RequestTimeout>")));
    // Silent from the start, and silent after the first bytes of a hello.
    for (const std::string &sent : {std::string(), std::string("\x16\x03\x01\x00\xff", 5)}) {
        Fd stalled = connect_port(port);
        ASSERT_TRUE(send_all(stalled.get(), sent));
        const auto began = std::chrono::steady_clock::now();
        TlsConn other(port);
        EXPECT_TRUE(tls_answers(other, 1));
        EXPECT_LT(std::chrono::steady_clock::now() - began, 1s) << "the loop waited for the handshake";
        EXPECT_EQ(read_until_eof(stalled.get()), "");
        const auto took = std::chrono::steady_clock::now() - began;
        EXPECT_GT(took, 900ms);
        EXPECT_LT(took, 5s);
    }
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(occurrences(r.err, "TLS handshake with 127.0.0.1 failed - no handshake within 1 seconds\n"),
              2u)
        << r.err;

    ASSERT_TRUE(start(tls_settings("<RequestTimeout>60</RequestTimeout>")));
    Fd stalled = connect_port(port);
    ASSERT_TRUE(eventually([&] { return only_child() > 0; }, 2s));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(stop(), CLEAN_EXIT);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
}

// Unusable TLS settings stop start-up with status 1 and one message;
// tcpip_listen serves over TLS with usable ones.
TEST_F(Tls, SettingsAtStartUpAndTcpipListen)
{
    const std::string junk = work.file("junk.pem"), missing = work.file("missing.pem");
    write_file(junk, "not a certificate\n");
    const std::string on = "<Tls>On</Tls><TlsCertificate>" + tls_file("server") + "</TlsCertificate>";
    const std::pair<std::string, std::string> cases[] = {
        {"<Tls>On</Tls>", "Tls is On but TlsCertificate is empty"},
        {on, "Tls is On but TlsKey is empty"},
        {on + "<TlsKey>" + missing + "</TlsKey>",
         "Cannot read TlsKey " + missing + " - No such file or directory"},
        {"<Tls>On</Tls><TlsCertificate>" + junk + "</TlsCertificate><TlsKey>" +
             tls_file("server", ".key") + "</TlsKey>",
         "Cannot load TlsCertificate " + junk + " - no start line"},
        {on + "<TlsKey>" + tls_file("alice", ".key") + "</TlsKey>",
         "TlsKey " + tls_file("alice", ".key") + " does not match TlsCertificate " + tls_file("server")},
        {tls_settings("<TlsClientCA>" + junk + "</TlsClientCA>"),
         "Cannot load TlsClientCA " + junk + " - no start line"},
        {"<Tls>Yes</Tls>", "attr_tls: \"Yes\" is invalid Tls value - On or Off expected"},
    };
    for (const auto &[settings, message] : cases) {
        SCOPED_TRACE(settings);
        configure(settings);
        for (const auto &args : {std::vector<std::string>{"standalone"},
                                 std::vector<std::string>{"tcpip_listen", std::to_string(port)}}) {
            const ProcResult r = run_server(args);
            EXPECT_EQ(r.status, 1) << args[0];
            EXPECT_EQ(event_texts(r.err), message + "\n") << args[0];
        }
    }
    configure(tls_settings());
    Child child(command({"tcpip_listen", std::to_string(port)}), {});
    ASSERT_TRUE(eventually([&] { return listening(port); }, NET_LIMIT));
    const ProcResult r = tls_client("", {"localhost:" + std::to_string(port)}, select(6));
    EXPECT_EQ(result_of(r.out), one_value("v", "6")) << r.err;
    EXPECT_EQ(child.finish(), CLEAN_EXIT);
}

// Users admits the identities it names (common, DNS or email name);
// others are refused by name, "none" without a client CA. A failed
// handshake ends that connection only, with an event naming the reason.
TEST_F(Tls, ClientCertificatesAndUsers)
{
    const std::string sources =
        "<DataSource Name=\"db\" Users=\"alice , reports.example.com\">" + db.conn() +
        "</DataSource><DataSource Name=\"mail\" Users=\"carol@example.com\">" + db.conn() +
        "</DataSource><DataSource Name=\"open\">" + db.conn() + "</DataSource>";
    auto from = [](const std::string &source) {
        return "<Request><DataSource>" + source +
               "</DataSource><Sql>SELECT n AS v FROM t WHERE n = 2</Sql></Request>";
    };
    const std::string two = one_value("v", "2");
    auto denied = [](const std::string &user, const std::string &source) {
        return error_body("User " + user + " denied access to data source \"" + source + "\"");
    };
    ASSERT_TRUE(start(tls_settings("<TlsClientCA>" + tls_file("ca") + "</TlsClientCA>" + sources)));
    const struct { const char *client, *source; std::string want; } cases[] = {
        {"alice", "db", two},
        {"carol", "db", two},    // DNS alternative name
        {"carol", "mail", two},  // email alternative name
        {"bob", "db", denied("bob", "db")},
        {"alice", "mail", denied("alice", "mail")},
        {"bob", "open", two},
    };
    for (const auto &c : cases) {
        TlsConn conn(port, c.client);
        EXPECT_EQ(result_of(conn.ask(from(c.source))), c.want) << c.client << " " << c.source << conn.error();
    }
    Fd plain = connect_port(port);
    ASSERT_TRUE(send_all(plain.get(), select(1)));
    const std::string in_clear = read_until_eof(plain.get());
    EXPECT_EQ(in_clear.find("<?xml"), std::string::npos) << in_clear;
    TlsConn alice(port, "alice");
    EXPECT_TRUE(tls_answers(alice, 2));
    for (const char *client : {"", "expired", "stranger"}) {
        // TLS 1.3: the refusal of a certificate comes with the first read.
        TlsConn c(port, client);
        EXPECT_EQ(c.ask(select(4)), "") << client;
        EXPECT_FALSE(c.error().empty()) << client;
    }
    const ProcResult cli = tls_client("alice", {"localhost:" + std::to_string(port)}, select(5));
    EXPECT_EQ(result_of(cli.out), one_value("v", "5")) << cli.err;
    EXPECT_TRUE(tls_answers(alice, 6));
    const ProcResult stats = tls_client("alice", {"--control", cport(), "--stats"});
    EXPECT_TRUE(holds(body_of(stats.out),
                      {"<Client Name=\"unknown\" Identities=\"alice,carol,bob\">127.0.0.1</Client>"}))
        << stats.err;
    const std::string failed = "TLS handshake with 127.0.0.1 failed - ",
                      rule = "due to access control rule\n";
    EXPECT_TRUE(stops_saying({"Client (127.0.0.1 (bob)) denied access to DSN 'db' " + rule,
                              "Client (127.0.0.1 (alice)) denied access to DSN 'mail' " + rule,
                              failed + "wrong version number\n",
                              failed + "peer did not return a certificate\n",
                              failed + "certificate verify failed (certificate has expired)\n",
                              failed + "certificate verify failed (unable to get local issuer "
                                       "certificate)\n"}));

    ASSERT_TRUE(start(tls_settings(sources)));
    TlsConn anonymous(port), anonymous_too(port);
    EXPECT_EQ(result_of(anonymous.ask(from("db"))), denied("none", "db"));
    EXPECT_EQ(result_of(anonymous_too.ask(from("open"))), two);
    EXPECT_TRUE(stops_saying({"Client (127.0.0.1) denied access to DSN 'db' " + rule}));
}

// ControlUsers: a control client over TCP must present a listed identity
// (the control socket is not asked); a change applies at once.
TEST_F(Tls, ControlUsersGuardTheControlPort)
{
    const std::string fixed = "<TlsClientCA>" + tls_file("ca") +
                              "</TlsClientCA><ControlSocket>control.sock</ControlSocket>";
    ASSERT_TRUE(start(tls_settings(fixed + "<ControlUsers>alice</ControlUsers>")));
    const auto as = [&](const std::string &user, const std::string &what, const std::string &file = "") {
        std::vector<std::string> args{"--control", cport(), what};
        if (!file.empty()) args.push_back(file);
        return tls_client(user, args);
    };
    ProcResult bob = as("bob", "--stats");
    EXPECT_NE(bob.status, 0);
    EXPECT_EQ(body_of(bob.out), error_body("Access denied to user bob due to ControlUsers"));
    const ProcResult alice = as("alice", "--stats");
    EXPECT_EQ(alice.status, 0) << alice.err;
    EXPECT_TRUE(holds(read_file(CONFIG_XML), {"<ControlUsers>alice</ControlUsers>"}));
    const ProcResult local = run_client({"--control", INSTALL_DIR + "/control.sock", "--stats"});
    EXPECT_EQ(local.status, 0) << local.err;

    const std::string doc = work.file("config.xml");
    write_file(doc, config_doc(settings_with_ports(tls_settings(fixed + "<ControlUsers> bob,carol </ControlUsers>"))));
    const ProcResult changed = as("alice", "--set-config", doc);
    EXPECT_EQ(changed.status, 0) << changed.err;
    EXPECT_EQ(body_of(as("alice", "--stats").out),
              error_body("Access denied to user alice due to ControlUsers"));
    bob = as("bob", "--stats");
    EXPECT_EQ(bob.status, 0) << bob.err;
    EXPECT_TRUE(holds(read_file(CONFIG_XML), {"<ControlUsers> bob,carol </ControlUsers>"}));
    // The second refusal repeats the first event: it is counted, not written.
    EXPECT_TRUE(stops_saying({"Client (127.0.0.1 (bob)) denied access - due to ControlUsers\n"}));
}

}  // namespace
