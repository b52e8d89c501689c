// The worker slot table and the statistics record, with real children.

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "statistics.h"
#include "track.h"
#include "unit_support.h"

namespace {

// A child that waits until it is killed.
pid_t spawn_sleeper()
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (;;) pause();
    }
    return pid;
}

// A child that has already exited (not yet reaped).
pid_t spawn_exited()
{
    const pid_t pid = fork();
    if (pid == 0) _exit(3);
    siginfo_t info{};
    waitid(P_PID, pid, &info, WEXITED | WNOWAIT);  // exited, still a zombie
    return pid;
}

struct SlotList {
    threads_t *head = nullptr;
    std::vector<pid_t> sleepers;
    ~SlotList()
    {
        for (pid_t p : sleepers) kill(p, SIGKILL), waitpid(p, nullptr, 0);
        free_thread_list(&head);
    }
    // Appends a slot; busy ones hold a running child.
    threads_t *add(bool busy, char name)
    {
        auto *t = static_cast<threads_t *>(std::calloc(1, sizeof(threads_t)));
        t->client_ip[0] = name;
        if (busy) {
            t->threadid = spawn_sleeper();
            sleepers.push_back(t->threadid);
            t->in_use = 1;
            t->flags = THREAD_FLAG_PROCESS;
        }
        threads_t **tail = &head;
        while (*tail) tail = &(*tail)->next;
        *tail = t;
        return t;
    }
    std::string order() const
    {
        std::string s;
        for (threads_t *t = head; t; t = t->next) s += t->client_ip[0];
        return s;
    }
};

}  // namespace

TEST(TrackSweep, FreeSlotsMoveToTheFrontInVisitOrder)
{
    SlotList l;
    l.add(true, 'A'), l.add(false, 'B'), l.add(true, 'C'), l.add(false, 'D'), l.add(false, 'E');
    diagstk_ptr d(diagstk_new());
    EXPECT_EQ(cleanup_exited_threads(d.get(), &l.head, nullptr), 0);
    EXPECT_EQ(l.order(), "EDBAC");
}

TEST(TrackSweep, KeepsAtMostFiveSpareSlots)
{
    SlotList l;
    for (char c : std::string("abcdefgh")) l.add(false, c);
    diagstk_ptr d(diagstk_new());
    cleanup_exited_threads(d.get(), &l.head, nullptr);
    EXPECT_EQ(l.order(), "abcde");
}

TEST(TrackSweep, ReapsExitedChildrenAndCountsDisconnects)
{
    SlotList l;
    threads_t *t = l.add(false, 'x');
    t->threadid = spawn_exited();
    t->in_use = 1;
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
    SlotList l;
    l.add(true, 'A');
    threads_t *gone = l.add(false, 'B');
    gone->threadid = spawn_exited();
    gone->in_use = 1;
    diagstk_ptr d(diagstk_new());
    threads_t *slot = nullptr;

    // Two slots busy on paper, one child still running: a limit of 2 admits,
    // but the slot freed by the poll is not taken in the same walk.
    ASSERT_EQ(create_new_thread_entry(d.get(), {2, 0}, &l.head, &slot, nullptr), 0);
    EXPECT_EQ(gone->in_use, 0u);
    EXPECT_EQ(l.order(), std::string(1, '\0') + "AB");

    slot->in_use = 1, slot->threadid = spawn_sleeper(), l.sleepers.push_back(slot->threadid);
    EXPECT_EQ(create_new_thread_entry(d.get(), {2, 0}, &l.head, &slot, nullptr), -1);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(unit::messages(d.get()).back(), "Maximum Threads/Processes already in use");
}

TEST(TrackAdmission, WithoutLimitTheFirstFreeSlotIsTakenAtOnce)
{
    SlotList l;
    l.add(true, 'A');
    threads_t *free_slot = l.add(false, 'B');
    threads_t *slot = nullptr;
    ASSERT_EQ(create_new_thread_entry(nullptr, {0, 0}, &l.head, &slot, nullptr), 0);
    EXPECT_EQ(slot, free_slot);
}

TEST(TrackShutdown, KillThenWaitEndsEveryChild)
{
    SlotList l;
    l.add(true, 'A'), l.add(true, 'B');
    diagstk_ptr d(diagstk_new());
    EXPECT_EQ(kill_remaining_threads(d.get(), l.head), 0);
    EXPECT_EQ(waitfor_exited_threads(d.get(), &l.head), 0);
    for (threads_t *t = l.head; t; t = t->next) EXPECT_EQ(t->in_use, 0u);
    l.sleepers.clear();
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
    const std::string body = doc.substr(doc.find("<Result"));
    EXPECT_EQ(body,
              "<Result State=\"00000\">\n"
              "  <UpTime>1 day, 1 hour, 1 minute and 1 second</UpTime>\n"
              "  <CPUTime>\n    <Kernel>0.00</Kernel>\n    <User>0.00</User>\n  </CPUTime>\n"
              "  <Connections>\n    <Total>0</Total>\n    <Refused>0</Refused>\n"
              "    <Active>0</Active>\n    <MaxConcurrent>0</MaxConcurrent>\n"
              "    <ChildrenCreated>0</ChildrenCreated>\n  </Connections>\n"
              "  <Clients>\n  </Clients>\n"
              "  <Control>\n    <Connections>\n      <Total>0</Total>\n    </Connections>\n"
              "  </Control>\n</Result>\n");
}

TEST(Statistics, NullRecordAnswersTheErrorDocument)
{
    unit::MemOut m;
    diagstk_ptr d(diagstk_new());
    qx_return_statistics(d.get(), &m.out, nullptr);
    EXPECT_NE(m.text().find("<Text>Statistics not available in this configuration</Text>"),
              std::string::npos);
    EXPECT_EQ(d->entries, 0u);
}
