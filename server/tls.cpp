// tls.cpp - TLS on the request and control ports: the server's context,
// the handshake of an accepted connection, reads and writes through a
// session on a non-blocking socket.

#include "tls.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <string>
#include <string_view>

#include "log.h"
#include "util.h"

char ini_tls[QX_TLS_SETTING_SIZE];
char ini_tls_certificate[INI_STRING_SIZE], ini_tls_key[INI_STRING_SIZE],
    ini_tls_client_ca[INI_STRING_SIZE];
char ini_control_users[INI_STRING_SIZE];

namespace {

constexpr std::string_view ON = "On", OFF = "Off";

// The context new connections are given, and the settings it was built
// from: a configuration document that leaves them as they are keeps it
// (and the session tickets it issued).
tls_context_ptr server_context;
std::string built_from;
bool serving = false;

std::int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until `fd` is ready for `events` or `deadline` (0: none) passes:
// 1 ready, 0 the deadline passed, -1 the wait failed (errno; EINTR for a
// signal).
int wait_socket(int fd, short events, std::int64_t deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline != 0) {
            timeout = static_cast<int>(std::clamp<std::int64_t>(deadline - now_ms(), 0, 3600 * 1000));
            if (timeout == 0) return 0;
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, timeout);
        if (r != 0) return r > 0 ? 1 : -1;
    }
}

// The handshake's wait: like wait_socket, and 2 when the stop notice
// arrives first (the server shuts down; a connection that has not yet
// sent a request is not waited for).
int wait_handshake(int fd, short events, std::int64_t deadline)
{
    const int stop = io_stop_notice();
    for (;;) {
        int timeout = -1;
        if (deadline != 0) {
            timeout = static_cast<int>(std::clamp<std::int64_t>(deadline - now_ms(), 0, 3600 * 1000));
            if (timeout == 0) return 0;
        }
        pollfd p[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
        const int r = poll(p, stop >= 0 ? 2 : 1, timeout);
        if (r > 0) return stop >= 0 && p[1].revents != 0 ? 2 : 1;
        if (r < 0) return -1;
    }
}

bool deadline_passed(std::int64_t deadline) { return deadline != 0 && now_ms() >= deadline; }

// What OpenSSL says about its failure, the queue emptied after: the first
// error queued is the cause, those after it are the callers giving up.
std::string openssl_reason(const char *fallback)
{
    const unsigned long e = ERR_peek_error();
    const char *reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    std::string text = reason != nullptr ? reason : fallback;
    ERR_clear_error();
    return text;
}

// An encrypted key would make OpenSSL ask on the terminal: it fails instead.
int no_passphrase(char *, int, int, void *) { return 0; }

// A file the server must read: its own message when it cannot, before
// OpenSSL's less telling one.
int check_readable(diagstk_t *diag, const char *setting, const char *path)
{
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) {
        diagstk_add(diag, 4, "Cannot read %s %s - %s", setting, path, std::strerror(errno));
        return -1;
    }
    std::fclose(f);
    return 0;
}

int load_failed(diagstk_t *diag, const char *setting, const char *path)
{
    diagstk_add(diag, 4, "Cannot load %s %s - %s", setting, path,
                openssl_reason("not a PEM file").c_str());
    return -1;
}

std::string settings_key()
{
    return std::string(ini_tls) + '\n' + ini_tls_certificate + '\n' + ini_tls_key + '\n' +
           ini_tls_client_ca;
}

// Builds the context the settings ask for (none for Tls Off) and puts it
// in force; on failure the context in force stays.
int apply_settings(diagstk_t *diag)
{
    const std::string key = settings_key();
    if (key == built_from) return 0;
    tls_context_ptr ctx;
    if (ON == ini_tls) {
        if (ini_tls_certificate[0] == '\0' || ini_tls_key[0] == '\0') {
            diagstk_add(diag, 4, "Tls is On but %s is empty",
                        ini_tls_certificate[0] == '\0' ? "TlsCertificate" : "TlsKey");
            return -1;
        }
        if (qx_tls_build_context(diag, ini_tls_certificate, ini_tls_key, ini_tls_client_ca, &ctx) < 0)
            return -1;
    }
    server_context = std::move(ctx);
    built_from = key;
    return 0;
}

int set_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Why a handshake ended with OpenSSL's error `e`.
std::string handshake_fault(SSL *ssl, int e)
{
    if (e == SSL_ERROR_SYSCALL && errno != 0 && ERR_peek_last_error() == 0)
        return std::strerror(errno);
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0))
        return "the client closed the connection";
    std::string why = openssl_reason("protocol error");
    const long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK) why += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
    return why;
}

// The text of an ASN.1 string as UTF-8, or nothing when it cannot be
// converted or holds a NUL (a name that would compare as a shorter one).
void add_name(std::vector<std::string> *names, const ASN1_STRING *text)
{
    unsigned char *utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, text);
    if (len > 0) {
        std::string name(reinterpret_cast<const char *>(utf8), static_cast<std::size_t>(len));
        if (name.find('\0') == std::string::npos) names->push_back(std::move(name));
    }
    OPENSSL_free(utf8);
}

