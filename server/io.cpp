// io.cpp - request and response channels over standard streams, files and
// TCP sockets; listeners and accepting; the open-file registry.

#include "iodef.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "config.h"
#include "log.h"
#include "signals.h"
#include "tls.h"

namespace {

constexpr const char *OPEN_OP = "io_open_channels";
constexpr const char *CLOSE_OP = "io_close_channels";
// The control port is served one connection at a time by the server loop
// itself; a few waiting administrators are all it ever sees.
constexpr int CONTROL_BACKLOG = 5;

// Discarding what a peer still sends when its connection closes: a pause
// of 50 ms ends it, and the whole of it takes at most a second, however
// steadily the peer keeps sending (the server loop closes refused clients).
constexpr int DRAIN_GAP_MS = 50;
constexpr int DRAIN_BUDGET_MS = 1000;

// Readable when connections waiting between requests are to end.
int stop_notice = -1;

std::int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until `deadline` for poll: 0 when it has passed, -1
// (no limit) when there is none. A poll that returns 0 before a distant
// deadline (past the longest wait one poll takes) is simply repeated.
int poll_timeout(std::int64_t deadline)
{
    if (deadline == 0) return -1;
    return static_cast<int>(std::clamp<std::int64_t>(deadline - now_ms(), 0, 24 * 3600 * 1000));
}

std::int64_t deadline_after(std::uint32_t seconds)
{
    return seconds == 0 ? 0 : now_ms() + static_cast<std::int64_t>(seconds) * 1000;
}

// What one connection leaves on the records it was accepted into: state
// bits, a deadline, bytes read past a document. Cleared at accept and at
// close, so that a record the server reuses never hands one client's fault,
// or its bytes, to the next.
void clear_input_connection(io_in_t *input)
{
    input->state = 0;
    input->tls = nullptr;  // borrowed from the output channel
    input->tls_expected = false;
    std::vector<std::string>().swap(input->identity);
    input->deadline = 0;
    input->deadline_seconds = 0;
    std::string().swap(input->pending);
    input->pending_used = 0;
    input->http = http_body_t{};
}

void clear_output_connection(io_out_t *output)
{
    output->state = 0;
    output->buf_len = 0;
    output->tls = nullptr;  // closed by then: see close_output_socket
    output->tls_expected = false;
    // Moved out, not assigned over: the strings' memory goes with the
    // connection (an assignment would keep it in the reused record).
    { const http_answer_t gone = std::move(output->http); }
    output->http = http_answer_t{};
}

const char *name_or(const char *filespec, const char *fallback)
{
    return filespec != nullptr ? filespec : fallback;
}

// Creates, registers, binds and starts a listener on the channel's address
// and `port` with room for `backlog` connections not yet accepted; -1 after
// one message. Shared by the request and control channels.
int open_listener(io_in_t *input, std::uint32_t port, int backlog, const char *op,
                  diagstk_t *diag)
{
    if (io_start_winsock(diag) < 0) return -1;
    sockaddr_storage addr{};
    socklen_t addr_len = 0;
    if (!io_listen_address(input->src.listen.address, port, &addr, &addr_len)) {
        diagstk_add(diag, 3, "Failed to create listening socket - invalid address \"%s\"",
                    input->src.listen.address);
        return -1;
    }
    int sock = socket(addr.ss_family, SOCK_STREAM, 0);
    if (sock < 0) {
        diagstk_add(diag, 3, "Failed to create listening socket - %s", std::strerror(errno));
        return -1;
    }
    if (io_register_file(diag, IO_REGISTER_ADD, &sock, nullptr) < 0) {
        if (qx_tracing(QX_LOG_CHANNEL)) qx_log("%s()=-1 (io_register_file(sock) failed\n", op);
        return -1;
    }
    int one = 1, zero = 0;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // "::" takes IPv4 clients too, whatever the system's default is.
    if (addr.ss_family == AF_INET6) setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(sock, reinterpret_cast<sockaddr *>(&addr), addr_len) < 0) {
        diagstk_add(diag, 3, "failed to bind socket to port %lu - %s",
                    static_cast<unsigned long>(port), std::strerror(errno));
        return -1;
    }
    if (listen(sock, backlog) < 0) {
        diagstk_add(diag, 3, "failed to start listening on socket - %s", std::strerror(errno));
        return -1;
    }
    input->src.listen.listen_sock = sock;
    input->src.listen.sock = -1;
    return qx_ignore_sigpipe(diag);
}

// Opens a file channel's named file; -1 after one message.
int open_file(io_desc_file_t *f, const char *mode, const char *access, diagstk_t *diag)
{
    f->fp = std::fopen(f->filespec, mode);
    if (f->fp == nullptr) {
        diagstk_add(diag, 3, "Failed to open %s for %s access - %s", f->filespec, access,
                    std::strerror(errno));
        return -1;
    }
    return 0;
}

int open_input(io_in_t *input, diagstk_t *diag)
{
    switch (input->method) {
    case XML_INPUT_METHOD_STDIN:
        input->src.file.fp = stdin;
        return 0;
    case XML_INPUT_METHOD_FILE: return open_file(&input->src.file, "r", "read", diag);
    case XML_INPUT_METHOD_LISTEN:
        // A burst of clients connecting at once must find room in the queue:
        // the kernel drops a connection that finds none, and the client
        // tries again only after a second (or meets a reset).
        return open_listener(input, input->src.listen.port,
                             static_cast<int>(ini_listen_backlog), OPEN_OP, diag);
    }
    return 0;
}

