// refusal.cpp - refused connections, finished by the server loop in passing.

#include "refusal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "http.h"
#include "xml.h"

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a refused client's first bytes are awaited: an HTTP client
// sends its request line at once.
constexpr auto FIRST_BYTES_WAIT = 50ms;
// After the answer, what the client still sends is discarded until it
// pauses this long, closes, or the budget is spent.
constexpr auto DRAIN_GAP = 50ms;
constexpr auto DRAIN_BUDGET = 1000ms;
// At most this many refused connections wait at once; a flood of them
// closes the oldest at once, so their descriptors stay bounded.
constexpr std::size_t PARKED_MAX = 64;

struct parked {
    int sock = -1;
    std::string client_ip;
    bool tls_expected = false;
    int status = 0;
    unsigned long flags = 0;
    std::vector<std::pair<std::string, unsigned long>> messages;
    bool answered = false;
    steady::time_point wait_until{};   // the first bytes, or the drain's next pause
    steady::time_point drain_until{};  // the whole drain
};

std::vector<parked> waiting;

void close_parked(parked &p)
{
    shutdown(p.sock, SHUT_RD);
    close(p.sock);
    p.sock = -1;
}

// Whether to wait for the first bytes: only a plain client of a server
// that speaks HTTP might be owed an HTTP answer, and only until they come.
bool awaits_first_bytes(const io_in_t *input, const io_out_t *output)
{
    if (!qx_http_enabled() || output->tls_expected || input->method != XML_INPUT_METHOD_LISTEN)
        return false;
    pollfd p{output->dst.listen.sock, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

// Takes the answered connection off the records, to discard what its
// client still sends.
void start_drain(parked &p, diagstk_t *diag, io_in_t *input, io_out_t *output)
{
    p.sock = io_release_connection(input, output, diag);
    diagstk_remove(diag, 0);
    shutdown(p.sock, SHUT_WR);
    p.answered = true;
    const auto now = steady::now();
    p.wait_until = now + DRAIN_GAP;
    p.drain_until = now + DRAIN_BUDGET;
}

// Answers the refusal on the records, then takes the connection off them
// to drain it.
void answer(parked &p, diagstk_t *diag, io_in_t *input, io_out_t *output)
{
    for (const auto &[text, level] : p.messages) diagstk_add(diag, level, "%s", text.c_str());
    p.messages.clear();
    qx_http_refusal(input, output, p.status);
    qx_output_error_result(diag, output, p.flags);
    diagstk_remove(diag, 0);
    start_drain(p, diag, input, output);
}

// Discards what the client sent; false when it has closed (or failed).
bool discard(int sock)
{
    char scratch[4096];
    const ssize_t n = recv(sock, scratch, sizeof scratch, MSG_DONTWAIT);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

void park(parked p)
{
    if (waiting.size() >= PARKED_MAX) {
        close_parked(waiting.front());
        waiting.erase(waiting.begin());
    }
    waiting.push_back(std::move(p));
}

}  // namespace

void qx_refusal_park(diagstk_t *diag, io_in_t *input, io_out_t *output, int status,
                     unsigned long flags)
{
    if (output->dst.listen.sock == -1) return;
    parked p;
    p.client_ip = input->src.listen.client_ip;
    p.tls_expected = output->tls_expected;
    p.status = status;
    p.flags = flags;
    for (unsigned i = 0; i < diag->entries; i++)
        p.messages.emplace_back(diag->items[i].text, diag->items[i].flags);
    diagstk_remove(diag, 0);
    if (!awaits_first_bytes(input, output)) {
        answer(p, diag, input, output);
    } else {
        p.sock = io_release_connection(input, output, diag);
        p.wait_until = steady::now() + FIRST_BYTES_WAIT;
    }
    park(std::move(p));
}

void qx_refusal_drain(diagstk_t *diag, io_in_t *input, io_out_t *output)
{
    if (output->dst.listen.sock == -1) return;
    parked p;
    start_drain(p, diag, input, output);
    park(std::move(p));
}

int qx_refusal_watch(std::vector<pollfd> *fds)
{
    fds->clear();
    if (waiting.empty()) return -1;
    const auto now = steady::now();
    auto first = steady::time_point::max();
    for (const parked &p : waiting) {
        fds->push_back({p.sock, POLLIN, 0});
        first = std::min({first, p.wait_until, p.answered ? p.drain_until : p.wait_until});
    }
    if (first <= now) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(first - now).count());
}

void qx_refusal_service(std::span<const pollfd> fds, io_in_t *input, io_out_t *output,
                        diagstk_t *diag)
{
    // Only the records watched are looked at; a refusal parked since then
    // waits for the next turn.
    const std::size_t watched = std::min(fds.size(), waiting.size());
    for (std::size_t i = 0; i < watched; i++) {
        parked &p = waiting[i];
        const bool ready = fds[i].revents != 0;
        const auto now = steady::now();
        if (!p.answered) {
            if (!ready && now < p.wait_until) continue;
            io_adopt_connection(input, output, p.sock, p.client_ip.c_str(), p.tls_expected);
            answer(p, diag, input, output);
            continue;
        }
        if (ready && !discard(p.sock))
            close_parked(p);
        else if (ready)
            p.wait_until = now + DRAIN_GAP;
        else if (now >= p.wait_until)
            close_parked(p);
        if (p.sock != -1 && now >= p.drain_until) close_parked(p);
    }
    std::erase_if(waiting, [](const parked &p) { return p.sock == -1; });
}

void qx_refusal_close_all(void)
{
    for (parked &p : waiting) close(p.sock);
    waiting.clear();
}
