// The server as administrators and service managers run it.

#include <sys/socket.h>
#include <sys/un.h>

#include <cmath>
#include <ctime>
#include <set>
#include <sstream>

#include "e2e.h"

namespace {

const std::string USAGE = "Usage:\n"
                          "quilletserver version\n"
                          "quilletserver method method_arguments\n"
                          "where method is one of:\n"
                          "    pipe|- [-]\n"
                          "    file in_filename out_filename|-\n"
                          "    tcpip_listen port\n"
                          "    standalone [port]\n"
                          "    inetd\n";
const std::string PORT_REFUSED = "xml2config: value \"70000\" for Port out of range (1 to 65535)";

// True when `stamp` ("2026-12-06T13:45:00Z") is within a minute of now.
bool recent(const std::string &stamp)
{
    std::tm tm{};
    const char *end = strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (end == nullptr || *end != '\0') return false;
    return std::abs(std::difftime(timegm(&tm), std::time(nullptr))) < 60;
}

class Options : public ServerTest {};

// Help and version need no configuration; -c names the one version reports.
TEST_F(Options, HelpAndVersionNeedNoConfiguration)
{
    fs::remove(CONFIG_XML);
    for (const std::string help : {"--help", "-h"}) {
        SCOPED_TRACE(help);
        const ProcResult r = run_server({help, "standalone"});
        EXPECT_EQ(r, exited(0, r.out));
        EXPECT_TRUE(r.out.starts_with(USAGE + "Options, before the method:\n")) << r.out;
        EXPECT_TRUE(holds(r.out, {"\n    -c, --config FILE ", "\n    --check-config ",
                                  "\n    -V, --version ", "\n    -h, --help "}));
    }
    const std::string mine = work.file("mine.xml");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--version"}, CONFIG_XML}, {{"-V", "pipe"}, CONFIG_XML}, {{"-c", mine, "-V"}, mine},
        {{"--config=" + mine, "--version"}, mine}, {{"-c", "x", "-c", mine, "-V"}, mine}};
    for (const auto &[args, config] : cases) {
        SCOPED_TRACE(args[0]);
        const ProcResult r = run_server(args);
        EXPECT_EQ(r, exited(0, r.out));
        EXPECT_TRUE(r.out.starts_with("quilletserver version 1.1.0\n\tbuilt $Built: ")) << r.out;
        EXPECT_TRUE(holds(r.out, {"\n\texpat version ", "\nConfiguration: " + config + "\n"}));
    }
}

// A refused command line: its message, the usage text and its status.
// The configuration is read first: every method stops without a usable
// config.xml.
TEST_F(Options, RefusedCommandLinesAndUnusableConfiguration)
{
    const struct { std::vector<std::string> args; int status; std::string message; } cases[] = {
        {{}, 1, "Invalid command line - missing command or method"},
        {{"pipe", "out.xml"}, 2, "Invalid output file"},
        {{"file", "in.xml"}, 5, "Missing output filespec"},
        {{"Pipe"}, 6, "unknown command or method - \"Pipe\""},
        {{"standalone", "99999999999999999999"}, 7,
         "invalid port \"99999999999999999999\" specified"},
        {{"--bogus", "pipe"}, 1, "Invalid command line - unknown option \"--bogus\""},
        {{"-x"}, 1, "Invalid command line - unknown option \"-x\""},
        {{"-c"}, 1, "Invalid command line - option -c needs a file name"},
        {{"--config"}, 1, "Invalid command line - option --config needs a file name"},
        {{"-c", "", "pipe"}, 1, "Invalid configuration file name \"\" - a file name expected"},
        {{"-c", "/tmp/", "pipe"}, 1,
         "Invalid configuration file name \"/tmp/\" - a file name expected"},
        {{"-cfile"}, 1, "Invalid command line - unknown option \"-cfile\""},
        {{"--", "-h"}, 6, "unknown command or method - \"-h\""},  // "--" ends the options
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        const ProcResult r = run_server(c.args);
        EXPECT_EQ(r, (ProcResult{c.status, false, "", r.err}));
        EXPECT_TRUE(std::regex_search(r.err, std::regex("^\\S+ error "))) << r.err;
        EXPECT_EQ(event_texts(r.err), c.message + "\n" + USAGE);
    }
    const std::string missing = "qx_open_config_file: Failed to open " + CONFIG_XML +
                                " for read access - No such file or directory";
    // Without config.xml, or with a port TCP cannot carry.
    const struct { std::vector<std::string> args; std::string port, message; } unusable[] = {
        {{}, "", missing}, {{"version"}, "", missing}, {{"pipe"}, "", missing},
        {{"file", "in", "out"}, "", missing}, {{"inetd", "x"}, "", missing},
        {{"tcpip_listen", "1"}, "", missing}, {{"standalone"}, "", missing},
        {{"pipe"}, "12ab", "xml2config: invalid value 12ab for Port"}, {{"pipe"}, "70000", PORT_REFUSED},
    };
    for (const auto &c : unusable) {
        SCOPED_TRACE(c.message);
        fs::remove(CONFIG_XML);
        if (!c.port.empty()) write_config(config_doc("<Port>" + c.port + "</Port>"));
        const ProcResult r = run_server(c.args, with_input("<Request/>"));
        EXPECT_EQ(r, (ProcResult{1, false, "", r.err}));
        EXPECT_EQ(event_texts(r.err), c.message + "\n");
    }
}

