// tls_support.h - what the TLS tests share: certificates made once per run
// with the openssl command (a private CA, a server certificate for
// 127.0.0.1 and localhost, two client certificates, an expired one, a
// client of another CA), and a TLS client on a real socket.
#pragma once

#include <memory>
#include <openssl/ssl.h>
#include <string>
#include <string_view>

#include "e2e.h"

struct TlsCerts {
    std::string ca;                          // the private CA's certificate
    std::string server_cert, server_key;     // CN=quillet-test, IP:127.0.0.1, DNS:localhost
    std::string alice_cert, alice_key;       // clients the CA signed
    std::string bob_cert, bob_key;
    std::string expired_cert, expired_key;   // signed by the CA, expired yesterday
    std::string other_ca;                    // a CA that signed none of the above
    std::string stranger_cert, stranger_key; // a client the other CA signed
};

// The set, made on first use in a directory that lives as long as the run.
const TlsCerts &tls_certs();

// The settings that turn TLS on with the server certificate; `extra` follows.
std::string tls_settings(std::string_view extra = "");

// A TLS connection to 127.0.0.1:port that trusts `ca` and presents
// `cert`/`key` when given. Blocking, every receive bounded by NET_LIMIT.
class TlsConn {
public:
    TlsConn(int port, const std::string &ca, const std::string &cert = "",
            const std::string &key = "");
    // True once the handshake is done; else error() says why.
    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    int fd() const { return fd_.get(); }
    bool send(std::string_view data);
    // Reads until the bytes end with `end`, the server closes, a failure
    // (error() tells) or a receive times out.
    std::string read_until(std::string_view end = "");
    std::string read_some();  // what one read returns
    void close();             // close_notify, then the socket's close
    std::string ask(std::string_view req) { return send(req) ? read_until("</Result>\n") : ""; }

private:
    struct CtxFree {
        void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
    };
    struct SslFree {
        void operator()(SSL *s) const { SSL_free(s); }
    };
    Fd fd_;
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
    std::unique_ptr<SSL, SslFree> ssl_;
    bool ok_ = false;
    std::string error_;
};
