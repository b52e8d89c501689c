// qclient - load for the standalone server on 127.0.0.1. Every loop is
// bounded by its count and every socket by a 60 s receive timeout.
//
//   qclient drain PORT REQFILE               one request; the answer is read
//                                            and thrown away (bytes on stderr)
//   qclient seq PORT N REQFILE               N requests one after the other
//                                            over one connection
//   qclient conns PORT N CONC REQFILE        N connections with one request
//                                            each, CONC at a time
//   qclient persist PORT CLIENTS N REQFILE   CLIENTS connections, each sending
//                                            N requests one after the other
//
// seq, conns and persist print one line: count, seconds, rate and the
// latency percentiles in milliseconds.
//
// With `--tls CA` first, every connection speaks TLS, trusting the PEM
// bundle CA; conns then resumes sessions and says how many it resumed.
// `--tls-full CA` is the same without resumption: every handshake is full.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tls_conn.h"

namespace {

using clock_type = std::chrono::steady_clock;

// With --tls, the context every connection uses; null for plain TCP.
SSL_CTX *tls_ctx = nullptr;
bool resume = true;  // conns offers the previous session (not with --tls-full)

// A connection with its handshake done, or null.
std::unique_ptr<bench::Conn> connect_to(int port, SSL_SESSION *resume = nullptr)
{
    auto c = std::make_unique<bench::Conn>(port, 60, tls_ctx, resume);
    if (!c->ok()) c.reset();
    return c;
}

// Reads one answer: until it ends with "</Result>\n" (persistent
// connections) or, with `to_eof`, until the server closes. Bytes read, -1
// on a failure or timeout.
long read_answer(bench::Conn &conn, bool to_eof)
{
    static thread_local char buf[256 * 1024];
    static constexpr char END[] = "</Result>\n";
    constexpr std::size_t END_LEN = sizeof END - 1;
    char tail[END_LEN] = {};
    std::size_t have_tail = 0;
    long total = 0;
    for (;;) {
        const long n = conn.recv(buf, sizeof buf);
        if (n == 0) return to_eof ? total : -1;
        if (n < 0) return -1;
        total += n;
        if (to_eof) continue;
        // Keep the last END_LEN bytes seen.
        const std::size_t k = static_cast<std::size_t>(n);
        if (k >= END_LEN) {
            std::memcpy(tail, buf + k - END_LEN, END_LEN);
            have_tail = END_LEN;
        } else {
            const std::size_t keep = std::min(have_tail, END_LEN - k);
            std::memmove(tail, tail + have_tail - keep, keep);
            std::memcpy(tail + keep, buf, k);
            have_tail = keep + k;
        }
        if (have_tail == END_LEN && std::memcmp(tail, END, END_LEN) == 0) return total;
    }
}

std::string read_file(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "qclient: cannot read %s\n", path);
        std::exit(2);
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

double ms_since(clock_type::time_point t)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t).count();
}

void report(const char *what, std::vector<double> lat, double seconds, long failures,
            long resumed = -1)
{
    std::sort(lat.begin(), lat.end());
    const auto pct = [&](double p) {
        return lat.empty() ? 0.0 : lat[std::min(lat.size() - 1, static_cast<std::size_t>(p * lat.size()))];
    };
    double sum = 0;
    for (double v : lat) sum += v;
    std::printf("%s count=%zu seconds=%.3f rate=%.1f mean_ms=%.3f p50_ms=%.3f p90_ms=%.3f "
                "p99_ms=%.3f max_ms=%.3f failures=%ld",
                what, lat.size(), seconds, static_cast<double>(lat.size()) / seconds,
                lat.empty() ? 0.0 : sum / static_cast<double>(lat.size()), pct(0.50), pct(0.90),
                pct(0.99), lat.empty() ? 0.0 : lat.back(), failures);
    if (resumed >= 0) std::printf(" resumed=%ld", resumed);
    std::printf("\n");
}

long bounded(const char *s, long lo, long hi)
{
    const long v = std::strtol(s, nullptr, 10);
    if (v < lo || v > hi) {
        std::fprintf(stderr, "qclient: %s is out of range %ld..%ld\n", s, lo, hi);
        std::exit(2);
    }
    return v;
}

