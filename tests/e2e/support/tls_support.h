// tls_support.h - what the TLS tests share: certificates made once per run
// with the openssl command, and a TLS client on a real socket.
#pragma once

#include <memory>
#include <openssl/ssl.h>
#include <string>
#include <string_view>

#include "e2e.h"

// The PEM file `name` + `ext` (".pem" certificate, ".key" key), made on
// first use: "ca" the private CA; "server" for IP 127.0.0.1 and DNS
// localhost; clients "alice" and "bob"; "carol", also named by DNS
// reports.example.com and email carol@example.com; "expired" (since yesterday);
// "stranger", a client of another CA.
std::string tls_file(std::string_view name, std::string_view ext = ".pem");

// The settings that turn TLS on with the server certificate; `extra` follows.
std::string tls_settings(std::string_view extra = "");

// A TLS connection to 127.0.0.1:port that trusts the private CA and
// presents the certificate of `client` unless empty. Blocking, every
// receive bounded by NET_LIMIT.
class TlsConn {
public:
    explicit TlsConn(int port, std::string_view client = "");
    // True once the handshake is done; else error() says why.
    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    bool send(std::string_view data);
    // Reads until the bytes end with `end`, the server closes, a failure
    // (error() tells) or a receive times out.
    std::string read_until(std::string_view end = "");
    std::string read_some();  // what one read returns
    std::string ask(std::string_view req) { return send(req) ? read_until("</Result>\n") : ""; }
    void close();             // close_notify, then the socket's close

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
