// iodef.h - input and output channels over standard streams, files and TCP
// sockets; listening sockets; the registry of files a forked child closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <span>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

#include "diag.h"
#include "http.h"

enum xml_input_method : std::int32_t {
    XML_INPUT_METHOD_STDIN = 0,
    XML_INPUT_METHOD_FILE = 1,
    XML_INPUT_METHOD_LISTEN = 2,
};

enum xml_output_method : std::int32_t {
    XML_OUTPUT_METHOD_STDOUT = 0,
    XML_OUTPUT_METHOD_FILE = 1,
    XML_OUTPUT_METHOD_LISTEN = 2,
};

enum listen_port_type : std::int32_t {
    TYPE_SQL_PORT = 0,
    TYPE_CONTROL_PORT = 1,
};

typedef int a_sock_t;  // -1: no socket
struct ssl_st;

// io_in_s.state bits
inline constexpr std::uint32_t IO_STATE_EOF = 1;   // peer closed the socket
inline constexpr std::uint32_t IO_STATE_ERROR = 2; // a read failed
// Part of a document has been read and its root element has not closed:
// an end of input now cuts a request short, it does not end a connection
// between requests.
inline constexpr std::uint32_t IO_STATE_DOCUMENT = 8;
inline constexpr std::uint32_t IO_STATE_TIMEOUT = 16;  // the document's deadline passed
inline constexpr std::uint32_t IO_STATE_TOO_LARGE = 32;  // the document passed the size limit
// The request named a data source its client may not use.
inline constexpr std::uint32_t IO_STATE_DENIED = 64;
// io_out_s.state bit: a send failed because the peer has gone (EPIPE,
// ECONNRESET). Nothing more is sent; the writer abandons its answer.
inline constexpr std::uint32_t IO_STATE_PEER_GONE = 4;

typedef struct io_desc_file_s {
    FILE *fp;        // null when closed
    char *filespec;  // owned heap copy, or null for the standard streams
} io_desc_file_t;

// The text a connection over a Unix-domain socket gives as its client
// address: it has no network address, and this is what statistics, events
// and traces show for it.
inline constexpr const char *IO_LOCAL_CLIENT = "local";
inline constexpr std::size_t IO_ADDRESS_SIZE = 64;

typedef struct io_desc_listen_s {
    std::uint32_t port;
    a_sock_t listen_sock;
    a_sock_t sock;
    listen_port_type type;
    bool borrowed;  // input side of an accepted connection: the output owns `sock`
    // The listener's address (io_listen_address); empty is "*". "none"
    // opens no TCP listener on a control channel.
    char address[IO_ADDRESS_SIZE];
    // A control channel may also listen on a Unix-domain socket: `local_sock`
    // is its listener, valid only while `local_path` (owned, removed from the
    // file system when the channel closes) is set.
    char *local_path;
    a_sock_t local_sock;
    // Peer address as text: dotted IPv4 (also for an IPv4-mapped IPv6
    // peer), IPv6, or IO_LOCAL_CLIENT. Empty when it could not be converted.
    char client_ip[INET6_ADDRSTRLEN];
    char client_name[64];
} io_desc_listen_t;

typedef struct io_in_s {
    xml_input_method method;
    union {
        io_desc_file_t file;
        io_desc_listen_t listen;
    } src;
    std::uint32_t state;
    // A channel that carries document after document (inetd, the
    // connection child): blanks between documents are skipped, and bytes
    // read past the end of one document are kept for the next. A channel
    // that carries one document ignores what follows it.
    bool many_documents;
    // Bytes read past the end of a document, handed out by io_read before
    // the descriptor is read again; released by io_close_channels.
    std::string pending;
    std::size_t pending_used;  // how many of them io_read has handed out
    // Time limit of the document being read from a socket (io_set_deadline):
    // io_read fails once `deadline` has passed (CLOCK_MONOTONIC
    // milliseconds; 0: none). `deadline_seconds` is the limit as it was set,
    // for the message.
    std::int64_t deadline;
    std::uint32_t deadline_seconds;
    // The TLS session of an accepted connection, borrowed from the output
    // channel: reads go through it. Null for a plain connection.
    ssl_st *tls = nullptr;
    // The connection came to a port that speaks TLS.
    bool tls_expected = false;
    // Who the client is, from the certificate it presented and the server
    // verified (TlsClientCA): the subject's common name first, then its DNS
    // and email alternative names. Empty for a connection without one.
    std::vector<std::string> identity;
    // The framing of an HTTP request body being read: io_read then hands
    // out the body's bytes only, and 0 at its end.
    http_body_t http;
} io_in_t;

