// Settings: a configuration document applied, written back and applied
// again; defaults for absent settings; refused values; lookups by name; the
// trace log following LogDir.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "config.h"
#include "unit_support.h"

using namespace unit;
namespace fs = std::filesystem;

namespace {

int apply(diagstk_t *d, std::string doc)
{
    io_in_t in = file_in(fmemopen(doc.data(), doc.size(), "r"));
    const int r = qx_parse_config(d, &in);
    std::fclose(in.src.file.fp);
    return r;
}

// The stored settings, in table order.
std::string settings()
{
    char buf[4 * INI_STRING_SIZE];
    std::snprintf(buf, sizeof buf, "%u %u %u %u 0x%x %u %s | %s | %s | %u %u %u %u", ini_port,
                  ini_control_port, ini_max_concurrent, ini_max_client, quilletlog, ini_flags,
                  ini_logdir, ini_acl, ini_ctrl_acl, ini_request_timeout, ini_idle_timeout,
                  ini_query_timeout, ini_max_child_memory);
    return buf;
}

// The document qx_return_config writes, its date masked.
std::string written()
{
    MemOut out;
    EXPECT_EQ(qx_return_config(nullptr, &out.out), 0);
    std::string text = out.text();
    const std::size_t date = text.find("  Date: ");
    return date == text.npos ? text : text.replace(date, text.find('\r', date) - date, "Date");
}

// Every test starts and ends with the default settings, so the tests after
// it see them too; Logging 0 leaves no trace file behind.
class Settings : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        qx_init_config();
        ASSERT_EQ(apply(nullptr, "<Configuration/>"), 0);
        ASSERT_EQ(quilletlog, 0u);
    }
    diagstk_ptr d{diagstk_new()};
};

std::string read_file(const fs::path &p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    TempDir()
    {
        char templ[] = "/tmp/unit-config-XXXXXX";
        path = mkdtemp(templ);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};

const char *ALL_OFF =
    "<Flags><MultiThreaded/><DisableControlInterface/><IgnoreChildrenOnClosedown/>"
    "<LeaveChildrenOnClosedown/><NoReverseLookup/></Flags>";

}  // namespace

// Whatever the writer emits must read back as the same settings, texts
// that need escaping and Allow signs included.
TEST_F(Settings, WrittenDocumentReadsBackAsTheSameSettings)
{
    // Logging sets only bits the ODBC layer traces, and LogDir cannot be
    // created: nothing here can open a trace file.
    const std::string doc =
        "<Configuration>\n  <port>0x2710</port>\n  <ControlPort>10001</ControlPort>\n"
        "  <MaxConcurrentConnect>017</MaxConcurrentConnect>\n"
        "  <MaxClientConnect> 4</MaxClientConnect>\n  <Logging>0x82</Logging>\n"
        "  <LogDir>/dev/null/a&amp;b&lt;c&gt;</LogDir>\n"
        "  <Flags><MultiThreaded/><DisableControlInterface/><KillChildrenOnClosedown/>"
        "<ReverseLookup/></Flags>\n"
        "  <Client Allow=\"no\"> 10.0.0.0/255.0.0.0 </Client>\n  <Client>192.168.1.7</Client>\n"
        "  <client Allow=\"YES\">0.0.0.0/0.0.0.0</client>\n"
        "  <ControlClient>127.0.0.1</ControlClient>\n"
        "  <ControlClient Allow=\"No\">0.0.0.0/0.0.0.0</ControlClient>\n"
        "  <RequestTimeout>0</RequestTimeout><QueryTimeout>300</QueryTimeout>\n</Configuration>\n";
    // Flags starts from 7: the wait bit, not named, stays on; MultiProcess
    // is forced on whatever the document says.
    const std::string expected = "10000 10001 15 4 0x82 29 /dev/null/a&b<c> | "
                                 "-10.0.0.0/255.0.0.0,+192.168.1.7,+0.0.0.0/0.0.0.0 | "
                                 "+127.0.0.1,-0.0.0.0/0.0.0.0 | 0 300 300 0";
    ASSERT_EQ(apply(d.get(), doc), 0);
    EXPECT_EQ(settings(), expected);
    const std::string first = written();
    // Later settings are written back after the access lists, and only
    // when they differ from their defaults.
    EXPECT_NE(first.find("</ControlClient>\n    <RequestTimeout>0</RequestTimeout>\n"
                         "    <QueryTimeout>300</QueryTimeout>\n</Configuration>"),
              first.npos)
        << first;
    ASSERT_EQ(apply(d.get(), first), 0) << first;
    EXPECT_EQ(settings(), expected);
    EXPECT_EQ(written(), first);
    EXPECT_EQ(messages(d.get()), Msgs{});
}