// The names of a verified client certificate: the subject's common name
// (the last, most specific one when there are several), then its DNS and
// email alternative names in certificate order.
std::vector<std::string> certificate_names(X509 *cert)
{
    std::vector<std::string> names;
    const X509_NAME *subject = X509_get_subject_name(cert);
    int last = -1;
    for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) >= 0;) last = i;
    if (last >= 0)
        add_name(&names, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, last)));
    auto *alt = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alt != nullptr && i < sk_GENERAL_NAME_num(alt); i++) {
        const GENERAL_NAME *g = sk_GENERAL_NAME_value(alt, i);
        if (g->type == GEN_DNS) add_name(&names, g->d.dNSName);
        if (g->type == GEN_EMAIL) add_name(&names, g->d.rfc822Name);
    }
    GENERAL_NAMES_free(alt);
    ERR_clear_error();
    return names;
}

}  // namespace

int attr_control_users_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    const std::string_view text = static_cast<const char *>(val);
    if (!qx_trim(text).empty()) {
        for (const std::string_view entry : qx_list_items(text)) {
            if (!entry.empty()) continue;
            diagstk_add(diag, 4, "%s: empty entry in %s \"%s\"", "attr_control_users", ini->name,
                        static_cast<const char *>(val));
            return -1;
        }
    }
    if (text.size() + 1 > ini->dest_size) {
        diagstk_add(diag, 4, "%s: value for %s too long", "attr_control_users", ini->name);
        return -1;
    }
    std::memcpy(ini->destination, text.data(), text.size() + 1);
    return 0;
}

bool qx_identity_listed(std::string_view list, const std::vector<std::string> &names)
{
    if (names.empty() || qx_trim(list).empty()) return false;
    for (const std::string_view entry : qx_list_items(list))
        if (!entry.empty() && std::find(names.begin(), names.end(), entry) != names.end())
            return true;
    return false;
}

std::string qx_identity_text(const io_in_t *input)
{
    if (input == nullptr || input->identity.empty()) return "none";
    std::string text = input->identity.front();
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') c = '?';
    return text;
}

std::string qx_client_text(const io_in_t *input)
{
    std::string text = input->src.listen.client_ip;
    if (!input->identity.empty()) text += " (" + qx_identity_text(input) + ")";
    return text;
}

int attr_tls_in(diagstk_t *diag, void *, ini_setting_t *ini, void *val)
{
    return qx_ini_word(diag, ini, static_cast<const char *>(val), {OFF, ON}, "attr_tls",
                       "On or Off expected");
}

int qx_tls_build_context(diagstk_t *diag, const char *certificate, const char *key,
                         const char *client_ca, tls_context_ptr *out)
{
    ERR_clear_error();
    if (check_readable(diag, "TlsCertificate", certificate) < 0 ||
        check_readable(diag, "TlsKey", key) < 0 ||
        (client_ca[0] != '\0' && check_readable(diag, "TlsClientCA", client_ca) < 0))
        return -1;
    tls_context_ptr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        diagstk_add(diag, 4, "Cannot create the TLS context - %s", openssl_reason("out of memory").c_str());
        return -1;
    }
    SSL_CTX *c = ctx.get();
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    // A peer that closes without close_notify has simply ended: a document
    // is complete by its root element, not by the way the stream ends.
    SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_passwd_cb(c, no_passphrase);
    if (SSL_CTX_use_certificate_chain_file(c, certificate) != 1)
        return load_failed(diag, "TlsCertificate", certificate);
    if (SSL_CTX_use_PrivateKey_file(c, key, SSL_FILETYPE_PEM) != 1) {
        // A key of another certificate is refused by this call already.
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
            ERR_clear_error();
            diagstk_add(diag, 4, "TlsKey %s does not match TlsCertificate %s", key, certificate);
            return -1;
        }
        return load_failed(diag, "TlsKey", key);
    }
    if (SSL_CTX_check_private_key(c) != 1) {
        ERR_clear_error();
        diagstk_add(diag, 4, "TlsKey %s does not match TlsCertificate %s", key, certificate);
        return -1;
    }
    // Sessions resumed with a client certificate need a context name.
    static constexpr unsigned char session_context[] = "quilletserver";
    SSL_CTX_set_session_id_context(c, session_context, sizeof session_context - 1);
    if (client_ca[0] != '\0') {
        STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(client_ca);
        if (SSL_CTX_load_verify_locations(c, client_ca, nullptr) != 1 || names == nullptr) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            return load_failed(diag, "TlsClientCA", client_ca);
        }
        SSL_CTX_set_client_CA_list(c, names);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    *out = std::move(ctx);
    return 0;
}

int qx_tls_start(diagstk_t *diag)
{
    serving = true;
    built_from.clear();
    return apply_settings(diag);
}