int open_output(io_out_t *output, diagstk_t *diag)
{
    switch (output->method) {
    case XML_OUTPUT_METHOD_STDOUT:
        output->dst.file.fp = stdout;
        return 0;
    case XML_OUTPUT_METHOD_FILE: return open_file(&output->dst.file, "w", "write", diag);
    case XML_OUTPUT_METHOD_LISTEN:
        output->dst.listen.sock = -1;
        return 0;
    }
    return 0;
}

// Closes a file channel's stream and frees its path; -1 on a failed close.
int close_file(io_desc_file_t *f, const char *what, diagstk_t *diag)
{
    if (f->fp != nullptr) {
        const int r = std::fclose(f->fp);
        f->fp = nullptr;
        if (r != 0) {
            diagstk_add(diag, 3, "%s: Failed to close %s - %s", CLOSE_OP, name_or(f->filespec, what),
                        std::strerror(errno));
            std::free(f->filespec);  // the stream is gone either way
            f->filespec = nullptr;
            return -1;
        }
    }
    std::free(f->filespec);
    f->filespec = nullptr;
    return 0;
}

int close_input(io_in_t *input, diagstk_t *diag)
{
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    std::string().swap(input->pending);
    input->pending_used = 0;
    if (input->method == XML_INPUT_METHOD_FILE) {
        if (close_file(&input->src.file, "input file", diag) < 0) {
            if (trace) qx_log("-%s()=-1 (failed to close input file)\n", CLOSE_OP);
            return -1;
        }
        return 0;
    }
    if (input->method != XML_INPUT_METHOD_LISTEN) return 0;
    io_desc_listen_t &l = input->src.listen;
    if (l.listen_sock != -1) {
        if (close(l.listen_sock) < 0) {
            diagstk_add(diag, 3, "%s: Failed to close socket %d - %s", CLOSE_OP, l.listen_sock,
                        std::strerror(errno));
            if (trace) qx_log("-%s()=-1 (failed to close listening socket)\n", CLOSE_OP);
            return -1;
        }
        l.listen_sock = -1;
    }
    if (l.local_path != nullptr) {
        io_register_file(nullptr, IO_REGISTER_REMOVE, &l.local_sock, nullptr);
        close(l.local_sock);
        // Only a socket is removed: whatever else has taken the path since
        // is not ours.
        struct stat st {};
        if (lstat(l.local_path, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(l.local_path);
        std::free(l.local_path);
        l.local_path = nullptr;
        l.local_sock = -1;
    }
    // An accepted connection belongs to the output channel, which closes it
    // after the answer; the input only reads from it.
    const int sock = l.sock;
    const bool owned = !l.borrowed;
    l.sock = -1;
    input->tls = nullptr;
    std::vector<std::string>().swap(input->identity);  // the connection's, freed with it
    l.borrowed = false;
    if (sock == -1 || !owned) return 0;
    if (shutdown(sock, SHUT_RDWR) < 0) {
        diagstk_add(diag, 3, "%s: Failed to shutdown input socket %d - %s", CLOSE_OP, sock,
                    std::strerror(errno));
        if (trace) qx_log("-%s()=-1 (Failed to shutdown accepted socket)\n", CLOSE_OP);
        close(sock);  // reported, but the descriptor is not kept open for it
        return -1;
    }
    if (close(sock) < 0) {
        diagstk_add(diag, 3, "%s: Failed to close socket %d - %s", CLOSE_OP, sock,
                    std::strerror(errno));
        if (trace) qx_log("-%s()=-1 (Failed to close accepted socket)\n", CLOSE_OP);
        return -1;
    }
    return 0;
}

// Reads and discards what the peer still sends, until it pauses for
// DRAIN_GAP_MS, closes, or DRAIN_BUDGET_MS have passed.
void drain(int sock)
{
    char scratch[1024];
    const std::int64_t until = now_ms() + DRAIN_BUDGET_MS;
    for (;;) {
        pollfd p{sock, POLLIN, 0};
        const int wait = std::min(DRAIN_GAP_MS, poll_timeout(until));
        if (wait <= 0 || poll(&p, 1, wait) <= 0) break;
        const ssize_t n = recv(sock, scratch, sizeof scratch, 0);
        if (n == 0 || n == -1) break;
    }
}

// Graceful close: stop sending, discard what the peer still sends so that
// it gets our whole answer rather than a reset, then close. The connection's
// state ends with it.
int close_output_socket(io_out_t *output, diagstk_t *diag)
{
    const int sock = output->dst.listen.sock;
    // A TLS session says goodbye first, unless its peer has gone.
    qx_tls_close(output->tls, !(output->state & IO_STATE_PEER_GONE));
    output->tls = nullptr;
    if (shutdown(sock, SHUT_WR) < 0) {
        std::fputs("shutdown error\n", stdout);
        diagstk_add(diag, 3, "%s: Failed to shutdown output socket %d - %s", CLOSE_OP, sock,
                    std::strerror(errno));
        if (qx_tracing(QX_LOG_CHANNEL))
            qx_log("-%s()=-1 (Failed to shutdown accepted socket)\n", CLOSE_OP);
    }
    drain(sock);
    shutdown(sock, SHUT_RD);
    output->dst.listen.sock = -1;
    clear_output_connection(output);
    if (close(sock) < 0) {
        diagstk_add(diag, 3, "%s: Failed to close socket %d - %s", CLOSE_OP, sock,
                    std::strerror(errno));
        if (qx_tracing(QX_LOG_CHANNEL))
            qx_log("-%s()=-1 (Failed to close accepted socket)\n", CLOSE_OP);
        return -1;
    }
    return 0;
}

int close_output(io_out_t *output, diagstk_t *diag)
{
    if (output->method == XML_OUTPUT_METHOD_LISTEN) {
        if (output->dst.listen.sock != -1) io_flush(output, diag);
        std::free(output->buf);
        output->buf = nullptr;
        output->buf_len = 0;
    }
    if (output->method == XML_OUTPUT_METHOD_FILE) {
        if (close_file(&output->dst.file, "output file", diag) < 0) {
            if (qx_tracing(QX_LOG_CHANNEL))
                qx_log("-%s()=-1 (Failed to close output file)\n", CLOSE_OP);
            return -1;
        }
        return 0;
    }
    if (output->method == XML_OUTPUT_METHOD_LISTEN && output->dst.listen.sock != -1)
        return close_output_socket(output, diag);
    return 0;
}

}  // namespace

int io_open_channels(io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    if (trace)
        qx_log("%s(%p,%p,%p)\n", OPEN_OP, static_cast<void *>(input), static_cast<void *>(output),
               static_cast<void *>(diag));
    if (open_input(input, diag) < 0 || open_output(output, diag) < 0) {
        if (trace) qx_log("%s()=-1\n", OPEN_OP);
        return -1;
    }
    if (trace) qx_log("-%s()=0\n", OPEN_OP);
    return 0;
}

int io_close_channels(io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    if (trace)
        qx_log("%s(%p,%p,%p)\n", CLOSE_OP, static_cast<void *>(input),
               static_cast<void *>(output), static_cast<void *>(diag));
    if (input != nullptr && close_input(input, diag) < 0) return -1;
    if (output != nullptr && close_output(output, diag) < 0) return -1;
    if (trace) qx_log("-%s()=0\n", CLOSE_OP);
    return 0;
}

namespace {

bool has_pending(const io_in_t *input) { return input->pending_used < input->pending.size(); }

// Hands out up to `buflen` of the bytes put back. Served from an offset, so
// a long remainder costs one copy per read, not one per byte left.
std::size_t read_pending(io_in_t *input, char *buf, std::size_t buflen)
{
    const std::size_t n = std::min(buflen, input->pending.size() - input->pending_used);
    std::memcpy(buf, input->pending.data() + input->pending_used, n);
    input->pending_used += n;
    if (!has_pending(input)) {
        std::string().swap(input->pending);
        input->pending_used = 0;
    }
    return n;
}

// Before a socket read under a deadline: 1 when the socket is readable in
// time (or there is no deadline), 0 when the deadline passes first, -1 when
// the wait failed (errno says why; EINTR for a signal).
int wait_for_deadline(const io_in_t *input)
{
    if (input->deadline == 0) return 1;
    pollfd p{input->src.listen.sock, POLLIN, 0};
    for (;;) {
        const int timeout = poll_timeout(input->deadline);
        if (timeout == 0) return 0;  // however steadily the peer sends: the document is late
        const int r = poll(&p, 1, timeout);
        if (r != 0) return r > 0 ? 1 : r;
    }
}

}  // namespace

namespace {

ssize_t read_raw(io_in_t *input, char *buf, std::size_t buflen, diagstk_t *diag)
{
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    if (trace)
        qx_log("%s(%p,%p,%ld)\n", "io_read", static_cast<void *>(input), static_cast<void *>(buf),
               static_cast<long>(buflen));
    if (has_pending(input) && buflen > 0) {
        const std::size_t n = read_pending(input, buf, buflen);
        if (trace) qx_log("\tread %d bytes kept from an earlier read\n", static_cast<int>(n));
        return static_cast<ssize_t>(n);
    }
    switch (input->method) {
    case XML_INPUT_METHOD_STDIN:
    case XML_INPUT_METHOD_FILE: {
        FILE *fp = input->src.file.fp;
        const std::size_t n = std::fread(buf, 1, buflen, fp);
        if (n == 0 && !std::feof(fp) && std::ferror(fp)) {
            input->state |= IO_STATE_ERROR;
            diagstk_add(diag, 3, "%s: Failed to read from file %s - %s", "io_read",
                        name_or(input->src.file.filespec, "input file"), std::strerror(errno));
            return -1;
        }
        return static_cast<ssize_t>(n);
    }
    case XML_INPUT_METHOD_LISTEN: {
        // Not retried after a signal: SIGTERM must be able to end a child
        // that is blocked waiting for a request.
        const int sock = input->src.listen.sock;
        ssize_t n = -1;
        bool late = false;
        if (input->tls != nullptr) {
            n = qx_tls_read(input->tls, sock, buf, buflen, input->deadline);
            late = n < 0 && errno == ETIMEDOUT;
        } else {
            const int ready = wait_for_deadline(input);
            late = ready == 0;
            if (ready > 0) n = recv(sock, buf, buflen, 0);
        }
        if (n == 0) input->state |= IO_STATE_EOF;
        if (late) {
            input->state |= IO_STATE_TIMEOUT;
            diagstk_add(diag, 3, "Request timed out - no complete request within %d seconds",
                        static_cast<int>(input->deadline_seconds));
        } else if (n < 0) {
            input->state |= IO_STATE_ERROR;
            diagstk_add(diag, 3, "%s: Failed to read from socket %d - %s", "io_read", sock,
                        std::strerror(errno));
        }
        if (trace) qx_log("\tread %d bytes\n", static_cast<int>(n));
        return n;
    }
    }
    std::abort();
}

// The body of an HTTP request: a body that ends before its length or its
// last chunk is cut short, like a raw document ended by a close.
ssize_t read_body(io_in_t *input, char *buf, std::size_t buflen, diagstk_t *diag)
{
    http_body_t &b = input->http;
    if (b.framing == http_framing::length) {
        if (b.remaining == 0 || buflen == 0) return 0;
        const ssize_t n =
            read_raw(input, buf, static_cast<std::size_t>(std::min<unsigned long long>(buflen, b.remaining)), diag);
        if (n > 0) b.remaining -= static_cast<unsigned long long>(n);
        return n;
    }
    for (;;) {
        if (b.state == chunk_state::done) return 0;
        if (b.state == chunk_state::failed) {
            input->state |= IO_STATE_ERROR;
            diagstk_add(diag, 3, "Bad HTTP request - malformed chunked body");
            return -1;
        }
        const ssize_t n = read_raw(input, buf, buflen, diag);
        if (n <= 0) return n;
        std::size_t out = 0;
        const std::size_t used = http_chunk_decode(b, buf, static_cast<std::size_t>(n), &out);
        // What follows the last chunk is the next request's.
        if (b.state == chunk_state::done && used < static_cast<std::size_t>(n))
            io_unread(input, std::string_view(buf + used, static_cast<std::size_t>(n) - used));
        if (out > 0) return static_cast<ssize_t>(out);
    }
}

}  // namespace

ssize_t io_read(io_in_t *input, char *buf, std::size_t buflen, diagstk_t *diag)
{
    if (input->http.framing != http_framing::none) return read_body(input, buf, buflen, diag);
    return read_raw(input, buf, buflen, diag);
}

void io_unread(io_in_t *input, std::string_view bytes)
{
    // What is still unread stays behind the bytes put back.
    input->pending.replace(0, input->pending_used, bytes);
    input->pending_used = 0;
}

bool io_input_ready(io_in_t *input)
{
    if (has_pending(input) || input->method != XML_INPUT_METHOD_LISTEN) return true;
    if (qx_tls_pending(input->tls)) return true;
    pollfd p{input->src.listen.sock, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

namespace {

// Sends `len` bytes in as many sends as the socket needs. A peer that has
// gone marks the channel so that the writer can stop its answer.
int send_all(io_out_t *output, diagstk_t *diag, const char *buf, std::size_t len)
{
    const int sock = output->dst.listen.sock;
    // A connection on a port that speaks TLS gets nothing in clear text:
    // before (or without) its handshake, what would be sent is dropped.
    if (output->tls_expected && output->tls == nullptr) return 0;
    if (output->tls != nullptr) {
        if (qx_tls_write(output->tls, sock, buf, len) == 0) {
            output->dst.written += static_cast<std::uint32_t>(len);
            return 0;
        }
        // A broken session can carry nothing more either.
        const int err = errno;
        if (err == EPIPE || err == ECONNRESET || err == EPROTO) output->state |= IO_STATE_PEER_GONE;
        diagstk_add(diag, 3, "%s: Failed to write %d bytes to socket %d - %s", "io_write",
                    static_cast<int>(len), sock, std::strerror(err));
        return -1;
    }
    std::size_t sent = 0;
    ssize_t last = 0;
    while (sent != len) {
        last = send(sock, buf + sent, len - sent, 0);
        if (last < 0 && errno == EINTR) continue;
        if (last < 0) {
            const int err = errno;
            if (err == EPIPE || err == ECONNRESET) output->state |= IO_STATE_PEER_GONE;
            diagstk_add(diag, 3, "%s: Failed to write %d bytes to socket %d - %s", "io_write",
                        static_cast<int>(len), sock, std::strerror(err));
            break;
        }
        sent += static_cast<std::size_t>(last);
    }
    output->dst.written += static_cast<std::uint32_t>(sent);
    return last < 0 ? -1 : 0;
}

// Sends part of an answer: as it is, or inside the HTTP response it is the
// body of: the head before the first part, then each part as one chunk
// (HTTP/1.0: as it is). One send per part, so that the framing never
// waits for an acknowledgement of a small segment of its own.
int send_part(io_out_t *output, diagstk_t *diag, const char *buf, std::size_t len)
{
    http_answer_t &a = output->http;
    if (!a.active) return send_all(output, diag, buf, len);
    a.frame.clear();
    if (!a.head_sent) {
        a.chunked = a.minor >= 1;
        http_append_head(a, -1, a.frame);
        a.head_sent = true;
    }
    if (a.chunked) {
        char size[24];
        std::snprintf(size, sizeof size, "%zx\r\n", len);
        a.frame += size;
    }
    a.frame.append(buf, len);
    if (a.chunked) a.frame += "\r\n";
    return send_all(output, diag, a.frame.data(), a.frame.size());
}

// Ends an HTTP answer: all of it with its length when nothing was sent
// yet, else the collected rest and the last chunk.
int end_http_answer(io_out_t *output, diagstk_t *diag, const char *buf, std::size_t len)
{
    http_answer_t &a = output->http;
    a.active = false;
    a.frame.clear();
    if (!a.head_sent) {
        http_append_head(a, static_cast<long long>(len), a.frame);
        a.head_sent = true;
    } else if (a.chunked && len > 0) {
        char size[24];
        std::snprintf(size, sizeof size, "%zx\r\n", len);
        a.frame += size;
    }
    if (len > 0) a.frame.append(buf, len);
    if (a.chunked) a.frame += len > 0 ? "\r\n0\r\n\r\n" : "0\r\n\r\n";
    return send_all(output, diag, a.frame.data(), a.frame.size());
}

// Sends what the buffer holds in the middle of an answer.
int send_collected(io_out_t *output, diagstk_t *diag)
{
    const std::uint32_t len = output->buf_len;
    output->buf_len = 0;
    if (len == 0) return 0;
    if (output->state & IO_STATE_PEER_GONE) return -1;
    return send_part(output, diag, output->buf, len);
}

int write_socket(io_out_t *output, diagstk_t *diag, const char *buf, std::size_t len)
{
    if (output->state & IO_STATE_PEER_GONE) return -1;  // nobody is reading any more
    if (len == 0) return 0;
    if (output->buf == nullptr) {
        output->buf = static_cast<char *>(std::malloc(IO_SOCKET_BUFFER));
        output->buf_len = 0;
        if (output->buf == nullptr) return send_part(output, diag, buf, len);
    }
    if (output->buf_len + len > IO_SOCKET_BUFFER && send_collected(output, diag) < 0) return -1;
    if (len >= IO_SOCKET_BUFFER) return send_part(output, diag, buf, len);
    std::memcpy(output->buf + output->buf_len, buf, len);
    output->buf_len += static_cast<std::uint32_t>(len);
    return 0;
}

}  // namespace

int io_flush(io_out_t *output, diagstk_t *diag)
{
    if (output->method != XML_OUTPUT_METHOD_LISTEN) return 0;
    const std::uint32_t len = output->buf_len;
    output->buf_len = 0;
    if (output->state & IO_STATE_PEER_GONE) return -1;
    if (output->http.active) return end_http_answer(output, diag, output->buf, len);
    if (len == 0) return 0;
    return send_all(output, diag, output->buf, len);
}

int io_write(io_out_t *output, diagstk_t *diag, const char *buf, std::size_t buflen)
{
    if (buflen == 0) buflen = std::strlen(buf);
    switch (output->method) {
    case XML_OUTPUT_METHOD_STDOUT:
    case XML_OUTPUT_METHOD_FILE:
        if (buflen == 0) return 0;
        // One process, one thread: the stream needs no locking per write.
        if (fwrite_unlocked(buf, 1, buflen, output->dst.file.fp) < buflen) {
            diagstk_add(diag, 3, "%s: Failed to write to %s - %s", "io_write",
                        name_or(output->dst.file.filespec, "output file"), std::strerror(errno));
            return -1;
        }
        return 0;
    case XML_OUTPUT_METHOD_LISTEN: return write_socket(output, diag, buf, buflen);
    }
    return 0;
}

int io_writef(io_out_t *output, diagstk_t *diag, const char *fmt, ...)
{
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    if (trace)
        qx_log("%s(%p,%p,...)\n", "io_writef", static_cast<void *>(output),
               static_cast<const void *>(fmt));
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    const int r = io_write(output, diag, buf, 0);
    if (trace) qx_log("%s()=%d\n", "io_writef", r);
    return r;
}

int io_wait_read_ready(io_in_t *input, std::uint32_t limit_seconds)
{
    if (input->method != XML_INPUT_METHOD_LISTEN) return 1;
    if (has_pending(input) || qx_tls_pending(input->tls)) {
        // A request already here still yields to a shutdown.
        pollfd stop{stop_notice, POLLIN, 0};
        return stop_notice >= 0 && poll(&stop, 1, 0) > 0 ? -1 : 1;
    }
    const std::int64_t until = deadline_after(limit_seconds);
    pollfd fds[2] = {{input->src.listen.sock, POLLIN, 0}, {stop_notice, POLLIN, 0}};
    const nfds_t n = stop_notice >= 0 ? 2 : 1;
    for (;;) {
        const int r = poll(fds, n, poll_timeout(until));
        // The stop notice wins over a request already waiting: a client
        // that keeps sending must not hold up a shutdown.
        if (r > 0) return n == 2 && fds[1].revents != 0 ? -1 : 1;
        if (r == 0 && poll_timeout(until) == 0) return 0;
        if (r < 0 && errno != EINTR) return 1;  // the read will tell what is wrong
        if (r < 0 && process_signals() == 2) return -1;
    }
}

void io_set_deadline(io_in_t *input, std::uint32_t seconds)
{
    input->deadline = deadline_after(seconds);
    input->deadline_seconds = seconds;
}

void io_set_stop_notice(int fd) { stop_notice = fd; }

int io_stop_notice(void) { return stop_notice; }

void io_keep_alive(a_sock_t sock)
{
    // First probe after a minute of silence, then every 10 s; six
    // unanswered probes end the connection.
    const int on = 1, idle = 60, interval = 10, probes = 6;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

// ------------------------------------------------------ listeners, accepting

int io_start_winsock(diagstk_t *diag)
{
    (void)diag;  // nothing to start for BSD sockets
    return 0;
}

int io_stop_winsock(diagstk_t *diag)
{
    (void)diag;
    return 0;
}

bool io_listen_address(const char *text, std::uint32_t port, sockaddr_storage *addr,
                       socklen_t *len)
{
    *addr = sockaddr_storage{};
    const auto net_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    auto *v4 = reinterpret_cast<sockaddr_in *>(addr);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(addr);
    if (text[0] == '\0' || std::strcmp(text, "*") == 0) {
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4->sin_port = net_port;
        *len = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = net_port;
        *len = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = net_port;
        *len = sizeof *v6;
        return true;
    }
    return false;
}

int io_open_control_channel(diagstk_t *diag, io_in_t *input, io_out_t *output)
{
    constexpr const char *op = "io_open_control_channels";
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    if (trace)
        qx_log("%s(%p,%p,%p)\n", op, static_cast<void *>(diag), static_cast<void *>(input),
               static_cast<void *>(output));
    input->method = XML_INPUT_METHOD_LISTEN;
    input->src.listen.listen_sock = -1;
    input->src.listen.sock = -1;
    if (std::strcmp(input->src.listen.address, "none") != 0 &&
        open_listener(input, input->src.listen.port, CONTROL_BACKLOG, op, diag) < 0) {
        if (trace) qx_log("%s()=-1\n", op);
        return -1;
    }
    output->method = XML_OUTPUT_METHOD_LISTEN;
    output->dst.listen.sock = -1;
    if (trace) qx_log("-%s()=0\n", op);
    return 0;
}

namespace {

// Clears the way for a new socket at `path`: nothing there, or a socket
// that nobody listens on any more (its server ended without removing it).
// A socket still served belongs to another server; anything that is not a
// socket is never removed.
int clear_socket_path(diagstk_t *diag, const sockaddr_un &addr)
{
    struct stat st {};
    if (lstat(addr.sun_path, &st) != 0) {
        if (errno == ENOENT) return 0;
        diagstk_add(diag, 4, "ControlSocket %s cannot be used - %s", addr.sun_path,
                    std::strerror(errno));
        return -1;
    }
    if (!S_ISSOCK(st.st_mode)) {
        diagstk_add(diag, 4,
                    "ControlSocket %s exists and is not a socket - not replacing it; remove it "
                    "or choose another path",
                    addr.sun_path);
        return -1;
    }
    // Not blocking: a live server with a full queue answers EAGAIN.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const bool served =
        probe >= 0 && (connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 ||
                       errno == EAGAIN);
    if (probe >= 0) close(probe);
    if (served) {
        diagstk_add(diag, 4,
                    "ControlSocket %s is in use by another server - stop it or choose another path",
                    addr.sun_path);
        return -1;
    }
    if (unlink(addr.sun_path) < 0 && errno != ENOENT) {
        diagstk_add(diag, 4,
                    "ControlSocket %s is left from an earlier run and cannot be removed - %s",
                    addr.sun_path, std::strerror(errno));
        return -1;
    }
    return 0;
}

// Binds `sock` at the address with mode 0660 from the moment the file
// appears: the process is single-threaded, so the narrowed umask affects
// nothing else.
int bind_private(int sock, const sockaddr_un &addr)
{
    const mode_t old = umask(0117);
    const int r = bind(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    const int err = errno;
    umask(old);
    errno = err;
    return r;
}

}  // namespace

int io_open_control_socket(diagstk_t *diag, io_in_t *input, const char *path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) {
        diagstk_add(diag, 4,
                    "ControlSocket %s is too long (at most %zu bytes) - choose a shorter path",
                    path, sizeof addr.sun_path - 1);
        return -1;
    }
    std::memcpy(addr.sun_path, path, std::strlen(path) + 1);
    if (clear_socket_path(diag, addr) < 0) return -1;
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock < 0) {
        diagstk_add(diag, 4, "Failed to create the control socket - %s", std::strerror(errno));
        return -1;
    }
    if (io_register_file(diag, IO_REGISTER_ADD, &sock, nullptr) < 0) {
        close(sock);
        return -1;
    }
    if (bind_private(sock, addr) < 0 || listen(sock, 5) < 0) {
        diagstk_add(diag, 4, "Cannot listen on ControlSocket %s - %s", path, std::strerror(errno));
        io_register_file(nullptr, IO_REGISTER_REMOVE, &sock, nullptr);
        close(sock);
        return -1;
    }
    input->src.listen.local_path = strdup(path);
    if (input->src.listen.local_path == nullptr) {
        diagstk_add(diag, 4, "Out of memory opening ControlSocket %s", path);
        io_register_file(nullptr, IO_REGISTER_REMOVE, &sock, nullptr);
        close(sock);
        unlink(path);
        return -1;
    }
    input->src.listen.local_sock = sock;
    return qx_ignore_sigpipe(diag);
}

namespace {

// The signal mask while waiting for a connection: the present one without
// the signals the standalone server acts on. The server blocks them outside
// this wait (qx_hold_signals), so one that arrives between its check of the
// flags and the wait is not lost, and none cuts another call short.
sigset_t wait_mask()
{
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    for (const int sig : {SIGINT, SIGHUP, SIGTERM, SIGCHLD}) sigdelset(&mask, sig);
    return mask;
}

}  // namespace

int io_wait_for_connection(io_in_t *input, io_in_t *icontrol, diagstk_t *diag)
{
    return io_wait_for_connection(input, icontrol, diag, {}, -1);
}

int io_wait_for_connection(io_in_t *input, io_in_t *icontrol, diagstk_t *diag,
                           std::span<pollfd> also, int timeout_ms)
{
    constexpr const char *op = "io_wait_connection";
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    if (trace)
        qx_log("%s(%p,%p,%p)\n", op, static_cast<void *>(input), static_cast<void *>(icontrol),
               static_cast<void *>(diag));
    const int lsock = input->src.listen.listen_sock;
    if (lsock == -1) {
        diagstk_add(diag, 3, "%s: Invalid request socket", op);
        if (trace) qx_log("%s()=-1\n", op);
        return -1;
    }
    const int csock = icontrol != nullptr ? icontrol->src.listen.listen_sock : -1;
    const int usock = icontrol != nullptr && icontrol->src.listen.local_path != nullptr
                          ? icontrol->src.listen.local_sock
                          : -1;
    if (icontrol != nullptr && csock == -1 && usock == -1) {
        diagstk_add(diag, 3, "%s: Invalid control socket", op);
        if (trace) qx_log("%s()=-1\n", op);
        return -1;
    }
    // The listeners first, then `also`; poll skips a negative descriptor.
    std::vector<pollfd> fds{{lsock, POLLIN, 0}, {csock, POLLIN, 0}, {usock, POLLIN, 0}};
    fds.insert(fds.end(), also.begin(), also.end());
    const int ms = timeout_ms < 0 ? 5000 : timeout_ms;
    const timespec tv{ms / 1000, (ms % 1000) * 1000000L};
    const sigset_t during = wait_mask();
    const int r = ppoll(fds.data(), fds.size(), &tv, &during);
    if (r > 0) {
        for (std::size_t i = 0; i < also.size(); i++) also[i].revents = fds[3 + i].revents;
        if (fds[0].revents != 0) return 1;
        if (fds[1].revents != 0 || fds[2].revents != 0) return 2;
        if (!also.empty()) return 0;
        diagstk_add(diag, 3,
                    "%s: Internal error, select returns read-ready but no recognised socket set "
                    "in mask",
                    op);
        if (trace) qx_log("%s()=-1\n", op);
        return -1;
    }
    if (r == 0) return 0;
    const int err = errno;
    diagstk_add(diag, 3, "%s: select failed with %s", op, std::strerror(err));
    const int result = err == EINTR ? 0 : -1;
    if (trace) qx_log("-%s()=%d\n", op, result);
    return result;
}

namespace {

// The listener of a channel a connection is waiting on: the TCP one unless
// only the Unix-domain one has a connection.
int ready_listener(const io_desc_listen_t &l)
{
    if (l.local_path == nullptr) return l.listen_sock;
    if (l.listen_sock == -1) return l.local_sock;
    pollfd p[2] = {{l.listen_sock, POLLIN, 0}, {l.local_sock, POLLIN, 0}};
    if (poll(p, 2, 0) > 0 && !(p[0].revents & POLLIN) && (p[1].revents & POLLIN))
        return l.local_sock;
    return l.listen_sock;
}

}  // namespace

// The client address as text. A peer of a listener on "::" that came over
// IPv4 arrives as ::ffff:a.b.c.d; it is written as the a.b.c.d it is, so
// that access lists, limits and statistics see one client, not two.
void io_peer_text(const sockaddr_storage &peer, char *buf, std::size_t size)
{
    char text[INET6_ADDRSTRLEN] = "";
    const char *r = nullptr;
    if (peer.ss_family == AF_UNIX) {
        r = std::strcpy(text, IO_LOCAL_CLIENT);
    } else if (peer.ss_family == AF_INET) {
        r = inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(peer).sin_addr, text,
                      sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr &a = reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr;
        r = IN6_IS_ADDR_V4MAPPED(&a) ? inet_ntop(AF_INET, a.s6_addr + 12, text, sizeof text)
                                     : inet_ntop(AF_INET6, &a, text, sizeof text);
    }
    std::snprintf(buf, size, "%s", r != nullptr ? text : "");
}

int io_accept_connection(io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    constexpr const char *op = "io_accept_connection";
    const bool trace = qx_tracing(QX_LOG_CHANNEL);
    if (trace)
        qx_log("%s(%p,%p,%p)\n", op, static_cast<void *>(input), static_cast<void *>(output),
               static_cast<void *>(diag));
    clear_input_connection(input);
    clear_output_connection(output);
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    const int sock =
        accept(ready_listener(input->src.listen), reinterpret_cast<sockaddr *>(&peer), &len);
    if (sock == -1) {
        diagstk_add(diag, 3, "%s: Failed to accept incoming connection - %s", op,
                    std::strerror(errno));
        if (trace) qx_log("%s()=-1\n", op);
        return -1;
    }
    char client[sizeof input->src.listen.client_ip];
    io_peer_text(peer, client, sizeof client);
    io_keep_alive(sock);
    io_adopt_connection(input, output, sock, client, false);
    if (trace) qx_log("-%s()=0\n", op);
    return 0;
}

namespace {

// Takes the connection off the records and returns it (-1: none).
a_sock_t detach_connection(io_in_t *input, io_out_t *output)
{
    const int sock = output->dst.listen.sock;
    output->dst.listen.sock = -1;
    input->src.listen.sock = -1;
    input->src.listen.borrowed = false;
    clear_input_connection(input);
    clear_output_connection(output);
    return sock;
}

}  // namespace

int io_hand_over_connection(io_in_t *input, io_out_t *output)
{
    const int sock = detach_connection(input, output);
    return sock == -1 ? 0 : close(sock);
}

void io_adopt_connection(io_in_t *input, io_out_t *output, a_sock_t sock, const char *client_ip,
                         bool tls_expected)
{
    clear_input_connection(input);
    clear_output_connection(output);
    // One owner: the output channel sends the answer and closes the
    // connection; the input reads from the same descriptor.
    output->dst.listen.sock = sock;
    input->src.listen.sock = sock;
    input->src.listen.borrowed = true;
    std::snprintf(input->src.listen.client_ip, sizeof input->src.listen.client_ip, "%s",
                  client_ip);
    input->tls_expected = tls_expected;
    output->tls_expected = tls_expected;
}

a_sock_t io_release_connection(io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    if (output->dst.listen.sock == -1) return -1;
    io_flush(output, diag);
    std::free(output->buf);
    output->buf = nullptr;
    output->buf_len = 0;
    return detach_connection(input, output);
}

int io_get_port(a_sock_t sock, int *port)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len) < 0) return -1;
    // The port field lies at the same place in both families.
    *port = static_cast<int>(static_cast<std::uint32_t>(
        reinterpret_cast<const sockaddr_in &>(addr).sin_port));
    return 0;
}