TEST_F(Settings, AbsentSettingsTakeDefaultsAndRefusalsNameTheValue)
{
    const std::string all = "<Configuration><Port>1</Port><ControlPort>2</ControlPort>"
                            "<MaxConcurrentConnect>3</MaxConcurrentConnect><MaxClientConnect>4"
                            "</MaxClientConnect><Logging>0x80</Logging><LogDir>/x</LogDir>"
                            "<Flags><ReverseLookup/></Flags><Client>1.2.3.4</Client>"
                            "<ControlClient>1.2.3.4</ControlClient></Configuration>";
    const std::string defaults = "8895 8896 0 0 0x0 7 /tmp |  |  | 30 300 0 0";
    const std::string as_all = "1 2 3 4 0x80 23 /x | +1.2.3.4 | +1.2.3.4 | 30 300 0 0";
    // Each document goes on top of `all`: the settings it leaves, or the one
    // message of its refusal, which changes nothing however late it comes.
    const struct { std::string doc; int result; std::string expected; } cases[] = {
        {"<Configuration><Port>0x22BF</Port></Configuration>", 0, defaults},
        {"<Settings><Port>5</Port></Settings>", 0, defaults},
        {"<Configuration><Port>12ab</Port></Configuration>", -1,
         "xml2config: invalid value 12ab for Port"},
        {"<Configuration><Port>0</Port></Configuration>", -1,
         "xml2config: value \"0\" for Port out of range (1 to 65535)"},
        {"<Configuration><Port>9</Port><ControlPort>70000</ControlPort></Configuration>", -1,
         "xml2config: value \"70000\" for ControlPort out of range (1 to 65535)"},
        {"<Configuration><MaxClientConnect>4294967295</MaxClientConnect></Configuration>", -1,
         "xml2config: value \"4294967295\" for MaxClientConnect too big"},
        // Wider than the storage: refused, not cut to 32 bits.
        {"<Configuration><Logging>0x100000001</Logging></Configuration>", -1,
         "xml2config: value \"0x100000001\" for Logging too big"},
        {"<Configuration><Flags><KillChildrenOnClosedown/><LeaveChildrenOnClosedown/></Flags>"
         "</Configuration>", -1, "xml2config: bitmask \"Flags\" has on (KillChildrenOnClosedown) and off "
         "(LeaveChildrenOnClosedown) values"},
        // Everything before the refused value would have changed: the lists
        // emptied, the limits and the trace mask taken from the document.
        {"<Configuration><Port>9</Port><Logging>0</Logging><Client>5.6.7.8</Client>"
         "<Client Allow=\"maybe\">1.2.3.4</Client></Configuration>", -1,
         "attr_acl: \"maybe\" is invalid Allow attribute value"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.doc);
        ASSERT_EQ(apply(d.get(), all), 0);
        EXPECT_EQ(apply(d.get(), c.doc), c.result);
        EXPECT_EQ(c.result == 0 ? settings() : messages(d.get()).at(0), c.expected);
        if (c.result != 0) {
            EXPECT_EQ(settings(), as_all);
        }
        EXPECT_EQ(d->entries, c.result == 0 ? 0u : 1u);
        diagstk_remove(d.get(), 0);
    }
}

TEST_F(Settings, LookupByNameReadsTheRowsOfTheTable)
{
    ASSERT_EQ(apply(d.get(), std::string("<Configuration><ControlPort>7</ControlPort>") +
                                 ALL_OFF + "<Client>1.2.3.4</Client></Configuration>"),
              0);
    const struct { const char *item; unsigned long number; } numbers[] = {
        {"Port", 8895}, {"ControlPort", 7}, {"MaxConcurrentConnect", 0}, {"Flags", 1},
    };
    for (const auto &n : numbers) {
        unsigned long value = 99;
        EXPECT_EQ(qx_get_config(d.get(), n.item, nullptr, 0, nullptr, &value), 0) << n.item;
        EXPECT_EQ(value, n.number) << n.item;
    }
    char *text = nullptr;
    ASSERT_EQ(qx_get_config(d.get(), "Client", nullptr, 0, &text, nullptr), 0);
    EXPECT_EQ(text, ini_acl);  // the storage itself
    EXPECT_STREQ(text, "+1.2.3.4");
    // An empty LogDir reads as /tmp, which exists here.
    char buf[5];
    ASSERT_EQ(qx_get_config(d.get(), "LogDir", buf, sizeof buf, &text, nullptr), 0);
    EXPECT_STREQ(buf, "/tmp");
    EXPECT_STREQ(text, "/tmp");
    EXPECT_EQ(d->entries, 0u);

    unsigned long value = 0;
    const struct { const char *item; unsigned long *ulval; std::size_t buflen; std::string message; }
        failures[] = {
            {nullptr, &value, 0, "qx_get_config: no item specified"},
            {"port", &value, 0, "qx_get_config: Request for unknown configuration option \"port\""},
            {"Port", nullptr, 0, "qx_get_config: no destination for Port"},
            {"LogDir", nullptr, 4, "qx_get_config: LogDir value is too long for supplied buffer"},
        };
    for (const auto &f : failures) {
        diagstk_ptr e(diagstk_new());
        EXPECT_EQ(qx_get_config(e.get(), f.item, buf, f.buflen, nullptr, f.ulval), -1);
        EXPECT_EQ(messages(e.get()), Msgs{f.message});
    }
}

// The trace log opens lazily, in the directory LogDir names when its first
// line is written; a document refused at LogDir leaves the directory as it
// was.
TEST_F(Settings, TraceLogOpensInTheLogDirInForceAtTheFirstLine)
{
    const std::string name = "unit_config.log_" + std::to_string(getpid());
    TempDir first, second;
    qx_log_finish();
    qx_log_init(name.c_str());
    const auto trace_to = [&](const std::string &logdir, const char *line) {
        apply(d.get(), "<Configuration><LogDir>" + logdir + "</LogDir></Configuration>");
        qx_log("%s\n", line);
        qx_log("%s\n", "next");  // an open log stays where it is
        qx_log_finish();
    };
    trace_to(first.path, "one");
    EXPECT_EQ(read_file(first.path / name), "Logging started\none\nnext\n");
    trace_to(second.path, "two");
    EXPECT_EQ(read_file(second.path / name), "Logging started\ntwo\nnext\n");

    // A document refused at LogDir leaves the directory as it was.
    trace_to(std::string(1024, 'x'), "three");
    EXPECT_EQ(read_file(second.path / name),
              "Logging started\ntwo\nnext\nLogging started\nthree\nnext\n");
    EXPECT_EQ(d->entries, 1u);  // the failed document's message
    qx_log_init("");
}
