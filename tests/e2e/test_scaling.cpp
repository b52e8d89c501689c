// Two servers behind HAProxy as docs/scaling.md configures it: in TCP mode
// the raw protocol passes; in HTTP mode, 2,000 requests with one server
// stopped halfway are each answered once, as `pipe` answers them.

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

#include "e2e.h"
#include "http_client.h"

namespace {

constexpr int CLIENTS = 16, REQUESTS = 2000;

class Scaling : public ServerTest {
protected:
    ~Scaling() override
    {
        for (auto &s : servers)
            if (s && !has_ended(s->pid())) {
                kill(s->pid(), SIGKILL);
                s->finish();
            }
        if (proxy && !has_ended(proxy->pid())) {
            kill(proxy->pid(), SIGTERM);
            proxy->finish();
        }
    }

    // A server on `port`, with its own config.xml (read at start).
    ::testing::AssertionResult start_server(int port)
    {
        Fd control = listen_on(&control_ports.emplace_back());
        write_config(config_doc("<Logging>0</Logging><LogDir>" + logdir.path() + "</LogDir><Port>" +
                                std::to_string(port) + "</Port><ControlPort>" +
                                std::to_string(control_ports.back()) + "</ControlPort>"));
        control.reset();
        return start_listening(servers.emplace_back(), command({"standalone"}), port);
    }

    // HAProxy configured by docs/scaling.md, with this run's ports.
    ::testing::AssertionResult start_proxy(const std::string &section)
    {
        std::string cfg = read_file(QUILLET_SOURCE_DIR "/docs/scaling.md");
        const std::size_t from = cfg.find("```haproxy " + section);
        if (from == std::string::npos) return ::testing::AssertionFailure() << "no " << section;
        cfg = cfg.substr(cfg.find('\n', from) + 1);
        cfg = cfg.substr(0, cfg.find("```"));
        auto put = [&](const std::string &what, int value) {
            for (std::size_t at; (at = cfg.find(what)) != std::string::npos;)
                cfg.replace(at, what.size(), std::to_string(value));
        };
        put("8890", proxy_port);
        put("8895", ports[0]);
        put("8995", ports[1]);
        write_file(work.file("haproxy.cfg"), cfg);
        return start_listening(proxy, {"haproxy", "-db", "-f", work.file("haproxy.cfg")}, proxy_port);
    }

    std::string request(int i) const
    {
        return sql_request(db.conn(), "SELECT n, " + std::to_string(i % 7) + " AS k FROM t ORDER BY n");
    }

    SqliteDb db{"CREATE TABLE t(n INTEGER); INSERT INTO t VALUES (1), (2), (3);"};
    int ports[2] = {0, 0}, proxy_port = 0;
    std::vector<int> control_ports;
    std::vector<std::unique_ptr<Child>> servers;
    std::unique_ptr<Child> proxy;
};

TEST_F(Scaling, HaproxyInTcpAndHttpMode)
{
    {
        Fd a = listen_on(&ports[0]), b = listen_on(&ports[1]), c = listen_on(&proxy_port);
    }
    ASSERT_TRUE(start_server(ports[0]));
    ASSERT_TRUE(start_server(ports[1]));
    // TCP mode: the raw protocol passes unchanged, several on one connection.
    ASSERT_TRUE(start_proxy("tcp"));
    for (int i = 0; i < 20; i++) {
        const ProcResult pipe = query(request(i));
        Fd c = connect_port(proxy_port);
        EXPECT_EQ(result_of(ask(c.get(), request(i))), pipe.out) << i;
        EXPECT_EQ(result_of(ask(c.get(), request(i + 1))), query(request(i + 1)).out) << i;
    }
    kill(proxy->pid(), SIGTERM);
    proxy->finish();
    ASSERT_TRUE(start_proxy("http"));
    // Both servers pass their health checks before the run starts.
    ASSERT_TRUE(eventually(
        [&] {
            std::string rest;
            Fd c = connect_port(proxy_port);
            send_all(c.get(), http_request("GET", "/health"));
            return read_http_response(c.get(), rest).status == 200;
        },
        10s));

    std::vector<std::string> expected;
    for (int k = 0; k < 7; k++) {
        const ProcResult r = query(request(k));
        ASSERT_EQ(r.status, 0);
        expected.push_back(r.out);
    }
    std::atomic<int> sent{0}, good{0};
    std::mutex faults_lock;
    std::vector<std::string> faults;
    auto client = [&](int id) {
        Fd c;
        std::string rest;
        for (int i = id; i < REQUESTS; i += CLIENTS) {
            if (c.get() < 0) c = connect_port(proxy_port);
            sent++;
            HttpResponse r;
            if (send_all(c.get(), http_request("POST", "/query", request(i))))
                r = read_http_response(c.get(), rest);
            if (r.status == 200 && result_of(r.body) == expected[static_cast<std::size_t>(i % 7)]) {
                good++;
            } else {
                const std::lock_guard<std::mutex> l(faults_lock);
                faults.push_back("request " + std::to_string(i) + ": " + std::to_string(r.status) +
                                 " " + r.error + " " + r.body.substr(0, 300));
            }
            if (r.field("connection") == "close" || r.status == 0) {
                c.reset();
                rest.clear();
            }
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < CLIENTS; id++) threads.emplace_back(client, id);
    ASSERT_TRUE(eventually([&] { return sent >= REQUESTS / 2; }, 60s));
    kill(servers[0]->pid(), SIGTERM);
    for (auto &t : threads) t.join();
    EXPECT_EQ(good.load(), REQUESTS);
    for (std::size_t i = 0; i < faults.size() && i < 5; i++) ADD_FAILURE() << faults[i];
    if (!faults.empty()) {
        kill(proxy->pid(), SIGTERM);
        ADD_FAILURE() << "HAProxy said: " << proxy->finish().err;
    }
    const ProcResult stopped = servers[0]->finish();
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    // The other server answered the rest: it is still serving.
    EXPECT_TRUE(eventually([&] { return !listening(ports[0]); }, 5s));
    EXPECT_TRUE(listening(ports[1]));
}

}  // namespace
