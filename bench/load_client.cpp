// load_client - many concurrent clients against a standalone server on
// loopback. Each connection sends one request and half-closes; its answer
// must equal, byte for byte except the Date line, the answer the same
// request got in pipe mode. Some connections leave in the middle of their
// answer. Prints requests/s and latency percentiles, and the server's
// resident size and descriptors before and after.
//
// A connection reset before any byte of its answer is counted apart: with
// the listen backlog of 5, a burst that overflows the queue meets the
// kernel's SYN cookies, and a cookie that fails ends in a reset of a
// connection the server never accepted. Such resets are accepted only as
// far as the kernel's SyncookiesFailed counter accounts for them; a reset
// it does not explain (a child that died) fails the run.
//
//   load_client [--tls CA] PORT SERVER_PID CLIENTS REQUESTS REQ1 ANSWER1 ... TRUNCATED ANSWER
// With --tls every connection speaks TLS, trusting the PEM bundle CA, and
// ends its requests with a close_notify where plain TCP half-closes.
// The last pair is a request cut short, with the error answer it gets.
// Connection n sends one of the other requests in turn, except that, by
// n mod 20: 7 and 17 send the first one, which should have a large answer,
// and leave after its first 4 KiB; 1 and 11 send two requests in one write
// and expect both answers, one after the other; 3 sends the request cut
// short; 5 sends its request a few bytes at a time, like a slow client.


#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tls_conn.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string slurp(const char *path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// The answer without its "  Date: ..." lines.
std::string undated(const std::string &doc)
{
    std::string out;
    std::size_t at = 0;
    while (at < doc.size()) {
        std::size_t end = doc.find('\n', at);
        end = end == std::string::npos ? doc.size() : end + 1;
        if (doc.compare(at, 8, "  Date: ") != 0) out.append(doc, at, end - at);
        at = end;
    }
    return out;
}

long status_kib(int pid, const char *key)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

int fd_count(int pid)
{
    int n = 0;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// One TcpExt counter of /proc/net/netstat (a header line of names, then a
// line of values).
long tcp_ext(const std::string &name)
{
    std::ifstream f("/proc/net/netstat");
    std::string names, values;
    while (std::getline(f, names) && std::getline(f, values)) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        std::istringstream n(names), v(values);
        for (std::string key, value; n >> key && v >> value;)
            if (key == name) return std::atol(value.c_str());
    }
    return 0;
}

// Children of `pid` (zombies included), from /proc/*/stat.
int children(int pid)
{
    int n = 0;
    DIR *d = opendir("/proc");
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(f)), {});
        const std::size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        int ppid = 0;
        char state = 0;
        std::sscanf(stat.c_str() + close_paren + 2, "%c %d", &state, &ppid);
        n += ppid == pid;
    }
    closedir(d);
    return n;
}

}  // namespace

