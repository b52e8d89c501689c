// The worker slot table and the statistics record, with real children.

#include <cctype>
#include <csignal>
#include <sys/wait.h>

#include "statistics.h"
#include "track.h"
#include "unit_support.h"

namespace {

// Slots named by one letter each: upper case holds a running child.
struct SlotList {
    threads_t *head = nullptr;
    std::vector<pid_t> children;
    explicit SlotList(const std::string &names = "")
    {
        for (char c : names) add(c);
    }
    ~SlotList()
    {
        for (pid_t p : children) kill(p, SIGKILL), waitpid(p, nullptr, 0);
        free_thread_list(&head);
    }
    threads_t *add(char name)
    {
        auto *t = static_cast<threads_t *>(std::calloc(1, sizeof(threads_t)));
        t->client_ip[0] = name;
        if (std::isupper(name)) occupy(t, true);
        threads_t **tail = &head;
        while (*tail) tail = &(*tail)->next;
        return *tail = t;
    }
    // Gives the slot a child that waits to be killed, or one that has
    // already exited but is not reaped yet.
    void occupy(threads_t *t, bool running)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            while (running) pause();
            _exit(3);
        }
        if (running) children.push_back(pid);
        siginfo_t info{};
        if (!running) waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
        t->threadid = pid, t->in_use = 1, t->flags = THREAD_FLAG_PROCESS;
    }
    std::string order() const
    {
        std::string s;
        for (threads_t *t = head; t; t = t->next) s += t->client_ip[0] ? t->client_ip[0] : '_';
        return s;
    }
};

}  // namespace

TEST(TrackSweep, FreeSlotsMoveToTheFrontAndAtMostFiveAreKept)
{
    const struct { const char *before, *after; } cases[] = {
        {"AbCde", "edbAC"},  // in visit order
        {"abcdefgh", "abcde"},
    };
    for (const auto &c : cases) {
        SlotList l(c.before);
        diagstk_ptr d(diagstk_new());
        EXPECT_EQ(cleanup_exited_threads(d.get(), &l.head, nullptr), 0);
        EXPECT_EQ(l.order(), c.after);
    }
}

TEST(TrackSweep, ReapsExitedChildrenAndCountsDisconnects)
{
    SlotList l;
    threads_t *t = l.add('x');
    l.occupy(t, false);
    stats_t stats{};
    stats.n_active_threads = 1;
    diagstk_ptr d(diagstk_new());
    cleanup_exited_threads(d.get(), &l.head, &stats);
    EXPECT_EQ(t->in_use, 0u);
    EXPECT_EQ(stats.n_active_threads, 0u);
    EXPECT_NE(stats.last_disconnect, 0);
    EXPECT_EQ(waitpid(t->threadid, nullptr, WNOHANG), -1);  // no zombie left
}

TEST(TrackAdmission, LimitCountsOnlyRunningChildren)
{
    SlotList l("A");
    threads_t *gone = l.add('b');
    l.occupy(gone, false);
    diagstk_ptr d(diagstk_new());
    threads_t *slot = nullptr;

    // Two slots busy on paper, one child still running: a limit of 2 admits,
    // but the slot freed by the poll is not taken in the same walk.
    ASSERT_EQ(create_new_thread_entry(d.get(), {2, 0}, &l.head, &slot, nullptr), 0);
    EXPECT_EQ(gone->in_use, 0u);
    EXPECT_EQ(l.order(), "_Ab");

    l.occupy(slot, true);
    EXPECT_EQ(create_new_thread_entry(d.get(), {2, 0}, &l.head, &slot, nullptr), -1);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(unit::messages(d.get()), unit::Msgs{"Maximum Threads/Processes already in use"});

    // Without a limit the first free slot is taken at once.
    ASSERT_EQ(create_new_thread_entry(nullptr, {0, 0}, &l.head, &slot, nullptr), 0);
    EXPECT_EQ(slot, gone);
}

TEST(Statistics, ClientTableKeepsFirstAppearanceAndTwentyRows)
{
    stats_t s{};
    char a[] = "10.0.0.1", b[] = "10.0.0.2";
    for (char *ip : {a, a, b, a}) {
        qx_update_stats(&s, STATS_CONNECT, nullptr, nullptr);
        qx_update_stats(&s, STATS_CLIENT, ip, nullptr);
    }
    EXPECT_EQ(s.n_connections, 4u);
    EXPECT_EQ(s.n_diff_clients, 2u);
    EXPECT_STREQ(s.clients[0].ip, "10.0.0.1");
    EXPECT_EQ(s.clients[0].connections, 3u);
    EXPECT_STREQ(s.clients[1].name, "unknown");
    for (int i = 0; i < 25; i++) {
        std::string ip = "192.168.0." + std::to_string(i);
        qx_update_stats(&s, STATS_CLIENT, ip.data(), nullptr);
    }
    EXPECT_EQ(s.n_diff_clients, 20u);
    EXPECT_STREQ(s.clients[19].ip, "192.168.0.17");
}

TEST(Statistics, DocumentBeforeAnyConnection)
{
    stats_t s{};
    s.start_time = std::time(nullptr) - 90061;
    unit::MemOut m;
    diagstk_ptr d(diagstk_new());
    ASSERT_EQ(qx_return_statistics(d.get(), &m.out, &s), 0);
    const std::string doc = m.text();
    EXPECT_NE(doc.find("\n  <UpTime>1 day, 1 hour, 1 minute and 1 second</UpTime>\n"), doc.npos);
    EXPECT_EQ(doc.find("<LastConnect>"), doc.npos);  // no connection yet
}
