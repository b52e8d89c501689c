// Settings table, configuration document and configuration file store.

#include <cstring>

#include "config.h"
#include "log.h"
#include "unit_support.h"

namespace fs = std::filesystem;
using Msgs = std::vector<std::string>;
using unit::messages;

namespace {

// A stack, and the settings as a freshly started process has them.
diagstk_ptr fresh()
{
    qx_init_config();
    ini_port = ini_control_port = ini_max_concurrent = ini_max_client = ini_flags = 0;
    quilletlog = 0;
    quillet_configuration_change = 0;
    return diagstk_ptr(diagstk_new());
}

int apply_doc(diagstk_t *d, std::string doc)
{
    io_in_t in{};
    in.method = XML_INPUT_METHOD_FILE;
    in.src.file.fp = fmemopen(doc.data(), doc.size(), "r");
    const int r = qx_parse_config(d, &in);
    io_close_channels(&in, nullptr, d);
    return r;
}

std::string cfg(const std::string &inner)
{
    return "<Configuration>" + inner + "</Configuration>";
}

// The configuration document as written, after its dated prolog.
std::string written(diagstk_t *d)
{
    unit::MemOut m;
    EXPECT_EQ(qx_return_config(d, &m.out), 0);
    const std::string doc = m.text();
    EXPECT_EQ(doc.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!--", 0), 0u);
    return doc.substr(doc.find("-->\r\n") + 5);
}

const char *const kDefaults =
    "<Configuration>\n    <Port>8895</Port>\n    <ControlPort>8896</ControlPort>\n"
    "    <MaxConcurrentConnect>0</MaxConcurrentConnect>\n"
    "    <MaxClientConnect>0</MaxClientConnect>\n    <Logging>0x0</Logging>\n"
    "    <LogDir>/tmp</LogDir>\n    <Flags>\n        <MultiProcess/>\n"
    "        <EnableControlInterface/>\n        <WaitForChildrenTerminationOnClosedown/>\n"
    "        <LeaveChildrenOnClosedown/>\n        <NoReverseLookup/>\n    </Flags>\n"
    "</Configuration>\n";

}  // namespace

TEST(ConfigApply, EmptyOrForeignDocumentGivesDefaults)
{
    for (const char *doc : {"<Configuration/>", "<Settings><Port>1</Port></Settings>"}) {
        auto d = fresh();
        ASSERT_EQ(apply_doc(d.get(), doc), 0) << doc;
        EXPECT_EQ(messages(d.get()), Msgs{});
        EXPECT_EQ(quillet_configuration_change, 1);
        EXPECT_EQ(written(d.get()), kDefaults) << doc;
    }
}

TEST(ConfigApply, NumericValues)
{
    const struct {
        const char *text;
        std::uint32_t value;
        const char *error;  // null: accepted
    } cases[] = {
        {"0x22BF", 8895, nullptr},
        {"017", 15, nullptr},
        {"  42", 42, nullptr},
        {"\n42\n", 42, nullptr},
        {"4294967294", 4294967294u, nullptr},
        {"12ab", 0, "xml2config: invalid value 12ab for Port"},
        {"42 ", 0, "xml2config: invalid value 42  for Port"},
        {"\n42\n  ", 0, "xml2config: invalid value 42   for Port"},  // indented end tag
        {"", 0, "xml2config: invalid value  for Port"},
        {"4294967295", 0, "xml2config: value \"4294967295\" for Port too big"},
        // Would wrap to 0 if narrowed to 32 bits before the check.
        {"4294967296", 0, "xml2config: value \"4294967296\" for Port too big"},
        {"-1", 0, "xml2config: value \"-1\" for Port too big"},
    };
    for (const auto &c : cases) {
        auto d = fresh();
        const int r = apply_doc(d.get(), cfg(std::string("<port>") + c.text + "</port>"));
        EXPECT_EQ(r, c.error ? -1 : 0) << c.text;
        EXPECT_EQ(ini_port, c.value) << c.text;
        EXPECT_EQ(messages(d.get()), c.error ? Msgs{c.error} : Msgs{});
        EXPECT_EQ(quillet_configuration_change, c.error ? 0 : 1) << c.text;
    }
}

TEST(ConfigApply, FlagsStartFromCurrentValueAndKeepMultiProcess)
{
    const struct {
        std::uint32_t before;
        const char *flags;  // null: no Flags element
        std::uint32_t after;
    } cases[] = {
        {0, "<MultiThreaded/><ReverseLookup/>", 17},
        {7, "<MultiThreaded/><ReverseLookup/>", 23},
        {31, "<disablecontrolinterface/>", 29},
        {0, "", 1},
        {16, nullptr, 7},
    };
    for (const auto &c : cases) {
        auto d = fresh();
        ini_flags = c.before;
        ASSERT_EQ(
            apply_doc(d.get(), cfg(c.flags ? std::string("<Flags>") + c.flags + "</Flags>" : "")),
            0);
        EXPECT_EQ(ini_flags, c.after) << (c.flags ? c.flags : "absent");
    }
    auto d = fresh();
    EXPECT_EQ(
        apply_doc(d.get(),
                  cfg("<Flags><KillChildrenOnClosedown/><LeaveChildrenOnClosedown/></Flags>")),
        -1);
    EXPECT_EQ(messages(d.get()),
              Msgs{"xml2config: bitmask \"Flags\" has on (KillChildrenOnClosedown) "
                   "and off (LeaveChildrenOnClosedown) values"});
}

TEST(ConfigApply, AccessListsAreStrippedSignedAndWrittenBack)
{
    auto d = fresh();
    ASSERT_EQ(
        apply_doc(d.get(),
                  cfg("<Client> 10.0.0.0/255.0.0.0 </Client><Client Allow=\"no\">10.1.2.3</Client>"
                      "<Client allow=\"YES\">192.168.1.7  </Client>"
                      "<ControlClient>127.0.0.1</ControlClient>")),
        0);
    EXPECT_STREQ(ini_acl, "+10.0.0.0/255.0.0.0,-10.1.2.3,+192.168.1.7");
    EXPECT_STREQ(ini_ctrl_acl, "+127.0.0.1");
    EXPECT_NE(written(d.get()).find("    </Flags>\n"
                                    "    <Client Allow=\"Yes\">10.0.0.0/255.0.0.0</Client>\n"
                                    "    <Client Allow=\"No\">10.1.2.3</Client>\n"
                                    "    <Client Allow=\"Yes\">192.168.1.7</Client>\n"
                                    "    <ControlClient Allow=\"Yes\">127.0.0.1</ControlClient>\n"
                                    "</Configuration>\n"),
              std::string::npos);
    // A new document replaces the lists instead of adding to them.
    ASSERT_EQ(apply_doc(d.get(), cfg("<ControlClient>10.9.9.9</ControlClient>")), 0);
    EXPECT_STREQ(ini_acl, "");
    EXPECT_STREQ(ini_ctrl_acl, "+10.9.9.9");
}

TEST(ConfigApply, AccessListErrors)
{
    const char *const cases[][2] = {
        {"<Client Allow=\"maybe\">10.0.0.1</Client>",
         "attr_acl: \"maybe\" is invalid Allow attribute value"},
        // The address is validated before the Allow attribute is looked at.
        {"<Client Allow=\"maybe\">10.1</Client>",
         "qx_check_ip_address: invalid net/mask \"10.1\" - incomplete dotted quad"},
        {"<Client>\t10.0.0.1</Client>",  // only blanks are stripped
         "qx_check_ip_address: invalid net/mask \"\t10.0.0.1\" - invalid character at "
         "\"\t10.0.0.1\""},
        {"<ControlClient/>", "qx_check_ip_address: invalid net/mask \"\" - incomplete dotted quad"},
    };
    for (const auto &c : cases) {
        auto d = fresh();
        EXPECT_EQ(apply_doc(d.get(), cfg(c[0])), -1) << c[0];
        EXPECT_EQ(messages(d.get()), Msgs{c[1]});
    }
}

TEST(ConfigApply, FullAccessListRefusesEntryWithoutOverrun)
{
    // With its comma an entry takes 10 bytes for 10.0.0.1 and 9 for 1.2.3.4.
    auto list = [](int tens, int nines) {
        std::string inner = "<Client>10.0.0.1</Client>";
        for (int i = 0; i < tens; i++) inner += "<Client>10.0.0.1</Client>";
        for (int i = 0; i < nines; i++) inner += "<Client>1.2.3.4</Client>";
        return cfg(inner);
    };
    auto d = fresh();
    ASSERT_EQ(apply_doc(d.get(), list(96, 6)), 0);
    EXPECT_EQ(std::strlen(ini_acl), 1023u);
    // At 1016 bytes the raw text still passes the generic length check, but
    // the signed entry needs 1025.
    EXPECT_EQ(apply_doc(d.get(), list(98, 4)), -1);
    EXPECT_EQ(std::strlen(ini_acl), 1016u);
    EXPECT_EQ(messages(d.get()).size(), 1u);
}

TEST(ConfigApply, LogDirKeepsBlanksAndIsLimitedTo1023)
{
    auto d = fresh();
    ASSERT_EQ(apply_doc(d.get(), cfg("<LogDir> /var/log x </LogDir><Logging>255</Logging>")), 0);
    EXPECT_STREQ(ini_logdir, " /var/log x ");
    EXPECT_NE(
        written(d.get()).find("    <Logging>0xff</Logging>\n    <LogDir> /var/log x </LogDir>\n"),
        std::string::npos);
    // Longer than one formatted write, and still written back whole.
    const std::string longest(1023, 'd');
    ASSERT_EQ(apply_doc(d.get(), cfg("<LogDir>" + longest + "</LogDir>")), 0);
    EXPECT_NE(written(d.get()).find("<LogDir>" + longest + "</LogDir>\n"), std::string::npos);
    EXPECT_EQ(apply_doc(d.get(), cfg("<LogDir>" + longest + "d</LogDir>")), -1);
    ASSERT_EQ(messages(d.get()).size(), 1u);
    EXPECT_EQ(messages(d.get())[0].rfind("xml2config: value \"dddd", 0), 0u);
}

TEST(ConfigApply, LargeConfigurationFileIsNotLimited)
{
    auto d = fresh();
    EXPECT_EQ(apply_doc(d.get(), cfg("<!--" + std::string(17u << 20, 'x') + "--><Port>1</Port>")),
              0);
    EXPECT_EQ(ini_port, 1u);
}

TEST(ConfigDocument, MarkupIsEscapedAndReadsBackUnchanged)
{
    auto d = fresh();
    ASSERT_EQ(
        apply_doc(d.get(),
                  cfg("<Port>1</Port><MaxClientConnect>3</MaxClientConnect>"
                      "<LogDir>/tmp/a&amp;b&lt;c&gt;</LogDir>"
                      "<Flags><ReverseLookup/><KillChildrenOnClosedown/></Flags>"
                      "<Client Allow=\"No\">10.0.0.0/255.0.0.0</Client><Client>10.1.1.1</Client>")),
        0);
    const std::string doc = written(d.get());
    EXPECT_NE(doc.find("<LogDir>/tmp/a&amp;b&lt;c&gt;</LogDir>"), std::string::npos);

    auto again = fresh();
    ASSERT_EQ(apply_doc(again.get(), doc), 0);
    EXPECT_EQ(ini_port, 1u);
    EXPECT_EQ(ini_max_client, 3u);
    EXPECT_STREQ(ini_logdir, "/tmp/a&b<c>");
    EXPECT_EQ(ini_flags, 25u);
    EXPECT_STREQ(ini_acl, "-10.0.0.0/255.0.0.0,+10.1.1.1");
    EXPECT_EQ(written(again.get()), doc);
}

// ------------------------------------------------------ configuration file

namespace {

const fs::path kDir = QUILLET_INSTALL_DIR;
const fs::path kConfig = kDir / "config.xml", kTmp = kDir / "tmp_config.xml",
               kTarget = kDir / "target.xml";

void spit(const fs::path &p, const std::string &text)
{
    std::ofstream(p, std::ios::binary) << text;
}

// Owns the files of the installation directory for one test.
struct Store {
    diagstk_ptr d = fresh();
    Store() { clean(), fs::create_directories(kDir); }
    ~Store() { clean(); }
    static void clean()
    {
        for (const fs::path &p : {kConfig, kTmp, kTarget}) fs::remove(p);
    }
};

// Applies config.xml as start-up does; -2 when it cannot be opened.
int read_config(diagstk_t *d)
{
    io_in_t in{};
    if (qx_open_config_file(d, &in, nullptr, 0) < 0) return -2;
    const int r = qx_parse_config(d, &in);
    EXPECT_EQ(io_close_channels(&in, nullptr, d), 0);
    return r;
}

}  // namespace

TEST(ConfigStore, SymlinkedConfigIsReadThenReplacedThroughTempFile)
{
    Store s;
    spit(kTarget, cfg("<Port>9200</Port>"));
    fs::create_symlink(kTarget, kConfig);
    ASSERT_EQ(read_config(s.d.get()), 0);
    EXPECT_EQ(ini_port, 9200u);
    ini_port = 9100;
    ASSERT_EQ(qx_write_config(s.d.get()), 0);
    EXPECT_FALSE(fs::exists(kTmp));
    EXPECT_FALSE(fs::is_symlink(kConfig));
    EXPECT_EQ(unit::slurp(kTarget), cfg("<Port>9200</Port>"));
    const std::string doc = unit::slurp(kConfig);
    EXPECT_EQ(doc.substr(doc.find("-->\r\n") + 5), written(s.d.get()));
    auto again = fresh();
    EXPECT_EQ(read_config(again.get()), 0);
    EXPECT_EQ(ini_port, 9100u);
}

TEST(ConfigStore, SymlinkedTempFileIsRefusedAndLeftAlone)
{
    Store s;
    spit(kConfig, "orig");
    spit(kTarget, "keep");
    fs::create_symlink(kTarget, kTmp);
    EXPECT_EQ(qx_write_config(s.d.get()), -1);
    EXPECT_EQ(messages(s.d.get()), Msgs{"qx_open_config_file: " + kTmp.string() +
                                        " is a symbolic link - refusing to use it"});
    EXPECT_TRUE(fs::is_symlink(kTmp));
    EXPECT_EQ(unit::slurp(kTarget), "keep");
    EXPECT_EQ(unit::slurp(kConfig), "orig");
}

TEST(ConfigStore, MissingOrBrokenConfigFile)
{
    Store s;
    EXPECT_EQ(read_config(s.d.get()), -2);
    // With no config.xml to delete, the new document stays in the temp file.
    EXPECT_EQ(qx_write_config(s.d.get()), -1);
    EXPECT_TRUE(fs::exists(kTmp));
    spit(kConfig, "<Configuration>\n<Port>1</Prt>\n</Configuration>");
    EXPECT_EQ(read_config(s.d.get()), -1);
    spit(kConfig, "");
    EXPECT_EQ(read_config(s.d.get()), -1);
    const std::string path = kConfig.string();
    EXPECT_EQ(messages(s.d.get()),
              (Msgs{"qx_open_config_file: Failed to open " + path +
                        " for read access - No such file or directory",
                    "qx_swap_config_files: Failed to delete old config file, " + path +
                        " - No such file or directory",
                    "error on line 2 of " + path + ", mismatched tag", "Empty request"}));
}
