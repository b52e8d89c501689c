// Settings table: applying a Configuration document, writing it back,
// looking settings up by name, and the trace log following LogDir.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "config.h"
#include "parse.h"
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

// The written document from its Configuration element on (the prolog
// carries the date).
std::string written()
{
    MemOut m;
    diagstk_ptr d(diagstk_new());
    EXPECT_EQ(qx_return_config(d.get(), &m.out), 0);
    const std::string text = m.text();
    const std::size_t at = text.find("<Configuration>");
    return at == std::string::npos ? text : text.substr(at);
}

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

TEST(ConfigDocument, WrittenBackRowByRowAndReadsBackTheSame)
{
    qx_init_config();
    diagstk_ptr d(diagstk_new());
    // Every kind of row: numbers in three bases, hex write-back (of a trace
    // bit no area uses, so nothing is traced), a string,
    // a bitmask whose MultiProcess bit cannot be cleared, access lists with
    // stripped texts and both signs.
    ASSERT_EQ(apply(d.get(), std::string("<Configuration><port>0x22BF</port>"
                                         "<MaxClientConnect>017</MaxClientConnect>"
                                         "<Logging>512</Logging><LogDir> /a b</LogDir>") +
                                 ALL_OFF +
                                 "<Client> 1.2.3.4 </Client><Client Allow='no'>5.6.7.8/"
                                 "255.255.0.0</Client><ControlClient>9.9.9.9</ControlClient>"
                                 "</Configuration>"),
              0);
    const std::string expected = "<Configuration>\n"
                                 "    <Port>8895</Port>\n"
                                 "    <ControlPort>8896</ControlPort>\n"
                                 "    <MaxConcurrentConnect>0</MaxConcurrentConnect>\n"
                                 "    <MaxClientConnect>15</MaxClientConnect>\n"
                                 "    <Logging>0x200</Logging>\n"
                                 "    <LogDir> /a b</LogDir>\n"
                                 "    <Flags>\n"
                                 "        <MultiProcess/>\n"
                                 "        <DisableControlInterface/>\n"
                                 "        <IgnoreChildrenOnClosedown/>\n"
                                 "        <LeaveChildrenOnClosedown/>\n"
                                 "        <NoReverseLookup/>\n"
                                 "    </Flags>\n"
                                 "    <Client Allow=\"Yes\">1.2.3.4</Client>\n"
                                 "    <Client Allow=\"No\">5.6.7.8/255.255.0.0</Client>\n"
                                 "    <ControlClient Allow=\"Yes\">9.9.9.9</ControlClient>\n"
                                 "</Configuration>\n";
    EXPECT_EQ(written(), expected);
    ASSERT_EQ(apply(d.get(), expected), 0);
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(d->entries, 0u);

    // An empty document gives every default and empties the lists.
    ASSERT_EQ(apply(d.get(), "<Configuration/>"), 0);
    EXPECT_EQ(written(), "<Configuration>\n    <Port>8895</Port>\n    <ControlPort>8896</ControlPort>\n"
                         "    <MaxConcurrentConnect>0</MaxConcurrentConnect>\n"
                         "    <MaxClientConnect>0</MaxClientConnect>\n    <Logging>0x0</Logging>\n"
                         "    <LogDir>/tmp</LogDir>\n    <Flags>\n        <MultiProcess/>\n"
                         "        <EnableControlInterface/>\n"
                         "        <WaitForChildrenTerminationOnClosedown/>\n"
                         "        <LeaveChildrenOnClosedown/>\n        <NoReverseLookup/>\n"
                         "    </Flags>\n</Configuration>\n");
    qx_init_config();
}

TEST(ConfigDocument, FailingRowsReportAndStop)
{
    const struct { std::string doc, message; } cases[] = {
        {"<Port>12ab</Port>", "xml2config: invalid value 12ab for Port"},
        {"<Port>4294967295</Port>", "xml2config: value \"4294967295\" for Port too big"},
        {"<Flags><KillChildrenOnClosedown/><LeaveChildrenOnClosedown/></Flags>",
         "xml2config: bitmask \"Flags\" has on (KillChildrenOnClosedown) and off "
         "(LeaveChildrenOnClosedown) values"},
        {"<LogDir>" + std::string(1024, 'x') + "</LogDir>", "xml2config: value \"xxxxxxxx"},
        {"<Client Allow='maybe'>1.2.3.4</Client>",
         "attr_acl: \"maybe\" is invalid Allow attribute value"},
    };
    for (const auto &c : cases) {
        qx_init_config();
        quillet_configuration_change = 0;
        diagstk_ptr d(diagstk_new());
        EXPECT_EQ(apply(d.get(), "<Configuration>" + c.doc + "</Configuration>"), -1) << c.doc;
        // The stack cuts long texts, so only their beginning is compared.
        const Msgs m = messages(d.get());
        ASSERT_EQ(m.size(), 1u) << c.doc;
        EXPECT_EQ(m[0].substr(0, c.message.size()), c.message);
        EXPECT_EQ(quillet_configuration_change, 0) << c.doc;
    }
    qx_init_config();
}

TEST(ConfigLookup, NamesAreRowsOfTheTable)
{
    qx_init_config();
    diagstk_ptr d(diagstk_new());
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
    qx_init_config();
}

// The trace log opens lazily, in the directory LogDir names when its first
// line is written; a document that fails on LogDir leaves it empty, so the
// log falls back to /tmp.
TEST(ConfigTraceLog, OpensInTheLogDirInForceAtTheFirstLine)
{
    const std::string name = "unit_config.log_" + std::to_string(getpid());
    TempDir first, second;
    diagstk_ptr d(diagstk_new());
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

    trace_to(std::string(1024, 'x'), "three");
    const fs::path fallback = fs::path("/tmp") / name;
    EXPECT_EQ(read_file(fallback), "Logging started\nthree\nnext\n");
    fs::remove(fallback);
    EXPECT_EQ(d->entries, 1u);  // the failed document's message
    qx_log_init("");
    qx_init_config();
}