int qx_tls_settings_applied(diagstk_t *diag) { return serving ? apply_settings(diag) : 0; }

void qx_tls_stop(void)
{
    serving = false;
    built_from.clear();
    server_context.reset();
}

bool qx_tls_active(void) { return server_context != nullptr; }

void qx_tls_expect(io_in_t *input, io_out_t *output)
{
    const bool on = qx_tls_active();
    input->tls_expected = on;
    output->tls_expected = on;
}

int qx_tls_accept(diagstk_t *diag, io_in_t *input, io_out_t *output, std::uint32_t seconds)
{
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    const int fd = output->dst.listen.sock;
    const char *client = input->src.listen.client_ip;
    auto failed = [&](const std::string &why) {
        diagstk_add(diag, 3, "TLS handshake with %s failed - %s", client, why.c_str());
        if (trace) qx_log("-qx_tls_accept()=-1 (%s)\n", why.c_str());
        return -1;
    };
    if (trace) qx_log("qx_tls_accept(%d,%u)\n", fd, seconds);
    if (!server_context) return failed("no server certificate");
    ERR_clear_error();
    tls_session_ptr ssl(SSL_new(server_context.get()));
    if (!ssl || set_nonblocking(fd) < 0 || SSL_set_fd(ssl.get(), fd) != 1)
        return failed(openssl_reason(std::strerror(errno)));
    const std::int64_t deadline = seconds == 0 ? 0 : now_ms() + std::int64_t{seconds} * 1000;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int r = SSL_accept(ssl.get());
        if (r == 1) break;
        const int e = SSL_get_error(ssl.get(), r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
            return failed(handshake_fault(ssl.get(), e));
        const int w = wait_handshake(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
        if (w == 0) return failed("no handshake within " + std::to_string(seconds) + " seconds");
        if (w == 2) return -1;  // no client's fault: nothing to report
        if (w < 0) return failed(std::strerror(errno));
    }
    input->identity.clear();
    // Only a certificate the client CA vouched for names anyone; without a
    // TlsClientCA none is asked for.
    if ((SSL_get_verify_mode(ssl.get()) & SSL_VERIFY_PEER) != 0 &&
        SSL_get_verify_result(ssl.get()) == X509_V_OK)
        if (X509 *cert = SSL_get0_peer_certificate(ssl.get()); cert != nullptr)
            input->identity = certificate_names(cert);
    output->tls = ssl.release();
    input->tls = output->tls;
    if (trace)
        qx_log("-qx_tls_accept()=0 (%s, %s, identity %s)\n", SSL_get_version(output->tls),
               SSL_get_cipher_name(output->tls), qx_identity_text(input).c_str());
    return 0;
}

ssize_t qx_tls_read(SSL *ssl, int fd, char *buf, std::size_t len, std::int64_t deadline)
{
    const int want = static_cast<int>(std::min<std::size_t>(len, INT_MAX));
    for (;;) {
        // However steadily the peer sends, a late document is late.
        if (deadline_passed(deadline)) {
            errno = ETIMEDOUT;
            return -1;
        }
        ERR_clear_error();
        errno = 0;
        const int n = SSL_read(ssl, buf, want);
        if (n > 0) return n;
        const int e = SSL_get_error(ssl, n);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            const int w = wait_socket(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
            if (w < 0) return -1;  // a signal ends the wait, as for a plain read
            continue;
        }
        if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) return 0;
        if (e == SSL_ERROR_SYSCALL) return -1;
        ERR_clear_error();
        errno = EPROTO;
        return -1;
    }
}

int qx_tls_write(SSL *ssl, int fd, const char *buf, std::size_t len)
{
    std::size_t sent = 0;
    while (sent < len) {
        ERR_clear_error();
        errno = 0;
        std::size_t n = 0;
        if (SSL_write_ex(ssl, buf + sent, len - sent, &n) == 1) {
            sent += n;
            continue;
        }
        const int e = SSL_get_error(ssl, 0);
        if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
            // Like a blocking send: no limit, and a signal does not end it.
            if (wait_socket(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, 0) < 0 && errno != EINTR)
                return -1;
            continue;
        }
        if (e == SSL_ERROR_SYSCALL && errno != 0) return -1;  // EPIPE, ECONNRESET as from send
        ERR_clear_error();
        // The peer closed its side, or the session broke: nothing more can
        // reach it.
        errno = e == SSL_ERROR_SSL ? EPROTO : EPIPE;
        return -1;
    }
    return 0;
}

bool qx_tls_pending(const SSL *ssl) { return ssl != nullptr && SSL_pending(ssl) > 0; }

void qx_tls_close(SSL *ssl, bool notify)
{
    const tls_session_ptr owned(ssl);
    if (!owned) return;
    if (notify) {
        ERR_clear_error();
        SSL_shutdown(owned.get());  // once: the peer's own close_notify is not waited for
    }
    ERR_clear_error();
}
