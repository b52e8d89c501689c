// TLS on the ports: requests and control documents over TLS, with and
// without client certificates; clients the handshake refuses (plain, wrong
// CA, expired, none when one is required, one that stalls) end only their
// own child; a client that leaves mid-answer stops the work; start-up and
// the control port refuse TLS settings the server cannot use.

#include <thread>

#include "e2e.h"
#include "tls_support.h"

namespace {

class Tls : public NetTest {
protected:
    static ProcResult client(const std::vector<std::string> &args, const std::string &input = "")
    {
        return Child(command(args, QUILLET_CLIENT_BINARY), with_input(input, 20s)).finish();
    }
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
    const TlsCerts &certs = tls_certs();
    const std::string STATS = "<Request><Statistics/></Request>";
};

// quilletclient checks the server's name against the host it was given (an
// address or a DNS name) and its chain against --ca or the system's store;
// --insecure checks nothing. Requests sent one after the other on one
// connection are answered in order; the control port speaks TLS too, and
// a plain control client gets nothing from it.
TEST_F(Tls, RequestsAndControlDocumentsOverTls)
{
    ASSERT_TRUE(start(tls_settings()));
    const std::string address = "127.0.0.1:" + std::to_string(port);
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        const ProcResult r =
            client({"--tls", "--ca", certs.ca, host + ":" + std::to_string(port)}, select(1));
        EXPECT_EQ(r.status, 0) << host << ": " << r.err;
        EXPECT_EQ(result_of(r.out), one_value("v", "1")) << host;
    }
    const ProcResult untrusted = client({"--tls", address}, select(2));
    EXPECT_EQ(untrusted.status, 1);
    EXPECT_EQ(untrusted.err, "quilletclient: TLS handshake with 127.0.0.1: certificate verify "
                             "failed (unable to get local issuer certificate)\n");
    const ProcResult insecure = client({"--tls", "--insecure", address}, select(3));
    EXPECT_EQ(result_of(insecure.out), one_value("v", "3")) << insecure.err;

    TlsConn c(port, certs.ca);
    ASSERT_TRUE(c.ok()) << c.error();
    ASSERT_TRUE(c.send(select(4) + select(5) + "\n" + select(6)));
    const std::string three = c.read_until(one_value("v", "6"));
    EXPECT_EQ(occurrences(three, "<?xml"), 3u);
    for (const char *v : {"4", "5", "6"}) EXPECT_TRUE(holds(three, {one_value("v", v)}));
    EXPECT_TRUE(tls_answers(c, 7));

    const std::string cport = "127.0.0.1:" + std::to_string(control_port);
    const ProcResult stats = client({"--control", "--tls", "--ca", certs.ca, cport, "--stats"});
    EXPECT_EQ(stats.status, 0) << stats.err;
    EXPECT_TRUE(holds(body_of(stats.out), {"<Total>5</Total>"}));
    EXPECT_EQ(control(control_port, STATS), "");
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r.err, {"TLS handshake with 127.0.0.1 failed - "}));
}

// Whatever goes wrong in a handshake ends that connection only, with an
// event naming the client and the reason, and nothing sent in clear: a
// plain client, a client certificate missing, expired or from another CA.
TEST_F(Tls, RefusedHandshakesEndOnlyTheirConnection)
{
    ASSERT_TRUE(start(tls_settings("<TlsClientCA>" + certs.ca + "</TlsClientCA>")));
    Fd plain = connect_port(port);
    ASSERT_TRUE(send_all(plain.get(), select(1)));
    const std::string refused = read_until_eof(plain.get());
    EXPECT_EQ(refused.find("<?xml"), std::string::npos) << refused;

    TlsConn alice(port, certs.ca, certs.alice_cert, certs.alice_key);
    EXPECT_TRUE(tls_answers(alice, 2));
    TlsConn bob(port, certs.ca, certs.bob_cert, certs.bob_key);
    EXPECT_TRUE(tls_answers(bob, 3));
    for (const auto &[cert, key] : {std::pair{std::string(), std::string()},
                                    {certs.expired_cert, certs.expired_key},
                                    {certs.stranger_cert, certs.stranger_key}}) {
        SCOPED_TRACE(cert);
        // TLS 1.3 ends the client's handshake before the server has judged
        // its certificate: the refusal comes with the first read.
        TlsConn c(port, certs.ca, cert, key);
        EXPECT_EQ(c.ask(select(4)), "");
        EXPECT_FALSE(c.error().empty());
    }
    const ProcResult cli = client({"--tls", "--ca", certs.ca, "--cert", certs.alice_cert, "--key",
                                   certs.alice_key, "localhost:" + std::to_string(port)},
                                  select(5));
    EXPECT_EQ(result_of(cli.out), one_value("v", "5")) << cli.err;
    EXPECT_TRUE(tls_answers(alice, 6));

    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r.err, {"TLS handshake with 127.0.0.1 failed - wrong version number\n",
                              "TLS handshake with 127.0.0.1 failed - peer did not return a "
                              "certificate\n",
                              "TLS handshake with 127.0.0.1 failed - certificate verify failed "
                              "(certificate has expired)\n",
                              "TLS handshake with 127.0.0.1 failed - certificate verify failed "
                              "(unable to get local issuer certificate)\n"}))
        << r.err;
}

}  // namespace
