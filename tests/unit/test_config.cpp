// Settings table, configuration document and configuration file store.

#include <cstring>

#include "unit_support.h"

namespace fs = std::filesystem;
using namespace unit;

namespace {

diagstk_ptr fresh()
{
    reset_config();
    return diagstk_ptr(diagstk_new());
}

int apply_doc(diagstk_t *d, std::string doc)
{
    io_in_t in = file_in(fmemopen(doc.data(), doc.size(), "r"));
    const int r = qx_parse_config(d, &in);
    io_close_channels(&in, nullptr, d);
    return r;
}

std::string cfg(const std::string &inner) { return "<Configuration>" + inner + "</Configuration>"; }

std::string written(diagstk_t *d)
{
    MemOut m;
    EXPECT_EQ(qx_return_config(d, &m.out), 0);
    return body_of(m.text());
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

// What a new document leaves out goes back to its default, even when the
// document is not a configuration at all.
TEST(ConfigApply, MissingSettingsFallBackToDefaults)
{
    for (const char *doc : {"<Configuration/>", "<Settings><Port>1</Port></Settings>"}) {
        auto d = fresh();
        ini_port = 1, ini_flags = 16;
        std::snprintf(ini_acl, sizeof ini_acl, "+1.2.3.4");
        ASSERT_EQ(apply_doc(d.get(), doc), 0) << doc;
        EXPECT_EQ(ini_port, 8895u);
        EXPECT_EQ(ini_control_port, 8896u);
        EXPECT_EQ(ini_flags, 7u);
        EXPECT_STREQ(ini_logdir, "/tmp");
        EXPECT_STREQ(ini_acl, "");
        EXPECT_EQ(quillet_configuration_change, 1);
    }
}

TEST(ConfigApply, NumericValues)
{
    const struct { const char *text; std::uint32_t value; const char *error; } cases[] = {
        {"0x22BF", 8895, nullptr},
        {"017", 15, nullptr},
        {"  42", 42, nullptr},
        {"4294967294", 4294967294u, nullptr},
        {"42 ", 0, "xml2config: invalid value 42  for Port"},
        // Line breaks are dropped, the indentation of the end tag is not.
        {"\n42\n  ", 0, "xml2config: invalid value 42   for Port"},
        {"", 0, "xml2config: invalid value  for Port"},
        {"4294967295", 0, "xml2config: value \"4294967295\" for Port too big"},
        // Would wrap to 0 if narrowed to 32 bits before the check.
        {"4294967296", 0, "xml2config: value \"4294967296\" for Port too big"},
        {"-1", 0, "xml2config: value \"-1\" for Port too big"},
    };
    for (const auto &c : cases) {
        auto d = fresh();
        EXPECT_EQ(apply_doc(d.get(), cfg(std::string("<port>") + c.text + "</port>")),
                  c.error ? -1 : 0) << c.text;
        EXPECT_EQ(ini_port, c.value) << c.text;
        EXPECT_EQ(messages(d.get()), c.error ? Msgs{c.error} : Msgs{});
        EXPECT_EQ(quillet_configuration_change, c.error ? 0 : 1) << c.text;
    }
}

TEST(ConfigApply, FlagsStartFromCurrentValueAndKeepMultiProcess)
{
    const struct { std::uint32_t before; const char *flags; std::uint32_t after; } cases[] = {
        {7, "<Flags><MultiThreaded/><ReverseLookup/></Flags>", 23},
        {31, "<Flags><disablecontrolinterface/></Flags>", 29},
        {0, "<Flags/>", 1},
        {16, "", 7},  // no Flags element: the default
    };
    for (const auto &c : cases) {
        auto d = fresh();
        ini_flags = c.before;
        ASSERT_EQ(apply_doc(d.get(), cfg(c.flags)), 0);
        EXPECT_EQ(ini_flags, c.after) << c.flags;
    }
    auto d = fresh();
    EXPECT_EQ(apply_doc(d.get(), cfg("<Flags><KillChildrenOnClosedown/>"
                                     "<LeaveChildrenOnClosedown/></Flags>")), -1);
    EXPECT_EQ(messages(d.get()), Msgs{"xml2config: bitmask \"Flags\" has on "
                                      "(KillChildrenOnClosedown) and off "
                                      "(LeaveChildrenOnClosedown) values"});
}

TEST(ConfigApply, WrittenDocumentIsEscapedAndReadsBackUnchanged)
{
    auto d = fresh();
    ASSERT_EQ(apply_doc(d.get(), cfg("<Port>1</Port><Logging>0x2000</Logging>"
                                     "<LogDir> /tmp/a&amp;b&lt;c&gt; </LogDir>"
                                     "<Flags><ReverseLookup/><KillChildrenOnClosedown/></Flags>"
                                     "<Client> 10.0.0.0/255.0.0.0 </Client>"
                                     "<Client Allow=\"no\">10.1.2.3</Client>"
                                     "<Client allow=\"YES\">192.168.1.7  </Client>"
                                     "<ControlClient>127.0.0.1</ControlClient>")), 0);
    EXPECT_STREQ(ini_logdir, " /tmp/a&b<c> ");  // blanks are stripped from addresses only
    EXPECT_STREQ(ini_acl, "+10.0.0.0/255.0.0.0,-10.1.2.3,+192.168.1.7");
    EXPECT_STREQ(ini_ctrl_acl, "+127.0.0.1");
    const std::string doc = written(d.get());
    EXPECT_EQ(doc.rfind("<Configuration>\n    <Port>1</Port>\n", 0), 0u) << doc;
    EXPECT_TRUE(has(doc, "    <Logging>0x2000</Logging>\n"
                         "    <LogDir> /tmp/a&amp;b&lt;c&gt; </LogDir>\n")) << doc;
    EXPECT_TRUE(has(doc, "    </Flags>\n"
                         "    <Client Allow=\"Yes\">10.0.0.0/255.0.0.0</Client>\n"
                         "    <Client Allow=\"No\">10.1.2.3</Client>\n"
                         "    <Client Allow=\"Yes\">192.168.1.7</Client>\n"
                         "    <ControlClient Allow=\"Yes\">127.0.0.1</ControlClient>\n"
                         "</Configuration>\n")) << doc;

    auto again = fresh();
    ASSERT_EQ(apply_doc(again.get(), doc), 0);
    EXPECT_EQ(ini_port, 1u);
    EXPECT_EQ(ini_flags, 25u);
    EXPECT_EQ(written(again.get()), doc);
    // A new document replaces the lists instead of adding to them.
    ASSERT_EQ(apply_doc(again.get(), cfg("<ControlClient>10.9.9.9</ControlClient>")), 0);
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
        {"<Client>   </Client>",
         "qx_check_ip_address: invalid net/mask \"\" - incomplete dotted quad"},
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
    // At 1015 bytes the raw text still passes the generic length check, but
    // the signed entry with its terminator needs 1025.
    EXPECT_EQ(apply_doc(d.get(), list(97, 5)), -1);
    EXPECT_EQ(std::strlen(ini_acl), 1015u);
    EXPECT_EQ(messages(d.get()), Msgs{"attr_acl: access list Client is full - \"1.2.3.4\" "
                                      "does not fit"});
}

TEST(ConfigApply, LogDirUpTo1023IsWrittenBackWhole)
{
    // Longer than one formatted write.
    const std::string longest(1023, 'd');
    auto d = fresh();
    ASSERT_EQ(apply_doc(d.get(), cfg("<LogDir>" + longest + "</LogDir>")), 0);
    EXPECT_TRUE(has(written(d.get()), "<LogDir>" + longest + "</LogDir>\n"));
    EXPECT_EQ(apply_doc(d.get(), cfg("<LogDir>" + longest + "d</LogDir>")), -1);
    const std::string message = "xml2config: value \"" + longest + "d\" for LogDir too long";
    EXPECT_EQ(messages(d.get()), Msgs{message.substr(0, 1023)});  // cut like every message
}

TEST(ConfigApply, LargeConfigurationFileIsNotLimited)
{
    auto d = fresh();
    const std::string comment = "<!--" + std::string(17u << 20, 'x') + "-->";
    EXPECT_EQ(apply_doc(d.get(), cfg(comment + "<Port>1</Port>")), 0);
    EXPECT_EQ(ini_port, 1u);
}

// config.xml may be a symbolic link: it is read through the link, and saving
// puts a plain file in its place and leaves the link's target alone. A link
// in place of the temporary file is refused, not written through.
TEST(ConfigStore, SymbolicLinksAreNeverWrittenThrough)
{
    const fs::path dir = QUILLET_INSTALL_DIR, config = dir / "config.xml",
                   tmp = dir / "tmp_config.xml", target = dir / "target.xml";
    fs::create_directories(dir);
    fs::remove(config), fs::remove(tmp), fs::remove(target);
    std::ofstream(target) << cfg("<Port>9200</Port>");
    fs::create_symlink(target, config);
    auto d = fresh();
    io_in_t in{};
    ASSERT_EQ(qx_open_config_file(d.get(), &in, nullptr, 0), 0);
    EXPECT_EQ(qx_parse_config(d.get(), &in), 0);
    EXPECT_EQ(io_close_channels(&in, nullptr, d.get()), 0);
    EXPECT_EQ(ini_port, 9200u);
    ini_port = 9100;
    ASSERT_EQ(qx_write_config(d.get()), 0);
    EXPECT_FALSE(fs::exists(tmp) || fs::is_symlink(config));
    EXPECT_EQ(slurp(target), cfg("<Port>9200</Port>"));
    EXPECT_EQ(body_of(slurp(config)), written(d.get()));

    fs::create_symlink(target, tmp);
    EXPECT_EQ(qx_write_config(d.get()), -1);
    EXPECT_EQ(messages(d.get()), Msgs{"qx_open_config_file: " + tmp.string() +
                                      " is a symbolic link - refusing to use it"});
    EXPECT_EQ(slurp(target), cfg("<Port>9200</Port>"));
    fs::remove(config), fs::remove(tmp), fs::remove(target);
}