int main(int argc, char **argv)
{
    bench::TlsContext tls;
    if (argc > 2 && std::strcmp(argv[1], "--tls") == 0) {
        tls = bench::client_context(argv[2]);
        if (!tls) {
            std::fprintf(stderr, "cannot use the CA bundle %s\n", argv[2]);
            return 2;
        }
        argc -= 2;
        argv += 2;
    }
    if (argc < 7 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: %s PORT SERVER_PID CLIENTS REQUESTS REQ ANSWER...\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]), pid = std::atoi(argv[2]), clients = std::atoi(argv[3]),
              per_client = std::atoi(argv[4]);
    std::vector<std::string> reqs, answers;
    for (int i = 5; i + 1 < argc; i += 2) {
        reqs.push_back(slurp(argv[i]));
        answers.push_back(undated(slurp(argv[i + 1])));
    }
    const std::size_t truncated = reqs.size() - 1, normal = truncated;
    const long rss_before = status_kib(pid, "VmRSS:");
    const int fds_before = fd_count(pid);

    const long cookies_failed_before = tcp_ext("SyncookiesFailed");
    std::atomic<long> ok{0}, left{0}, bad{0}, reset{0};
    std::mutex m;
    std::vector<double> latencies;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&, c] {
            std::vector<double> mine;
            for (int r = 0; r < per_client; r++) {
                const int n = c * per_client + r, role = n % 20;
                const bool leave = role == 7 || role == 17, pipelined = role == 1 || role == 11;
                std::size_t k = leave           ? 0
                                      : role == 3 ? truncated
                                                  : static_cast<std::size_t>(n) % normal;
                // Pipelined pairs come from the second to the fifth request,
                // which load.sh makes well-formed: a refused document ends
                // its connection.
                const std::size_t k2 = pipelined ? 2 + static_cast<std::size_t>(n / 20) % 3 : k;
                if (pipelined) k = k2 - 1;
                const std::string sent = pipelined ? reqs[k] + reqs[k2] : reqs[k];
                const std::string expected = pipelined ? answers[k] + answers[k2] : answers[k];
                const auto t0 = Clock::now();
                bench::Conn conn(port, 30, tls.get());
                if (!conn.ok()) {
                    // A reset in the handshake is a reset before any byte.
                    if (tls && conn.error() == ECONNRESET) {
                        reset++;
                        continue;
                    }
                    bad++;
                    std::fprintf(stderr, "connection %d: refused (%s)\n", n,
                                 std::strerror(conn.error()));
                    continue;
                }
                if (role == 5) {
                    // A slow client: well inside any request time limit.
                    for (std::size_t at = 0; at < sent.size(); at += 64) {
                        conn.send(sent.data() + at, std::min<std::size_t>(64, sent.size() - at));
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                } else {
                    conn.send(sent);
                }
                conn.end_requests();
                std::string got;
                char buf[65536];
                long len;
                while ((len = conn.recv(buf, sizeof buf)) > 0) {
                    got.append(buf, static_cast<std::size_t>(len));
                    if (leave && got.size() >= 4096) break;
                }
                const int recv_errno = len < 0 ? conn.error() : 0;
                if (leave) {
                    left++;
                    continue;
                }
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                if (undated(got) == expected) {
                    ok++;
                } else if (got.empty() && recv_errno == ECONNRESET) {
                    reset++;
                } else {
                    bad++;
                    std::fprintf(stderr, "connection %d, request %zu: answer differs (%zu bytes%s%s)\n",
                                 n, k, got.size(), recv_errno ? ", " : "",
                                 recv_errno ? std::strerror(recv_errno) : "");
                }
            }
            std::lock_guard<std::mutex> g(m);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (auto &t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    const auto pct = [&](double p) {
        return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(p * (latencies.size() - 1))];
    };
    // Ended children are reaped on the server's idle turn (at most ~5 s).
    int left_children = 0;
    for (int i = 0; i < 100 && (left_children = children(pid)) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long rss_after = status_kib(pid, "VmRSS:");
    const int fds_after = fd_count(pid);
    const long cookies_failed = tcp_ext("SyncookiesFailed") - cookies_failed_before;
    std::printf("%ld answers identical, %ld left mid-answer, %ld wrong or refused\n", ok.load(),
                left.load(), bad.load());
    std::printf("%ld reset before any byte; the kernel's failed SYN cookies meanwhile: %ld\n",
                reset.load(), cookies_failed);
    std::printf("%.0f requests/s over %.1f s; latency p50 %.1f ms, p99 %.1f ms\n",
                (ok + left + bad + reset) / seconds, seconds, pct(0.50), pct(0.99));
    std::printf("server: RSS %ld -> %ld KiB, descriptors %d -> %d, children left %d\n", rss_before,
                rss_after, fds_before, fds_after, left_children);
    const bool flat = fds_after == fds_before && rss_after <= rss_before + 512;
    return bad == 0 && reset <= cookies_failed && left_children == 0 && flat ? 0 : 1;
}