// --check-config reads the whole file and says whether it would be
// accepted; it never serves, whatever follows it. Its error line takes the
// journal's form (the priority alone) when standard error is the journal.
TEST_F(Options, CheckConfig)
{
    SqliteDb db("CREATE TABLE t(n); INSERT INTO t VALUES (5);");
    const std::string good = work.file("good.xml"), bad = work.file("bad.xml"),
                      cut = work.file("cut.xml"), none = work.file("none.xml");
    write_file(good, config_doc("<Port>1</Port><DataSource Name=\"five\">" +
                                xml_text(db.conn()) + "</DataSource>"));
    write_file(bad, config_doc("<LogDir>/tmp</LogDir><Port>70000</Port>"));
    write_file(cut, "<Configuration><Port>1</Port>");
    const struct { std::vector<std::string> args; int status; std::string out, error; } cases[] = {
        {{"--check-config"}, 0, "configuration OK\n", ""},
        {{"-c", good, "--check-config", "standalone"}, 0, "configuration OK\n", ""},
        {{"--check-config", "--config", bad, "standalone"}, 1, "", PORT_REFUSED},
        {{"--check-config", "-c", none}, 1, "",
         "qx_open_config_file: Failed to open " + none +
             " for read access - No such file or directory"},
        {{"--check-config", "-c", cut}, 1, "", "error on line 1 of " + cut + ", no element found"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        const ProcResult r = run_server(c.args);
        EXPECT_EQ(r, (ProcResult{c.status, false, c.out, r.err}));
        EXPECT_EQ(event_texts(r.err), c.error.empty() ? "" : c.error + "\n");
        EXPECT_TRUE(c.error.empty() || std::regex_search(r.err, EVENT_PREFIX)) << r.err;
    }
    ProcOptions journal;
    journal.journal = true;
    EXPECT_EQ(run_server({"-c", bad, "--check-config"}, journal),
              (ProcResult{1, false, "", "<3>" + PORT_REFUSED + "\n"}));
    // A JOURNAL_STREAM that names another file changes nothing.
    const ProcResult other = run_server({"-c", bad, "--check-config"}, {"", {"JOURNAL_STREAM=1:2"}});
    EXPECT_TRUE(std::regex_search(other.err, EVENT_PREFIX)) << other.err;

    // The same file serves a request; config.xml does not name the source.
    const ProcResult served = run_server(
        {"-c", good, "pipe"},
        with_input("<Request><DataSource>five</DataSource><Sql>SELECT n FROM t</Sql></Request>"));
    EXPECT_EQ(served, exited(0, served.out));
    EXPECT_EQ(result_of(served.out), one_value("n", "5"));
}

// The service manager's socket: a datagram socket the test owns.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        bound_ = bind(fd_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        const timeval tv{static_cast<time_t>(NET_LIMIT.count()), 0};
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    bool bound() const { return bound_; }
    // The next message, or "" when none came in time.
    std::string next()
    {
        char buf[4096];
        const ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }

private:
    Fd fd_;
    bool bound_ = false;
};

class Service : public NetTest {
protected:
    void signal(int sig) { ASSERT_EQ(kill(server->pid(), sig), 0); }
    // Waits until standard error holds `text`.
    ::testing::AssertionResult said(const std::string &text)
    {
        if (eventually([&] { return server->err_now().find(text) != std::string::npos; }, NET_LIMIT))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "not said: " << text << "\nin: " << server->err_now();
    }
    std::string denied() const { return body_of(read_until_eof(connect_port(port).get())); }
};

