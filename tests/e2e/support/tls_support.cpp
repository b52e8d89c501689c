// tls_support.cpp - the TLS tests' certificates, made with the openssl
// command, and their client.

#include "tls_support.h"

#include <openssl/err.h>
#include <stdexcept>

namespace {

void openssl(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    if (const auto r = run_tool(argv, "", &out); !r) throw std::runtime_error(r.message());
}

void self_signed(const std::string &base, const std::string &cn)
{
    openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", base + ".key", "-out", base + ".pem", "-subj", "/CN=" + cn, "-days", "2",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
             "keyUsage=critical,keyCertSign,cRLSign"});
}

// A P-256 key (quick to make) and a certificate for `name` signed by `ca`
// for `days` (negative: already expired), with the extensions `ext`.
void issue(const std::string &dir, const std::string &name, const std::string &ca, int days,
           const std::string &ext)
{
    const std::string base = dir + "/" + name;
    openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
             base + ".key", "-out", base + ".csr", "-subj", "/CN=" + name});
    write_file(base + ".ext", ext);
    openssl({"x509", "-req", "-in", base + ".csr", "-CA", dir + "/" + ca + ".pem", "-CAkey",
             dir + "/" + ca + ".key", "-CAcreateserial", "-CAserial", dir + "/serial", "-out",
             base + ".pem", "-days", std::to_string(days), "-extfile", base + ".ext"});
}

void make(const std::string &dir)
{
    self_signed(dir + "/ca", "Quillet Test CA");
    self_signed(dir + "/other-ca", "Other Test CA");
    issue(dir, "server", "ca", 2,
          "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
          "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    const std::string client = "basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n";
    for (const std::string name : {"alice", "bob", "expired", "stranger"})
        issue(dir, name, name == "stranger" ? "other-ca" : "ca", name == "expired" ? -1 : 2, client);
    // A client known by its alternative names as well as its common name.
    issue(dir, "carol", "ca", 2, client + "subjectAltName=DNS:reports.example.com,email:carol@example.com\n");
}

}  // namespace

std::string tls_file(std::string_view name, std::string_view ext)
{
    static const TempDir dir;
    static const bool made = (make(dir.path()), true);
    (void)made;
    return dir.path() + "/" + std::string(name) + std::string(ext);
}

std::string tls_settings(std::string_view extra)
{
    return "<Tls>On</Tls><TlsCertificate>" + tls_file("server") + "</TlsCertificate><TlsKey>" +
           tls_file("server", ".key") + "</TlsKey>" + std::string(extra);
}

namespace {

std::string last_reason(SSL *ssl, int r)
{
    const int e = SSL_get_error(ssl, r);
    const unsigned long err = ERR_peek_last_error();
    const char *reason = err != 0 ? ERR_reason_error_string(err) : nullptr;
    ERR_clear_error();
    if (reason != nullptr) return reason;
    return e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL ? "connection closed"
                                                                : "error " + std::to_string(e);
}

}  // namespace

TlsConn::TlsConn(int port, std::string_view client)
    : fd_(connect_port(port)), ctx_(SSL_CTX_new(TLS_client_method()))
{
    if (fd_.get() < 0 || !ctx_) {
        error_ = "no connection";
        return;
    }
    SSL_CTX_set_options(ctx_.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    const std::string cert = tls_file(client), key = tls_file(client, ".key");
    if (SSL_CTX_load_verify_locations(ctx_.get(), tls_file("ca").c_str(), nullptr) != 1 ||
        (!client.empty() && (SSL_CTX_use_certificate_chain_file(ctx_.get(), cert.c_str()) != 1 ||
                             SSL_CTX_use_PrivateKey_file(ctx_.get(), key.c_str(), SSL_FILETYPE_PEM) != 1))) {
        error_ = "cannot load the test certificates";
        return;
    }
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), fd_.get());
    SSL_set1_host(ssl_.get(), "localhost");
    ERR_clear_error();
    const int r = SSL_connect(ssl_.get());
    ok_ = r == 1;
    if (!ok_) error_ = last_reason(ssl_.get(), r);
}

bool TlsConn::send(std::string_view data)
{
    std::size_t n = 0;
    ERR_clear_error();
    return ok_ && (data.empty() || SSL_write_ex(ssl_.get(), data.data(), data.size(), &n) == 1);
}

std::string TlsConn::read_until(std::string_view end)
{
    std::string got;
    char buf[16384];
    while (ok_ && (end.empty() || !got.ends_with(end))) {
        ERR_clear_error();
        const int n = SSL_read(ssl_.get(), buf, sizeof buf);
        if (n <= 0) {
            if (SSL_get_error(ssl_.get(), n) != SSL_ERROR_ZERO_RETURN) error_ = last_reason(ssl_.get(), n);
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

std::string TlsConn::read_some()
{
    char buf[16384];
    const int n = ok_ ? SSL_read(ssl_.get(), buf, sizeof buf) : 0;
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

void TlsConn::close()
{
    if (ok_) SSL_shutdown(ssl_.get());
    ok_ = false;
    fd_.reset();
}