typedef struct io_out_s {
    xml_output_method method;
    union {
        io_desc_file_t file;
        io_desc_listen_t listen;
        std::uint32_t written;  // bytes sent on a socket output
    } dst;
    std::uint32_t state;  // IO_STATE_PEER_GONE
    // Socket output is collected here and sent when full, at the end of an
    // answer (io_flush) and at close: fewer sends, the same bytes.
    char *buf;            // owned, IO_SOCKET_BUFFER bytes, allocated on first use
    std::uint32_t buf_len;
    // The TLS session of an accepted connection once its handshake is done:
    // owned like the socket, ended when the channel closes.
    ssl_st *tls = nullptr;
    // The connection came to a port that speaks TLS: nothing is sent on it
    // without a session, not even a refusal.
    bool tls_expected = false;
    // An HTTP answer being sent: what is written is its body, framed as
    // the head says; io_flush ends it.
    http_answer_t http;
} io_out_t;

inline constexpr std::uint32_t IO_SOCKET_BUFFER = 64 * 1024;

// Opens both channels by their methods: streams, files, or the request
// listener on src.listen.port. 0, or -1 with a message.
int io_open_channels(io_in_t *input, io_out_t *output, diagstk_t *diag);
// Closes what the channels hold; either may be null. Input first.
int io_close_channels(io_in_t *input, io_out_t *output, diagstk_t *diag);
// One read of at most `buflen` bytes: count, 0 at end of input, -1 failure.
// Bytes put back with io_unread come first.
ssize_t io_read(io_in_t *input, char *buf, std::size_t buflen, diagstk_t *diag);
// Puts `bytes` (read past the end of a document) back in front of what
// io_read hands out next; the channel keeps its own copy.
void io_unread(io_in_t *input, std::string_view bytes);
// True when a read would return at once: bytes put back, a socket with
// data or at its end, or a stream (read in whole buffers until its end
// anyway). False when a read would wait for the peer.
bool io_input_ready(io_in_t *input);
// Writes `buflen` bytes (strlen(buf) when 0). 0 or more, -1 on failure.
int io_write(io_out_t *output, diagstk_t *diag, const char *buf, std::size_t buflen);
// Sends what a socket output has collected: the end of an answer. An HTTP
// answer ends with it. 0, or -1 after a failed send.
int io_flush(io_out_t *output, diagstk_t *diag);
// printf-style write through a 1024-byte buffer (longer text is cut).
[[gnu::format(printf, 3, 4)]] int io_writef(io_out_t *output, diagstk_t *diag,
                                            const char *fmt, ...);
// Waits until a socket input is readable (data or the end of input), at
// most `limit_seconds` (0: no limit). A stream input, or one holding bytes
// put back with io_unread, is ready at once.
// Returns 1 ready, 0 the limit passed first, -1 the connection is to end
// without another request: the stop notice arrived (io_set_stop_notice) or
// SIGINT/SIGTERM did (process_signals).
int io_wait_read_ready(io_in_t *input, std::uint32_t limit_seconds);
// Starts the time limit of the document about to be read: a socket read
// after `seconds` from now fails with IO_STATE_TIMEOUT and the message
// "Request timed out - no complete request within %d seconds". 0 clears it.
void io_set_deadline(io_in_t *input, std::uint32_t seconds);
// A descriptor that becomes readable when connections waiting between
// requests are to end (the standalone server closes the other end of a pipe
// when it shuts down; its children inherit this one). -1: none.
void io_set_stop_notice(int fd);
// The stop notice this process watches; -1: none.
int io_stop_notice(void);
// TCP keep-alive on a connected socket, so that a peer whose host has
// vanished is noticed within minutes. Failures (not a TCP socket) are
// ignored.
void io_keep_alive(a_sock_t sock);