// ------------------------------------------------------- open file registry

namespace {

struct rfds {
    union {
        int fd;
        FILE **fp;
    } fil;
    std::uint32_t flags;
};
constexpr std::uint32_t RFD_IN_USE = 1;
constexpr std::uint32_t RFD_STREAM = 2;

rfds fds[IO_REGISTER_MAX];

const char *op_name(int operation)
{
    switch (operation) {
    case IO_REGISTER_ADD: return "ADD";
    case IO_REGISTER_CLOSE: return "CLOSE";
    case IO_REGISTER_REMOVE: return "REMOVE";
    case IO_REGISTER_INIT: return "INIT";
    default: return "unknown";
    }
}

int register_add(diagstk_t *diag, int fd, FILE **infp, FILE *fp)
{
    rfds *slot = nullptr;
    for (rfds &e : fds)
        if (!(e.flags & RFD_IN_USE)) {
            slot = &e;
            break;
        }
    if (slot == nullptr) {
        diagstk_add(diag, 3, "Failed to register file - array full");
        return -1;
    }
    slot->flags = RFD_IN_USE;
    if (fp != nullptr) {
        slot->fil.fp = infp;
        slot->flags |= RFD_STREAM;
        if (fcntl(fileno(fp), F_SETFD, FD_CLOEXEC) < 0) {
            diagstk_add(diag, 3, "Failed to set close-on-exec on file %p - %s",
                        static_cast<void *>(fp), std::strerror(errno));
            return -1;
        }
    } else {
        slot->fil.fd = fd;
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
            diagstk_add(diag, 3, "Failed to set close-on-exec on file descriptor %d - %s", fd,
                        std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

int register_remove(diagstk_t *diag, int fd, FILE *fp)
{
    for (rfds &e : fds) {
        if (!(e.flags & RFD_IN_USE)) continue;
        const bool stream = (e.flags & RFD_STREAM) != 0;
        if ((fp != nullptr && stream && *e.fil.fp == fp) ||
            (fp == nullptr && !stream && e.fil.fd == fd)) {
            e.flags = 0;
            return 0;
        }
    }
    diagstk_add(diag, 3, "Failed to remove register file");
    return -1;
}

int register_close(diagstk_t *diag)
{
    for (rfds &e : fds) {
        if (!(e.flags & RFD_IN_USE)) continue;
        if (e.flags & RFD_STREAM) {
            if (*e.fil.fp == nullptr) continue;  // the owner closed it already
            if (std::fclose(*e.fil.fp) != 0) {
                diagstk_add(diag, 3, "Failed to close %p", static_cast<void *>(e.fil.fp));
                *e.fil.fp = nullptr;
                return -1;
            }
            *e.fil.fp = nullptr;
        } else if (close(e.fil.fd) < 0) {
            diagstk_add(diag, 3, "Failed to close fd %d", e.fil.fd);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int io_register_file(diagstk_t *diag, int operation, int *infd, FILE **infp)
{
    if (qx_tracing(QX_LOG_CHANNEL))
        qx_log("io_register_file(%p,%s,%p,%p)\n", static_cast<void *>(diag), op_name(operation),
               static_cast<void *>(infd), static_cast<void *>(infp));
    const int fd = infd != nullptr ? *infd : -1;
    FILE *fp = infp != nullptr ? *infp : nullptr;
    switch (operation) {
    case IO_REGISTER_INIT:
        for (rfds &e : fds) e = rfds{};
        return 0;
    case IO_REGISTER_ADD: return register_add(diag, fd, infp, fp);
    case IO_REGISTER_REMOVE: return register_remove(diag, fd, fp);
    case IO_REGISTER_CLOSE: return register_close(diag);
    default: return 0;
    }
}