int drain(int port, const std::string &req)
{
    const auto conn = connect_to(port);
    if (!conn || !conn->send(req)) return 1;
    conn->end_requests();
    const long n = read_answer(*conn, true);
    std::fprintf(stderr, "%ld\n", n);
    return n > 0 ? 0 : 1;
}

// Runs `body` in `clients` threads; each returns the latencies it measured.
template <class Body> std::vector<double> in_threads(long clients, Body body)
{
    std::mutex m;
    std::vector<double> lat;
    std::vector<std::thread> threads;
    for (long c = 0; c < clients; c++)
        threads.emplace_back([&] {
            const std::vector<double> mine = body();
            std::lock_guard<std::mutex> g(m);
            lat.insert(lat.end(), mine.begin(), mine.end());
        });
    for (auto &t : threads) t.join();
    return lat;
}

// `clients` connections, each sending `count` requests one after the other
// (seq is one such client).
int persist(const char *label, int port, long clients, long count, const std::string &req)
{
    std::atomic<long> failures{0};
    const auto t0 = clock_type::now();
    const std::vector<double> lat = in_threads(clients, [&] {
        std::vector<double> mine;
        const auto conn = connect_to(port);
        if (!conn) {
            failures++;
            return mine;
        }
        for (long i = 0; i < count; i++) {
            const auto t = clock_type::now();
            if (!conn->send(req) || read_answer(*conn, false) < 0) {
                failures++;
                break;
            }
            mine.push_back(ms_since(t));
        }
        return mine;
    });
    report(label, lat, ms_since(t0) / 1000, failures);
    return failures == 0 ? 0 : 1;
}

// Over TLS each thread offers the session of its previous connection, so
// all but its first handshake can be abbreviated; how many were is counted.
int conns(int port, long count, long conc, const std::string &req)
{
    std::atomic<long> next{0}, failures{0}, resumed{0};
    const auto t0 = clock_type::now();
    const std::vector<double> lat = in_threads(conc, [&] {
        std::vector<double> mine;
        bench::TlsSession session;
        while (next++ < count) {
            const auto t = clock_type::now();
            const auto conn = connect_to(port, session.get());
            bool good = conn && conn->send(req);
            if (good) {
                conn->end_requests();
                good = read_answer(*conn, true) > 0;
                resumed += conn->resumed();
                if (tls_ctx != nullptr && resume) session = conn->session();
            }
            if (good)
                mine.push_back(ms_since(t));
            else
                failures++;
        }
        return mine;
    });
    report(tls_ctx == nullptr ? "conns" : resume ? "tlsconns" : "tlsfullconns", lat, ms_since(t0) / 1000, failures,
           tls_ctx != nullptr ? resumed.load() : -1);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    bench::TlsContext ctx;
    if (argc > 2 && (std::strcmp(argv[1], "--tls") == 0 || std::strcmp(argv[1], "--tls-full") == 0)) {
        resume = std::strcmp(argv[1], "--tls") == 0;
        ctx = bench::client_context(argv[2]);
        if (!ctx) {
            std::fprintf(stderr, "qclient: cannot use the CA bundle %s\n", argv[2]);
            return 2;
        }
        tls_ctx = ctx.get();
        argc -= 2;
        argv += 2;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "drain" && argc == 4) return drain(bounded(argv[2], 1, 65535), read_file(argv[3]));
    if (mode == "seq" && argc == 5)
        return persist("seq", bounded(argv[2], 1, 65535), 1, bounded(argv[3], 1, 1000000),
                       read_file(argv[4]));
    if (mode == "conns" && argc == 6)
        return conns(bounded(argv[2], 1, 65535), bounded(argv[3], 1, 1000000),
                     bounded(argv[4], 1, 256), read_file(argv[5]));
    if (mode == "persist" && argc == 6)
        return persist("persist", bounded(argv[2], 1, 65535), bounded(argv[3], 1, 256),
                       bounded(argv[4], 1, 1000000), read_file(argv[5]));
    std::fprintf(stderr,
                 "usage: qclient [--tls|--tls-full CA] drain PORT REQ | seq PORT N REQ | conns PORT N CONC REQ | "
                 "persist PORT CLIENTS N REQ\n");
    return 2;
}