// SIGHUP reads config.xml again: a refused file changes nothing, a good
// one applies (access lists at once) and is not rewritten, open
// connections go on; each outcome is an event. The service manager hears
// READY, RELOADING and READY around every reload, and STOPPING.
TEST_F(Service, SighupReloadsAndTellsTheServiceManager)
{
    NotifySocket manager(work.file("notify"));
    ASSERT_TRUE(manager.bound());
    ASSERT_TRUE(start("<MaxClientConnect>5</MaxClientConnect>", {"NOTIFY_SOCKET=" + work.file("notify")}));
    EXPECT_EQ(manager.next(), "READY=1\nSTATUS=Serving");
    const auto reload = [&](const std::string &doc, const std::string &status) {
        write_config(doc);
        signal(SIGHUP);
        const std::string reloading = manager.next();
        EXPECT_TRUE(std::regex_match(reloading,
                                     std::regex("RELOADING=1\nSTATUS=Reloading the configuration\n"
                                                "MONOTONIC_USEC=[1-9][0-9]*")))
            << reloading;
        EXPECT_EQ(manager.next(), "READY=1\nSTATUS=Serving" + status);
    };
    Fd before = connect_port(port);
    ASSERT_TRUE(answers(before.get(), 1));
    const std::string bad = config_doc("<Client Allow=\"No\">127.0.0.1</Client><Port>70000</Port>");
    reload(bad, "; the last reload was refused");
    ASSERT_TRUE(said("Configuration reload refused"));
    EXPECT_TRUE(serves(2));
    EXPECT_EQ(read_file(CONFIG_XML), bad);

    const std::string good = config_doc(settings_with_ports(
        "<MaxClientConnect>6</MaxClientConnect><Client Allow=\"No\">127.0.0.1</Client>"));
    reload(good, "");
    ASSERT_TRUE(said("Configuration reloaded"));
    EXPECT_EQ(denied(), ACL_DENIED);
    EXPECT_TRUE(answers(before.get(), 3)) << "an open connection is its child's";
    EXPECT_EQ(read_file(CONFIG_XML), good);
    // Signals in a burst make one reload at least, and the server lives on.
    for (int i = 0; i < 5; i++) signal(SIGHUP);
    EXPECT_EQ(denied(), ACL_DENIED);
    const std::string raw = server->err_now();
    EXPECT_TRUE(std::regex_search(raw, std::regex("Z error Configuration reload refused")));
    EXPECT_TRUE(std::regex_search(raw, std::regex("Z info Configuration reloaded")));
    before.reset();
    signal(SIGTERM);
    std::string said_last;
    while ((said_last = manager.next()).starts_with("RELOADING=1") || said_last.starts_with("READY=1")) {
    }
    EXPECT_EQ(said_last, "STOPPING=1\nSTATUS=Stopping");
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    const std::string refused = PORT_REFUSED + "\nConfiguration reload refused: " + CONFIG_XML +
                                " has the error above and was not applied; the running settings "
                                "stay. Correct the file and send SIGHUP again.\n",
                      reloaded = "Configuration reloaded from " + CONFIG_XML +
                                 "; MaxClientConnect take effect at the next start\n",
                      client = "Client (127.0.0.1) denied access - due to access control rule\n";
    EXPECT_TRUE(r.err.starts_with(refused + reloaded + client)) << r.err;
    EXPECT_EQ(occurrences(r.err, "Configuration reloaded from "),
              occurrences(r.err, "Configuration reload") - 1);
}

