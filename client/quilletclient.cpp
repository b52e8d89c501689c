// quilletclient.cpp - sends one document to a quilletserver and prints the
// answer.
//
//   quilletclient [--timeout SECONDS] [TLS] HOST:PORT [FILE|-]
//   quilletclient [--timeout SECONDS] [TLS] --http URL [FILE|-]
//   quilletclient --control [--timeout SECONDS] HOST:PORT|SOCKET --config
//   quilletclient --control [--timeout SECONDS] HOST:PORT|SOCKET --set-config FILE
//   quilletclient --control [--timeout SECONDS] HOST:PORT|SOCKET --stats
//
// --http sends the request document in HTTP: `POST` to the URL
// (http://HOST:PORT/PATH, the path / or /query; https:// speaks TLS), and
// prints the body of the response; a status other than 200 is an error
// answer.
//
// SOCKET is the path of the server's control socket; any argument holding
// a "/" is taken for one (./control.sock for one in this directory).
//
// TLS is --tls [--ca FILE] [--cert FILE --key FILE] [--insecure]: the
// server's certificate chain is verified against --ca (else the system's
// store) and its name against HOST (a DNS name or an IP address); --cert
// and --key present a client certificate; --insecure verifies nothing.
//
// Exit status: 0 when every Result of the answer carries state "00000" (or
// the answer is a configuration document), 2 for any other answer, 1 when
// the exchange itself failed (usage, file, name look-up, connection,
// time-out, no answer). A failure is one line on standard error.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <arpa/inet.h>
#include <memory>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *USAGE =
    "usage: quilletclient [--timeout SECONDS] [TLS] HOST:PORT [FILE|-]\n"
    "       quilletclient [--timeout SECONDS] [TLS] --http URL [FILE|-]\n"
    "       quilletclient --control [--timeout SECONDS] [TLS] HOST:PORT|SOCKET "
    "--config | --set-config FILE | --stats\n"
    "TLS:   --tls [--ca FILE] [--cert FILE --key FILE] [--insecure]\n";

struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string &message) { throw Failure{message}; }

// A reset before the first byte of an answer: the server never read the
// request (a connection burst that overflowed its listen queue ends so).
struct ResetBeforeAnswer : Failure {};
constexpr int ATTEMPTS = 3;

std::string read_input(const std::string &name)
{
    if (name == "-") {
        return std::string(std::istreambuf_iterator<char>(std::cin), {});
    }
    std::ifstream in(name, std::ios::binary);
    if (!in) fail("cannot read " + name + ": " + std::strerror(errno));
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until `fd` is ready for `events`; fails at the deadline.
void wait_for(int fd, short events, Clock::time_point deadline, const std::string &what)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, remaining_ms(deadline));
        if (r > 0) return;
        if (r == 0) fail("timed out " + what);
        if (errno != EINTR) fail(what + ": " + std::strerror(errno));
    }
}

// Connects to host:port, trying each address the name resolves to.
int connect_to(const std::string &host, const std::string &port, Clock::time_point deadline)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (const int e = getaddrinfo(host.c_str(), port.c_str(), &hints, &list); e != 0)
        fail("cannot resolve " + host + ": " + gai_strerror(e));
    std::string why = "no address";
    for (addrinfo *a = list; a != nullptr; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              a->ai_protocol);
        if (fd < 0) continue;
        int r = connect(fd, a->ai_addr, a->ai_addrlen);
        if (r < 0 && errno == EINPROGRESS) {
            try {
                wait_for(fd, POLLOUT, deadline, "connecting to " + host + ":" + port);
            } catch (...) {
                close(fd);
                freeaddrinfo(list);
                throw;
            }
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            r = err == 0 ? 0 : -1;
            errno = err;
        }
        if (r == 0) {
            freeaddrinfo(list);
            return fd;
        }
        why = std::strerror(errno);
        close(fd);
    }
    freeaddrinfo(list);
    fail("cannot connect to " + host + ":" + port + ": " + why);
}

// Connects to the Unix-domain socket at `path`. A local connect does not
// wait for the server, so the deadline only bounds the exchange after it.
int connect_local(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) fail("socket path too long: " + path);
    path.copy(addr.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) fail(std::string("cannot create a socket: ") + std::strerror(errno));
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        fail("cannot connect to " + path + ": " + why);
    }
    return fd;
}