// ---------------------------------------------------- listeners and accepting

int io_start_winsock(diagstk_t *diag);
int io_stop_winsock(diagstk_t *diag);
// The socket address a listener on `text` and `port` binds: "*" (or an
// empty text) every IPv4 interface; "::" every interface, IPv6 and IPv4;
// else an IPv4 or IPv6 literal address. False when `text` is none of
// these (a host name included: nothing is looked up).
// The text of a peer address as clients are known by: dotted IPv4, IPv6,
// an IPv4-mapped IPv6 peer as its IPv4 address, IO_LOCAL_CLIENT for a
// Unix-domain peer; empty when it cannot be converted.
void io_peer_text(const sockaddr_storage &peer, char *buf, std::size_t size);
bool io_listen_address(const char *text, std::uint32_t port, sockaddr_storage *addr,
                       socklen_t *len);
// Opens the control listener on input->src.listen.port and .address (the
// caller reads the ControlPort and ControlListenAddress settings); an
// address of "none" opens no TCP listener, only the channel. 0, or -1 with
// a message.
int io_open_control_channel(diagstk_t *diag, io_in_t *input, io_out_t *output);
// Adds a Unix-domain listener at `path` to the control channel `input`,
// mode 0660 from its creation. A socket nobody listens on (left by a
// crash) is replaced; anything else at the path is refused, and so is a
// path longer than a socket address holds. The socket is removed when the
// channel closes. 0, or -1 with a message.
int io_open_control_socket(diagstk_t *diag, io_in_t *input, const char *path);
// 1 request listener ready, 2 a control listener (TCP or Unix-domain)
// ready, 0 time-out or signal, -1 error.
int io_wait_for_connection(io_in_t *input, io_in_t *icontrol, diagstk_t *diag);
// The same wait, also woken by the descriptors in `also` (their revents
// are set) and after `timeout_ms` (-1: the usual 5 seconds). 0 when only
// those woke it.
int io_wait_for_connection(io_in_t *input, io_in_t *icontrol, diagstk_t *diag,
                           std::span<pollfd> also, int timeout_ms);
// Accepts one connection on the input's listener. The output channel owns
// the new socket (it answers and closes it); the input reads from it. What
// an earlier connection left on the two records (state bits, a deadline)
// is cleared first: per-connection state lives from accept to close.
int io_accept_connection(io_in_t *input, io_out_t *output, diagstk_t *diag);
// Closes this process's descriptor of the accepted connection without
// ending the connection (a forked child serves it). 0, or close's -1.
int io_hand_over_connection(io_in_t *input, io_out_t *output);
// Puts the connection `sock` from `client_ip` on the records as an accept
// would, to answer it later than it was accepted.
void io_adopt_connection(io_in_t *input, io_out_t *output, a_sock_t sock, const char *client_ip,
                         bool tls_expected);
// Sends what the output holds and takes the connection off the records
// without closing it: the caller owns it now. -1 when there was none.
a_sock_t io_release_connection(io_in_t *input, io_out_t *output, diagstk_t *diag);
int io_get_port(a_sock_t sock, int *port);

// ------------------------------------------------------ open file registry

enum io_register_op : int {
    IO_REGISTER_ADD = 1,
    IO_REGISTER_CLOSE = 2,
    IO_REGISTER_REMOVE = 3,
    IO_REGISTER_INIT = 4,
};
inline constexpr int IO_REGISTER_MAX = 20;

// Registers (and marks close-on-exec) a descriptor or the address of a
// stream variable, closes all of them in a forked child, or forgets one.
int io_register_file(diagstk_t *diag, int operation, int *infd, FILE **infp);
