// TLS settings: Tls read as On or Off, written back only when on; in a
// process that serves TLS a document whose TLS settings cannot make a
// context is refused whole, while the other methods take it and stay
// plain; a connection that expects TLS gets nothing in clear text.

#include <sys/socket.h>
#include <unistd.h>

#include "config.h"
#include "tls.h"
#include "unit_support.h"

namespace {

int apply_settings(diagstk_t *d, const std::string &settings)
{
    return apply_config(d, "<Configuration>" + settings + "</Configuration>");
}

std::string written()
{
    MemOut out;
    EXPECT_EQ(qx_return_config(nullptr, &out.out), 0);
    return out.text();
}

class TlsSettings : public ::testing::Test {
protected:
    void TearDown() override
    {
        qx_tls_stop();
        ASSERT_EQ(apply_settings(nullptr, ""), 0);
    }
    diagstk_ptr d{diagstk_new()};
};

}  // namespace

TEST_F(TlsSettings, OnOrOffInAnyCaseAndNothingElse)
{
    for (const auto &[value, stored] : {std::pair{"ON", "On"}, {" off ", "Off"}, {"on", "On"}}) {
        SCOPED_TRACE(value);
        ASSERT_EQ(apply_settings(nullptr, std::string("<Tls>") + value + "</Tls>"), 0);
        EXPECT_STREQ(ini_tls, stored);
        EXPECT_EQ(written().find("<Tls>On</Tls>") != std::string::npos, std::string(stored) == "On");
    }
    for (const std::string value : {"", "Yes", "1", "On,Off"}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(apply_settings(d.get(), "<Port>1234</Port><Tls>" + value + "</Tls>"), -1);
        EXPECT_EQ(messages(d.get()), Msgs{"attr_tls: \"" + value +
                                          "\" is invalid Tls value - On or Off expected"});
        diagstk_remove(d.get(), 0);
        EXPECT_STREQ(ini_tls, "On");  // as the last accepted document had it
        EXPECT_NE(ini_port, 1234u);
    }
    ASSERT_EQ(apply_settings(nullptr, "<TlsCertificate>/etc/s.pem</TlsCertificate>"), 0);
    EXPECT_STREQ(ini_tls, "Off");
    const std::string doc = written();
    EXPECT_EQ(doc.find("<Tls>"), std::string::npos);
    EXPECT_NE(doc.find("    <TlsCertificate>/etc/s.pem</TlsCertificate>\n"), std::string::npos);
}

// pipe, file and inetd never build a context: the same settings that a
// server speaking TLS refuses are theirs to take.
TEST_F(TlsSettings, ServingProcessRefusesSettingsItCannotUse)
{
    const std::string missing = "/nonexistent/server.pem";
    const std::string on = "<Port>1234</Port><Tls>On</Tls>";
    ASSERT_EQ(apply_settings(d.get(), on), 0);
    ASSERT_EQ(apply_settings(nullptr, ""), 0);

    ASSERT_EQ(qx_tls_start(d.get()), 0);
    EXPECT_FALSE(qx_tls_active());
    const std::pair<std::string, std::string> cases[] = {
        {on, "Tls is On but TlsCertificate is empty"},
        {on + "<TlsCertificate>" + missing + "</TlsCertificate>", "Tls is On but TlsKey is empty"},
        {on + "<TlsCertificate>" + missing + "</TlsCertificate><TlsKey>" + missing + "</TlsKey>",
         "Cannot read TlsCertificate " + missing + " - No such file or directory"},
    };
    for (const auto &[settings, message] : cases) {
        SCOPED_TRACE(settings);
        EXPECT_EQ(apply_settings(d.get(), settings), -1);
        EXPECT_EQ(messages(d.get()), Msgs{message});
        diagstk_remove(d.get(), 0);
        EXPECT_STREQ(ini_tls, "Off");
        EXPECT_NE(ini_port, 1234u);
        EXPECT_FALSE(qx_tls_active());
    }
}

// Before its handshake (a refusal written by the server loop) and after a
// failed one, a connection on a TLS port is sent nothing.
TEST(TlsChannel, NothingInClearTextWithoutASession)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    io_out_t out{};
    out.method = XML_OUTPUT_METHOD_LISTEN;
    out.dst.listen.sock = sv[0];
    out.tls_expected = true;
    diagstk_ptr d(diagstk_new());
    EXPECT_EQ(io_write(&out, d.get(), "<Result State=\"HY000\"/>", 0), 0);
    EXPECT_EQ(io_flush(&out, d.get()), 0);
    EXPECT_EQ(io_close_channels(nullptr, &out, d.get()), 0);
    char buf[64];
    EXPECT_EQ(recv(sv[1], buf, sizeof buf, 0), 0) << "bytes before the end of the connection";
    EXPECT_EQ(messages(d.get()), Msgs{});
    close(sv[1]);
}
