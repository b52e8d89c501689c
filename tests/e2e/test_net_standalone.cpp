// The standalone server: one child per connection, admission limits,
// access lists, and the control port.

#include <regex>
#include <thread>

#include "net_support.h"

namespace {

class Standalone : public NetTest {};

// `text` matches `shape`, in which @UP@, @CPU@ and @TIME@ stand for an up
// time, a CPU time and a ctime() text; everything else is literal.
::testing::AssertionResult has_shape(const std::string &text, std::string shape)
{
    static const std::pair<std::string, std::string> holes[] = {
        {"@UP@", "0 days, 0 hours, 0 minutes and [0-9]+ seconds?"},
        {"@CPU@", "[0-9]+\\.[0-9][0-9]"},
        {"@TIME@", "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|"
                   "Dec) [ 123][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9]{4}"},
    };
    std::string pattern;
    for (std::size_t i = 0; i < shape.size();) {
        bool hole = false;
        for (const auto &[name, re] : holes) {
            if (shape.compare(i, name.size(), name) == 0) {
                pattern += re;
                i += name.size();
                hole = true;
                break;
            }
        }
        if (hole) continue;
        if (std::string("\\^$.|?*+()[]{}").find(shape[i]) != std::string::npos) pattern += '\\';
        pattern += shape[i++];
    }
    if (std::regex_match(text, std::regex(pattern))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got:\n" << text << "\nexpected the shape:\n" << shape;
}

// Each connection has a child of its own that serves it until it ends; a
// malformed request or a client that leaves at once ends only that one.
TEST_F(Standalone, EachConnectionIsServedByItsOwnChild)
{
    ASSERT_TRUE(start());
    Fd a = connect_bounded(port);
    EXPECT_EQ(result_of(ask(a.get(), sql("SELECT n AS v FROM t WHERE n = 2"))), one_value("v", "2"));
    const std::vector<pid_t> first = children_of(server->pid());
    ASSERT_EQ(first.size(), 1u);

    Fd bad = connect_bounded(port);
    ASSERT_TRUE(send_all(bad.get(), "<Request><Sql>SELECT 1</Request>"));
    EXPECT_EQ(body_of(read_until_eof(bad.get(), NET_LIMIT)),
              error_body("error on line 1 of input request, mismatched tag"));
    for (int i = 0; i < 3; i++) connect_bounded(port).reset();

    EXPECT_EQ(result_of(ask(a.get(), sql("SELECT count(*) AS v FROM t"))), one_value("v", "3"));
    const auto only_a_runs = [&] {
        int running = 0;
        for (pid_t kid : children_of(server->pid())) running += has_ended(kid) ? 0 : 1;
        return running == 1 && !has_ended(first[0]);
    };
    EXPECT_TRUE(eventually(only_a_runs, 5s));
    Fd c = connect_bounded(port);
    EXPECT_EQ(result_of(ask(c.get(), sql("SELECT 7 AS v"))), one_value("v", "7"));
    a.reset();
    c.reset();
    EXPECT_EQ(stop(), (ProcResult{0, false, "", ""}));
}

// With two connections open, a third is refused with an error document;
// once one of the two has ended, the next is admitted.
TEST_F(Standalone, ConnectionLimits)
{
    const std::pair<const char *, const char *> limits[] = {
        {"<MaxConcurrentConnect>2</MaxConcurrentConnect>", "Maximum Threads/Processes already in use"},
        {"<MaxClientConnect>2</MaxClientConnect>",
         "Maximum connections from client 127.0.0.1 already in use"},
    };
    for (const auto &[setting, refusal] : limits) {
        SCOPED_TRACE(setting);
        ASSERT_TRUE(start(setting));
        Fd a = connect_bounded(port);
        EXPECT_EQ(result_of(ask(a.get(), sql("SELECT 1 AS v"))), one_value("v", "1"));
        const std::vector<pid_t> kids = children_of(server->pid());
        ASSERT_EQ(kids.size(), 1u);
        Fd b = connect_bounded(port);
        EXPECT_EQ(result_of(ask(b.get(), sql("SELECT 2 AS v"))), one_value("v", "2"));

        Fd third = connect_bounded(port);
        EXPECT_EQ(body_of(read_until_eof(third.get(), NET_LIMIT)), error_body(refusal));
        a.reset();
        ASSERT_TRUE(eventually([&] { return has_ended(kids[0]); }, 5s));
        Fd next = connect_bounded(port);
        EXPECT_EQ(result_of(ask(next.get(), sql("SELECT 3 AS v"))), one_value("v", "3"));
        b.reset();
        next.reset();
        const ProcResult r = stop();
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err.find(refusal), std::string::npos) << r.err;
    }
}

TEST_F(Standalone, AccessListsRefuseWithAnErrorDocument)
{
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.1</Client>"
                      "<ControlClient Allow=\"No\">127.0.0.0/255.0.0.0</ControlClient>"));
    Fd conn = connect_bounded(port);
    ASSERT_TRUE(send_all(conn.get(), sql("SELECT 1")));
    EXPECT_EQ(body_of(read_until_eof(conn.get(), NET_LIMIT)),
              error_body("Access denied to client due to IP-based ACL"));
    EXPECT_EQ(body_of(control(control_port, "<Request><Statistics/></Request>")),
              error_body("Access denied to client due to Control IP-based ACL"));
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Client (127.0.0.1) denied access - due to access control rule\n"),
              std::string::npos)
        << r.err;
}

