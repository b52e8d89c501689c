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

namespace {

using clock_type = std::chrono::steady_clock;

int connect_to(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    timeval tv{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &s)
{
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one answer: until it ends with "</Result>\n" (persistent
// connections) or, with `to_eof`, until the server closes. Bytes read, -1
// on a failure or timeout.
long read_answer(int fd, bool to_eof)
{
    static thread_local char buf[256 * 1024];
    static constexpr char END[] = "</Result>\n";
    constexpr std::size_t END_LEN = sizeof END - 1;
    char tail[END_LEN] = {};
    std::size_t have_tail = 0;
    long total = 0;
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
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

void report(const char *what, std::vector<double> lat, double seconds, long failures)
{
    std::sort(lat.begin(), lat.end());
    const auto pct = [&](double p) {
        return lat.empty() ? 0.0 : lat[std::min(lat.size() - 1, static_cast<std::size_t>(p * lat.size()))];
    };
    double sum = 0;
    for (double v : lat) sum += v;
    std::printf("%s count=%zu seconds=%.3f rate=%.1f mean_ms=%.3f p50_ms=%.3f p90_ms=%.3f "
                "p99_ms=%.3f max_ms=%.3f failures=%ld\n",
                what, lat.size(), seconds, static_cast<double>(lat.size()) / seconds,
                lat.empty() ? 0.0 : sum / static_cast<double>(lat.size()), pct(0.50), pct(0.90),
                pct(0.99), lat.empty() ? 0.0 : lat.back(), failures);
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
    const int fd = connect_to(port);
    if (fd < 0 || !send_all(fd, req)) return 1;
    shutdown(fd, SHUT_WR);
    const long n = read_answer(fd, true);
    close(fd);
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
        const int fd = connect_to(port);
        if (fd < 0) {
            failures++;
            return mine;
        }
        for (long i = 0; i < count; i++) {
            const auto t = clock_type::now();
            if (!send_all(fd, req) || read_answer(fd, false) < 0) {
                failures++;
                break;
            }
            mine.push_back(ms_since(t));
        }
        close(fd);
        return mine;
    });
    report(label, lat, ms_since(t0) / 1000, failures);
    return failures == 0 ? 0 : 1;
}

int conns(int port, long count, long conc, const std::string &req)
{
    std::atomic<long> next{0}, failures{0};
    const auto t0 = clock_type::now();
    const std::vector<double> lat = in_threads(conc, [&] {
        std::vector<double> mine;
        while (next++ < count) {
            const auto t = clock_type::now();
            const int fd = connect_to(port);
            bool good = fd >= 0 && send_all(fd, req);
            if (good) {
                shutdown(fd, SHUT_WR);
                good = read_answer(fd, true) > 0;
            }
            if (fd >= 0) close(fd);
            if (good)
                mine.push_back(ms_since(t));
            else
                failures++;
        }
        return mine;
    });
    report("conns", lat, ms_since(t0) / 1000, failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
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
                 "usage: qclient drain PORT REQ | seq PORT N REQ | conns PORT N CONC REQ | "
                 "persist PORT CLIENTS N REQ\n");
    return 2;
}
