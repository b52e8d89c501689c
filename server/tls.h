// tls.h - TLS on the request and control ports: the server's context, built
// from the Tls settings, the handshake of an accepted connection, and reads
// and writes through a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <openssl/ssl.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "config.h"
#include "diag.h"
#include "iodef.h"

struct tls_context_free {
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};
struct tls_session_free {
    void operator()(SSL *ssl) const { SSL_free(ssl); }
};
using tls_context_ptr = std::unique_ptr<SSL_CTX, tls_context_free>;
using tls_session_ptr = std::unique_ptr<SSL, tls_session_free>;

// Room for a Tls value ("Off" or "On", blanks around it allowed).
inline constexpr std::size_t QX_TLS_SETTING_SIZE = 16;
extern char ini_tls[QX_TLS_SETTING_SIZE];
extern char ini_tls_certificate[1024], ini_tls_key[1024], ini_tls_client_ca[1024];

// ControlUsers: the identities a control connection over TCP must present
// one of (comma-separated); empty asks for none.
extern char ini_control_users[INI_STRING_SIZE];

// The settings table's check of a Tls value: On or Off, in any case.
int attr_tls_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);

// The settings table's check of ControlUsers: a comma-separated list of
// identities without empty entries, or nothing. The text is kept as given.
int attr_control_users_in(diagstk_t *diag, void *ectx, ini_setting_t *ini, void *val);
// True when one of `names` (a connection's identity) is an entry of the
// comma-separated `list`, entries trimmed, compared exactly.
bool qx_identity_listed(std::string_view list, const std::vector<std::string> &names);
// The name a connection's identity is shown by in messages and events: its
// common name (or first alternative name), control characters replaced by
// "?"; "none" for a connection without an identity.
std::string qx_identity_text(const io_in_t *input);
// The client as events name it: its address, and its identity in brackets
// when it has one ("10.0.0.7 (alice)").
std::string qx_client_text(const io_in_t *input);

// A server context for the certificate chain and key in the PEM files
// `certificate` and `key`; with `client_ca` (a PEM bundle, may be empty) a
// client must present a certificate it signed. TLS 1.2 is the oldest
// version spoken. 0, or -1 with one message naming the file at fault.
int qx_tls_build_context(diagstk_t *diag, const char *certificate, const char *key,
                         const char *client_ca, tls_context_ptr *ctx);

// Makes this process one that serves TLS when the settings ask for it (the
// standalone server, tcpip_listen) and builds the context from them: Tls On
// without both files, or with files that cannot be used, fails (-1 with a
// message). The other methods never call it and stay plain.
int qx_tls_start(diagstk_t *diag);
// Called when a configuration document has been applied: in a process that
// serves TLS, the context is rebuilt from the new settings, for connections
// accepted afterwards. -1 with a message when it cannot be built; the old
// context then stays, and the caller refuses the document.
int qx_tls_settings_applied(diagstk_t *diag);
// Drops the context (a process that ends, or a test).
void qx_tls_stop(void);
// True while the ports speak TLS.
bool qx_tls_active(void);

// Marks a connection just accepted on a port that speaks TLS: nothing is
// sent on it in clear text, whatever happens before the handshake.
void qx_tls_expect(io_in_t *input, io_out_t *output);
// The server side of the handshake on an accepted connection marked by
// qx_tls_expect, finished within `seconds` (0: no limit). The session
// belongs to the output channel, the input reads through it. -1 with
// "TLS handshake with %s failed - %s" on `diag`; -1 with nothing added
// when the stop notice (io_stop_notice) arrives first. With a verified
// client certificate its names become the input's identity.
int qx_tls_accept(diagstk_t *diag, io_in_t *input, io_out_t *output, std::uint32_t seconds);

// One read through `ssl` on its non-blocking socket `fd`, waiting for the
// peer until `deadline` (CLOCK_MONOTONIC milliseconds; 0: none). A count,
// 0 at the peer's end (close_notify or a plain close), -1 with errno set:
// ETIMEDOUT at the deadline, EINTR for a signal, EPROTO for a TLS fault.
ssize_t qx_tls_read(SSL *ssl, int fd, char *buf, std::size_t len, std::int64_t deadline);
// Sends all `len` bytes (waiting while the socket is full). 0, or -1 with
// errno set; a peer that has gone gives EPIPE or ECONNRESET as a plain send
// does.
int qx_tls_write(SSL *ssl, int fd, const char *buf, std::size_t len);
// Bytes already decrypted and waiting to be read: a wait for input must
// count them as readable, the socket will not show them.
bool qx_tls_pending(const SSL *ssl);
// Ends a session: close_notify when the peer is still there, then frees it.
void qx_tls_close(SSL *ssl, bool notify);