bool is_socket_path(const std::string &target) { return target.find('/') != std::string::npos; }

// Sends the whole document, ends the sending side, and reads until the
// server closes the connection.
std::string exchange(int fd, const std::string &doc, Clock::time_point deadline)
{
    std::size_t sent = 0;
    while (sent < doc.size()) {
        wait_for(fd, POLLOUT, deadline, "sending the request");
        const ssize_t n = send(fd, doc.data() + sent, doc.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            fail(std::string("sending the request: ") + std::strerror(errno));
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::string answer;
    char buf[65536];
    for (;;) {
        wait_for(fd, POLLIN, deadline, "waiting for the answer");
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            // A reset after a complete answer still leaves that answer.
            if (errno == ECONNRESET && !answer.empty()) break;
            const std::string why = std::string("reading the answer: ") + std::strerror(errno);
            if (errno == ECONNRESET) throw ResetBeforeAnswer{{why}};
            fail(why);
        }
        if (n > 0) answer.append(buf, static_cast<std::size_t>(n));
    }
    return answer;
}

// ---- TLS

struct TlsOptions {
    bool on = false, insecure = false;
    std::string ca, cert, key;
};

struct ContextFree {
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};
struct SessionFree {
    void operator()(SSL *s) const { SSL_free(s); }
};
using Context = std::unique_ptr<SSL_CTX, ContextFree>;
using Session = std::unique_ptr<SSL, SessionFree>;

// OpenSSL's reason for its latest failure, the queue emptied after.
std::string tls_reason(const char *fallback)
{
    const unsigned long e = ERR_peek_last_error();
    const char *r = e != 0 ? ERR_reason_error_string(e) : nullptr;
    std::string text = r != nullptr ? r : fallback;
    ERR_clear_error();
    return text;
}

Context client_context(const TlsOptions &o)
{
    Context ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) fail("cannot create a TLS context: " + tls_reason("out of memory"));
    SSL_CTX *c = ctx.get();
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!o.insecure) {
        const int loaded = o.ca.empty() ? SSL_CTX_set_default_verify_paths(c)
                                        : SSL_CTX_load_verify_locations(c, o.ca.c_str(), nullptr);
        if (loaded != 1) fail("cannot load --ca " + o.ca + ": " + tls_reason("not a PEM file"));
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
    }
    if (!o.cert.empty()) {
        if (SSL_CTX_use_certificate_chain_file(c, o.cert.c_str()) != 1)
            fail("cannot load --cert " + o.cert + ": " + tls_reason("not a PEM file"));
        if (SSL_CTX_use_PrivateKey_file(c, o.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(c) != 1)
            fail("cannot use --key " + o.key + ": " + tls_reason("does not match --cert"));
    }
    return ctx;
}

// Runs `step` (a handshake, read, write or shutdown call) until it needs
// the peer no more; its result, or fails with `what`.
template <typename Step>
int tls_step(SSL *ssl, int fd, Clock::time_point deadline, const std::string &what, Step step)
{
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int r = step();
        if (r > 0) return r;
        const int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            wait_for(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, what);
            continue;
        }
        if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) return 0;
        std::string why = e == SSL_ERROR_SYSCALL ? std::strerror(errno) : tls_reason("protocol error");
        const long verified = SSL_get_verify_result(ssl);
        if (verified != X509_V_OK) why += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
        fail(what + ": " + why);
    }
}