// -c: the server reads and saves the named file, not the installation's.
TEST_F(Service, ConfigOptionNamesTheFileTheServerSaves)
{
    write_config(config_doc("<Port>70000</Port>"));  // refused if it were read
    const std::string mine = work.file("server.xml");
    write_file(mine, config_doc(settings_with_ports("")));
    ASSERT_TRUE(launch(command({"-c", mine, "standalone"})));
    EXPECT_TRUE(serves(4));
    const std::string changed = settings_with_ports("<MaxClientConnect>9</MaxClientConnect>");
    EXPECT_EQ(body_of(control(control_port, config_doc(changed))), CONTROL_DONE);
    EXPECT_TRUE(holds(read_file(mine), {"<MaxClientConnect>9</MaxClientConnect>"}));
    // Saved once more after the answer; no temporary file stays, nor one beside config.xml.
    EXPECT_TRUE(eventually([&] { return !fs::exists(work.file("tmp_server.xml")); }, 2s));
    EXPECT_FALSE(fs::exists(INSTALL_DIR + "/tmp_config.xml"));
    EXPECT_EQ(read_file(CONFIG_XML), config_doc("<Port>70000</Port>"));
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

// Outside the journal every line is "<time> <level> <text>"; the start
// line names the configuration and listeners, the stop line the signal and
// the children waited for. As the journal: the priority alone.
TEST_F(Service, StartAndStopLinesOutsideAndInsideTheJournal)
{
    const std::string sock = work.file("c.sock");
    ASSERT_TRUE(start("<ListenAddress>127.0.0.1</ListenAddress><ControlListenAddress>::1"
                      "</ControlListenAddress><ControlSocket>" + sock + "</ControlSocket>"));
    Fd idle = connect_port(port);
    ASSERT_TRUE(answers(idle.get(), 1));  // its child now waits for the next request
    signal(SIGINT);
    ASSERT_TRUE(server_ended_within(5s));
    ProcResult r = server->finish();
    EXPECT_EQ(r.status, 0);
    const std::regex lines(
        "(\\S+) info quilletserver 1\\.1\\.0 started, pid " + std::to_string(server->pid()) +
        ", configuration " + CONFIG_XML + ", listening on 127\\.0\\.0\\.1:" + std::to_string(port) +
        " \\(requests\\), \\[::1\\]:" + std::to_string(control_port) + " \\(control\\), " + sock +
        " \\(control\\)\n(\\S+) info quilletserver stopped on SIGINT, waited for 1 child\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, lines)) << r.err;
    EXPECT_TRUE(recent(m[1])) << m[1];
    EXPECT_TRUE(recent(m[2])) << m[2];

    ASSERT_TRUE(start("<ListenAddress>127.0.0.1</ListenAddress><ControlListenAddress>none"
                      "</ControlListenAddress><Client Allow=\"No\">127.0.0.1</Client>",
                      {}, true));
    EXPECT_EQ(denied(), ACL_DENIED);
    signal(SIGTERM);
    ASSERT_TRUE(server_ended_within(5s));
    r = server->finish();
    EXPECT_EQ(r.err, "<4>Control interface enabled but not listening - ControlListenAddress is "
                     "none and ControlSocket is empty\n"
                     "<6>quilletserver 1.1.0 started, pid " + std::to_string(server->pid()) +
                         ", configuration " + CONFIG_XML + ", listening on 127.0.0.1:" +
                         std::to_string(port) + " (requests)\n"
                         "<3>Client (127.0.0.1) denied access - due to access control rule\n"
                         "<6>quilletserver stopped on SIGTERM, waited for 0 children\n");
}

// The system calls of a filter group, as this machine's systemd expands it.
std::set<std::string> syscall_set(const std::string &group)
{
    std::set<std::string> names;
    std::string listing;
    if (!run_tool({"systemd-analyze", "syscall-filter", group}, "", &listing)) return names;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("    ") || line.starts_with("    #")) continue;
        const std::string name = line.substr(4);
        if (name.starts_with("@")) {
            names.merge(syscall_set(name));
        } else {
            names.insert(name);
        }
    }
    return names;
}

// The unit's SystemCallFilter (@system-service without @privileged) allows
// every call the server makes from start to stop; others fail with EPERM.
TEST_F(Service, StaysWithinTheUnitsSystemCallFilter)
{
    if (QUILLET_SANITIZED) GTEST_SKIP() << "the sanitizers' own system calls are not the server's";
    std::set<std::string> allowed = syscall_set("@system-service");
    for (const std::string &name : syscall_set("@privileged")) allowed.erase(name);
    ASSERT_GT(allowed.size(), 100u);

    const std::string trace = work.file("trace");
    configure("<ControlSocket>" + work.file("c.sock") + "</ControlSocket>");
    ASSERT_TRUE(launch({"strace", "-f", "-qq", "-o", trace, QUILLET_BINARY, "standalone"}));
    const std::vector<pid_t> traced = children_of(server->pid());
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_TRUE(serves(4));
    EXPECT_TRUE(holds(control(control_port, STATISTICS), {"<Total>"}));
    EXPECT_EQ(body_of(control(control_port, config_doc(settings_with_ports("")))), CONTROL_DONE);
    kill(traced[0], SIGHUP);
    EXPECT_TRUE(eventually([&] { return holds(server->err_now(), {"Configuration reloaded"}); }, NET_LIMIT));
    Fd idle = connect_port(port);
    EXPECT_TRUE(answers(idle.get(), 5));
    kill(traced[0], SIGTERM);
    EXPECT_EQ(server->finish().status, 0);

    std::set<std::string> used, outside;
    const std::regex call(R"(^\d+ +([a-z0-9_]+)\()");
    std::istringstream lines(read_file(trace));
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, call)) used.insert(m[1]);
    }
    for (const std::string &name : used)
        if (!allowed.contains(name)) outside.insert(name);
    EXPECT_GT(used.size(), 40u);
    EXPECT_EQ(outside, std::set<std::string>{}) << ::testing::PrintToString(used);
}

}  // namespace
