// tls_conn.h - one blocking client connection to 127.0.0.1 for the
// benchmark programs, plain TCP or TLS, behind one interface: connect (and
// handshake), send, end the request, receive until the server closes.
//
// A TLS client cannot half-close its socket: it ends its requests with a
// close_notify instead, and the server closes after its last answer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

namespace bench {

struct CtxFree {
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL *s) const { SSL_free(s); }
};
struct SessionFree {
    void operator()(SSL_SESSION *s) const { SSL_SESSION_free(s); }
};
using TlsContext = std::unique_ptr<SSL_CTX, CtxFree>;
using TlsSession = std::unique_ptr<SSL_SESSION, SessionFree>;

// A client context that trusts the PEM bundle `ca` and checks the server's
// certificate for 127.0.0.1; TLS 1.2 at least. Empty when `ca` cannot be
// loaded.
inline TlsContext client_context(const std::string &ca)
{
    TlsContext ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return ctx;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx.get(), ca.c_str(), nullptr) != 1) ctx.reset();
    return ctx;
}

class Conn {
public:
    // Connects to 127.0.0.1:port with `timeout_s` on every send and
    // receive; with `ctx`, makes the TLS handshake, offering `resume` (may
    // be null) for an abbreviated one.
    Conn(int port, int timeout_s, SSL_CTX *ctx = nullptr, SSL_SESSION *resume = nullptr)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) return;
        timeval tv{timeout_s, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            error_ = errno;
            return;
        }
        if (ctx == nullptr) {
            ok_ = true;
            return;
        }
        ssl_.reset(SSL_new(ctx));
        if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1 ||
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), "127.0.0.1") != 1)
            return;
        if (resume != nullptr) SSL_set_session(ssl_.get(), resume);
        ERR_clear_error();
        errno = 0;
        const int r = SSL_connect(ssl_.get());
        ok_ = r == 1;
        if (!ok_) error_ = errno != 0 ? errno : EPROTO;
        ERR_clear_error();
    }
    ~Conn()
    {
        ssl_.reset();
        if (fd_ >= 0) close(fd_);
    }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    // Connected (and the handshake done); else error() holds an errno value.
    bool ok() const { return ok_; }
    int error() const { return error_; }
    bool resumed() const { return ssl_ && SSL_session_reused(ssl_.get()) == 1; }
    // The session to resume on a later connection (null for plain TCP).
    TlsSession session() const { return TlsSession(ssl_ ? SSL_get1_session(ssl_.get()) : nullptr); }

    bool send(const char *data, std::size_t size)
    {
        std::size_t done = 0;
        while (done < size) {
            if (ssl_) {
                std::size_t n = 0;
                if (SSL_write_ex(ssl_.get(), data + done, size - done, &n) != 1) return fail();
                done += n;
            } else {
                const ssize_t n = ::send(fd_, data + done, size - done, MSG_NOSIGNAL);
                if (n <= 0) return fail();
                done += static_cast<std::size_t>(n);
            }
        }
        return true;
    }
    bool send(const std::string &s) { return send(s.data(), s.size()); }

    // No further request: the server answers what it has and closes.
    void end_requests()
    {
        if (ssl_)
            SSL_shutdown(ssl_.get());
        else
            shutdown(fd_, SHUT_WR);
    }

    // Bytes read, 0 when the server has closed, -1 on a failure (error()).
    long recv(char *buf, std::size_t size)
    {
        if (!ssl_) {
            const ssize_t n = ::recv(fd_, buf, size, 0);
            if (n < 0) error_ = errno;
            return n;
        }
        std::size_t n = 0;
        errno = 0;
        if (SSL_read_ex(ssl_.get(), buf, size, &n) == 1) return static_cast<long>(n);
        const int e = SSL_get_error(ssl_.get(), 0);
        if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) {
            ERR_clear_error();
            return 0;
        }
        fail();
        return -1;
    }

private:
    bool fail()
    {
        error_ = errno != 0 ? errno : EPROTO;
        ERR_clear_error();
        return false;
    }

    int fd_ = -1;
    std::unique_ptr<SSL, SslFree> ssl_;
    bool ok_ = false;
    int error_ = 0;
};

}  // namespace bench