// The exchange over TLS: handshake (the server's name checked against
// `host`), the document, then close_notify to say that no other request
// follows, and the answer up to the server's own close.
std::string tls_exchange(int fd, const TlsOptions &o, const std::string &host,
                         const std::string &doc, Clock::time_point deadline)
{
    const Context ctx = client_context(o);
    const Session ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) fail("cannot start TLS: " + tls_reason("out of memory"));
    unsigned char addr[16];
    const bool ip = inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1;
    if (!o.insecure) {
        const int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str())
                           : SSL_set1_host(ssl.get(), host.c_str());
        if (set != 1) fail("cannot check the server's name " + host);
    }
    if (!ip) SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    SSL *s = ssl.get();
    if (tls_step(s, fd, deadline, "TLS handshake with " + host, [&] { return SSL_connect(s); }) == 0)
        fail("TLS handshake with " + host + ": the server closed the connection");
    std::size_t sent = 0;
    while (sent < doc.size()) {
        std::size_t n = 0;
        if (tls_step(s, fd, deadline, "sending the request", [&] {
                return SSL_write_ex(s, doc.data() + sent, doc.size() - sent, &n);
            }) == 0)
            fail("sending the request: the server closed the connection");
        sent += n;
    }
    // Our close_notify, sent once: the server's comes after its answer.
    for (;;) {
        ERR_clear_error();
        const int r = SSL_shutdown(s);
        const int e = r < 0 ? SSL_get_error(s, r) : SSL_ERROR_NONE;
        if (e != SSL_ERROR_WANT_WRITE) break;
        wait_for(fd, POLLOUT, deadline, "sending the request");
    }
    std::string answer;
    char buf[65536];
    for (;;) {
        const int n = tls_step(s, fd, deadline, "waiting for the answer",
                               [&] { return SSL_read(s, buf, sizeof buf); });
        if (n == 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    return answer;
}

// 0 when every Result carries "00000", 2 otherwise; a configuration
// document (no Result) is a good answer too.
int answer_status(const std::string &answer)
{
    bool any = false;
    for (std::size_t at = answer.find("<Result"); at != std::string::npos;
         at = answer.find("<Result", at + 1)) {
        const std::size_t end = answer.find('>', at);
        if (end == std::string::npos) return 2;
        const std::string tag = answer.substr(at, end - at);
        if (tag.size() > 7 && tag[7] != ' ' && tag[7] != '\n' && tag[7] != '\t') continue;
        any = true;
        if (tag.find("State=\"00000\"") == std::string::npos &&
            tag.find("Status=\"00000\"") == std::string::npos)
            return 2;
    }
    if (any || answer.find("<Configuration") != std::string::npos) return 0;
    return 2;
}

// An HTTP URL taken apart: http://HOST:PORT/PATH.
struct Url {
    bool tls = false;
    std::string address;  // HOST:PORT
    std::string path;
};

Url parse_url(const std::string &url)
{
    Url u;
    std::string rest;
    if (url.rfind("http://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("https://", 0) == 0) {
        u.tls = true;
        rest = url.substr(8);
    } else {
        fail("expected an http:// or https:// URL, got \"" + url + "\"");
    }
    const std::size_t slash = rest.find('/');
    u.address = rest.substr(0, slash);
    u.path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (u.address.find(':') == std::string::npos || u.address.back() == ']')
        u.address += u.tls ? ":443" : ":80";
    return u;
}

std::string http_post(const Url &u, const std::string &host, const std::string &doc)
{
    return "POST " + u.path + " HTTP/1.1\r\nHost: " + host +
           "\r\nContent-Type: application/xml\r\nConnection: close\r\nContent-Length: " +
           std::to_string(doc.size()) + "\r\n\r\n" + doc;
}

// The body of an HTTP response read to the server's close, and its status.
std::string http_body(const std::string &response, int *status)
{
    const std::size_t end = response.find("\r\n\r\n");
    if (end == std::string::npos || response.rfind("HTTP/1.", 0) != 0 || response.size() < 12)
        fail("not an HTTP response");
    *status = std::atoi(response.c_str() + 9);
    std::string head = response.substr(0, end + 2), body = response.substr(end + 4);
    for (char &c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (head.find("\r\ntransfer-encoding: chunked\r\n") == std::string::npos) return body;
    std::string data;
    for (std::size_t at = 0;;) {
        const std::size_t line = body.find("\r\n", at);
        if (line == std::string::npos) fail("a chunked answer cut short");
        const std::size_t size = std::strtoul(body.c_str() + at, nullptr, 16);
        if (size == 0) return data;
        if (line + 2 + size > body.size()) fail("a chunked answer cut short");
        data.append(body, line + 2, size);
        at = line + 2 + size + 2;
    }
}

// Splits HOST:PORT at its last colon; [v6]:port keeps the brackets off.
void split_address(const std::string &address, std::string *host, std::string *port)
{
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size())
        fail("expected HOST:PORT, got \"" + address + "\"");
    *host = address.substr(0, colon);
    *port = address.substr(colon + 1);
    if (host->size() > 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    char *end = nullptr;
    const long p = std::strtol(port->c_str(), &end, 10);
    if (*end != '\0' || p < 1 || p > 65535) fail("invalid port \"" + *port + "\"");
}

int run(int argc, char **argv)
{
    bool control = false;
    double timeout = 60;
    std::string control_action, set_file;
    std::vector<std::string> positional;
    std::string url;
    TlsOptions tls;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--control") {
            control = true;
        } else if (a == "--timeout") {
            const std::string v = value();
            char *end = nullptr;
            timeout = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !(timeout > 0)) fail("invalid --timeout \"" + v + "\"");
        } else if (a == "--config" || a == "--stats" || a == "--set-config") {
            if (!control_action.empty()) fail("only one of --config, --set-config, --stats");
            control_action = a;
            if (a == "--set-config") set_file = value();
        } else if (a == "--http") {
            url = value();
        } else if (a == "--tls") {
            tls.on = true;
        } else if (a == "--insecure") {
            tls.insecure = true;
        } else if (a == "--ca") {
            tls.ca = value();
        } else if (a == "--cert") {
            tls.cert = value();
        } else if (a == "--key") {
            tls.key = value();
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            fail("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    Url http;
    if (!url.empty()) {
        if (control) fail("--http is for requests; the control port speaks HTTP to any client");
        http = parse_url(url);
        tls.on = tls.on || http.tls;
        positional.insert(positional.begin(), http.address);
    }
    if (positional.empty()) fail(control ? "missing HOST:PORT or SOCKET" : "missing HOST:PORT");
    if (!control && is_socket_path(positional[0]))
        fail("a socket path is for --control; requests go to HOST:PORT");
    if (!control_action.empty() && !control) fail(control_action + " needs --control");
    if (!tls.on && (tls.insecure || !tls.ca.empty() || !tls.cert.empty() || !tls.key.empty()))
        fail("--ca, --cert, --key and --insecure need --tls");
    if (tls.cert.empty() != tls.key.empty()) fail("--cert and --key go together");
    if (tls.on && is_socket_path(positional[0])) fail("the control socket speaks no TLS");

    std::string doc;
    if (control) {
        if (positional.size() != 1) fail("--control takes no request file");
        if (control_action == "--config")
            doc = "<Request><Configuration/></Request>\n";
        else if (control_action == "--stats")
            doc = "<Request><Statistics/></Request>\n";
        else if (control_action == "--set-config")
            doc = read_input(set_file);
        else
            fail("--control needs --config, --set-config FILE or --stats");
    } else {
        if (positional.size() > 2) fail("too many arguments");
        doc = read_input(positional.size() == 2 ? positional[1] : "-");
        if (doc.find_first_not_of(" \t\r\n") == std::string::npos) fail("empty request");
    }
    std::string host_field;
    if (!url.empty()) host_field = positional[0];

    const bool local = is_socket_path(positional[0]);
    std::string host, port;
    if (!local) split_address(positional[0], &host, &port);
    if (!url.empty()) doc = http_post(http, host_field, doc);
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
    std::string answer;
    for (int attempt = 1;; attempt++) {
        const int fd = local ? connect_local(positional[0]) : connect_to(host, port, deadline);
        try {
            answer = tls.on ? tls_exchange(fd, tls, host, doc, deadline) : exchange(fd, doc, deadline);
            close(fd);
            break;
        } catch (const ResetBeforeAnswer &) {
            close(fd);
            if (attempt == ATTEMPTS) throw;
        } catch (...) {
            close(fd);
            throw;
        }
    }
    if (answer.empty()) fail("the server closed the connection without an answer");
    int http_status = 200;
    if (!url.empty()) answer = http_body(answer, &http_status);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fflush(stdout);
    const int status = http_status == 200 ? answer_status(answer) : 2;
    if (status != 0) std::fputs("quilletclient: the server answered with an error\n", stderr);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const Failure &f) {
        std::fprintf(stderr, "quilletclient: %s\n", f.message.c_str());
        return 1;
    }
}