TEST_F(Standalone, DisabledControlInterfaceOpensNoPort)
{
    ASSERT_TRUE(start("<Flags><DisableControlInterface/></Flags>"));
    Fd conn = connect_bounded(port);
    EXPECT_EQ(result_of(ask(conn.get(), sql("SELECT 5 AS v"))), one_value("v", "5"));
    EXPECT_FALSE(listening(control_port));
    EXPECT_EQ(control(control_port, "<Request><Configuration/></Request>"), "refused");
    conn.reset();
    EXPECT_EQ(stop(), (ProcResult{0, false, "", ""}));
}

// A new Client list sent on the control port applies from the next idle
// turn; the statistics then count the refusal; and every control request
// leaves config.xml holding the settings in force.
TEST_F(Standalone, ControlPortReconfiguresAndReports)
{
    ASSERT_TRUE(start());
    {
        Fd a = connect_bounded(port);
        EXPECT_EQ(result_of(ask(a.get(), sql("SELECT 1 AS v"))), one_value("v", "1"));
        EXPECT_EQ(result_of(ask(a.get(), sql("SELECT 2 AS v"))), one_value("v", "2"));
    }
    EXPECT_EQ(body_of(control(control_port, config_doc(settings_with_ports(
                                                "<Client Allow=\"No\">127.0.0.1</Client>")))),
              "<Result Status=\"00000\">\n</Result>\n");
    const std::string saved = written_config(port, control_port, logdir.path(),
                                             "    <Client Allow=\"No\">127.0.0.1</Client>\n");
    // The file is written again after the answer has gone out.
    const auto config_saved = [&] {
        return body_of(read_file(InstallDir::config_path())) == saved;
    };
    EXPECT_TRUE(eventually(config_saved, 2s));

    // The server waits up to 5 s for a connection before its idle turn;
    // any connection in between would start that wait again.
    std::this_thread::sleep_for(6500ms);
    Fd refused = connect_bounded(port);
    EXPECT_EQ(body_of(read_until_eof(refused.get(), NET_LIMIT)),
              error_body("Access denied to client due to IP-based ACL"));

    InstallDir::write_config(config_doc(settings_with_ports("")));
    EXPECT_TRUE(has_shape(body_of(control(control_port, "<Request><Statistics/></Request>")),
                          "<Result State=\"00000\">\n"
                          "  <UpTime>@UP@</UpTime>\n"
                          "  <CPUTime>\n    <Kernel>@CPU@</Kernel>\n    <User>@CPU@</User>\n"
                          "  </CPUTime>\n"
                          "  <Connections>\n"
                          "    <Total>2</Total>\n"
                          "    <Refused>1</Refused>\n"
                          "    <Active>0</Active>\n"
                          "    <MaxConcurrent>1</MaxConcurrent>\n"
                          "    <ChildrenCreated>1</ChildrenCreated>\n"
                          "    <LastConnect>@TIME@</LastConnect>\n"
                          "    <LastDisconnect>@TIME@</LastDisconnect>\n"
                          "  </Connections>\n"
                          "  <Clients>\n"
                          "    <Client Name=\"unknown\">127.0.0.1</Client>\n"
                          "  </Clients>\n"
                          "  <Control>\n    <Connections>\n      <Total>2</Total>\n"
                          "    </Connections>\n  </Control>\n"
                          "</Result>\n"));
    EXPECT_TRUE(eventually(config_saved, 2s)) << read_file(InstallDir::config_path());
    const ProcResult r = stop();
    EXPECT_EQ(r.status, 0);
}

}  // namespace
