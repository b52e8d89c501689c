// Settings: a configuration document applied, written back and applied
// again; defaults for absent settings; refused values; a full access list.

#include <cstring>

#include "config.h"
#include "datasource.h"
#include "http.h"
#include "sqlite_confine.h"
#include "tls.h"
#include "unit_support.h"

namespace {

// The stored settings, in table order.
std::string settings()
{
    char buf[4 * INI_STRING_SIZE];
    std::snprintf(buf, sizeof buf, "%u %u %u %u 0x%x %u %s | %s | %s | %u %u %u %u %u", ini_port,
                  ini_control_port, ini_max_concurrent, ini_max_client, quilletlog, ini_flags,
                  ini_logdir, ini_acl, ini_ctrl_acl, ini_request_timeout, ini_idle_timeout,
                  ini_query_timeout, ini_max_child_memory, ini_listen_backlog);
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

// Every test starts and ends with the default settings (no trace file).
class Settings : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        qx_init_config();
        ASSERT_EQ(apply_config(nullptr, "<Configuration/>"), 0);
        ASSERT_EQ(quilletlog, 0u);
    }
    diagstk_ptr d{diagstk_new()};
};

}  // namespace

// What the writer emits reads back as the same settings. A document on
// top leaves what it does not name at its default, or is refused whole
// with one message naming the value.
TEST_F(Settings, WrittenDocumentReadsBackAndAbsentSettingsTakeDefaults)
{
    // No trace file can open: ODBC-layer bits only, and LogDir cannot be created.
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
        "  <RequestTimeout>0</RequestTimeout><QueryTimeout>300</QueryTimeout>\n"
        "  <ListenBacklog>1024</ListenBacklog>\n</Configuration>\n";
    // Flags starts from 7: the wait bit, not named, stays on; MultiProcess
    // is forced on whatever the document says.
    const std::string expected = "10000 10001 15 4 0x82 29 /dev/null/a&b<c> | "
                                 "-10.0.0.0/255.0.0.0,+192.168.1.7,+0.0.0.0/0.0.0.0 | "
                                 "+127.0.0.1,-0.0.0.0/0.0.0.0 | 0 300 300 0 1024";
    ASSERT_EQ(apply_config(d.get(), doc), 0);
    EXPECT_EQ(settings(), expected);
    const std::string first = written();
    // Later settings follow the access lists, only away from their defaults.
    EXPECT_NE(first.find("</ControlClient>\n    <RequestTimeout>0</RequestTimeout>\n"
                         "    <QueryTimeout>300</QueryTimeout>\n"
                         "    <ListenBacklog>1024</ListenBacklog>\n</Configuration>"),
              first.npos)
        << first;
    ASSERT_EQ(apply_config(d.get(), first), 0) << first;
    EXPECT_EQ(settings(), expected);
    EXPECT_EQ(written(), first);
    EXPECT_EQ(messages(d.get()), Msgs{});

    const std::string defaults = "8895 8896 0 0 0x0 7 /tmp |  |  | 30 300 0 0 128",
                      v4v6 = " - an IPv4 or IPv6 address or * expected";
    const auto conf = [](const std::string &settings) { return "<Configuration>" + settings + "</Configuration>"; };
    // Each document on top of `doc`: the settings left, or its one message.
    const struct { std::string doc; int result; std::string expected; } cases[] = {
        {"<Configuration><Port>0x22BF</Port></Configuration>", 0, defaults},
        {"<Settings><Port>5</Port></Settings>", 0, defaults},
        {"<Configuration><Port>12ab</Port></Configuration>", -1,
         "xml2config: invalid value 12ab for Port"},
        {"<Configuration><Port>0</Port></Configuration>", -1,
         "xml2config: value \"0\" for Port out of range (1 to 65535)"},
        {"<Configuration><Port>9</Port><ControlPort>70000</ControlPort></Configuration>", -1,
         "xml2config: value \"70000\" for ControlPort out of range (1 to 65535)"},
        {"<Configuration><ListenBacklog>0</ListenBacklog></Configuration>", -1,
         "xml2config: value \"0\" for ListenBacklog out of range (1 to 65535)"},
        {"<Configuration><MaxClientConnect>4294967295</MaxClientConnect></Configuration>", -1,
         "xml2config: value \"4294967295\" for MaxClientConnect too big"},
        // Wider than the storage: refused, not cut to 32 bits.
        {"<Configuration><Logging>0x100000001</Logging></Configuration>", -1,
         "xml2config: value \"0x100000001\" for Logging too big"},
        {"<Configuration><Flags><KillChildrenOnClosedown/><LeaveChildrenOnClosedown/></Flags>"
         "</Configuration>", -1, "xml2config: bitmask \"Flags\" has on (KillChildrenOnClosedown) and off "
         "(LeaveChildrenOnClosedown) values"},
        // Everything before the refused value would have changed.
        {"<Configuration><Port>9</Port><Logging>0</Logging><Client>5.6.7.8</Client>"
         "<Client Allow=\"maybe\">1.2.3.4</Client></Configuration>", -1,
         "attr_acl: \"maybe\" is invalid Allow attribute value"},
        // Listener addresses are checked when the document is read.
        {conf("<ListenAddress>localhost</ListenAddress>"), -1,
         "xml2config: invalid address \"localhost\" for ListenAddress" + v4v6},
        {conf("<ListenAddress>none</ListenAddress>"), -1,
         "xml2config: invalid address \"none\" for ListenAddress" + v4v6},
        {conf("<ListenAddress/>"), -1, "xml2config: invalid address \"\" for ListenAddress" + v4v6},
        {conf("<ControlListenAddress>fe80::1%lo</ControlListenAddress>"), -1,
         "xml2config: invalid address \"fe80::1%lo\" for ControlListenAddress - an IPv4 or IPv6 "
         "address, * or none expected"},
        {conf("<Client>::1/129</Client>"), -1,
         "qx_check_ip_address: invalid net/mask \"::1/129\" - prefix length must be 0 to 128"},
        {conf("<ControlClient>10.0.0.0/33</ControlClient>"), -1,
         "qx_check_ip_address: invalid net/mask \"10.0.0.0/33\" - prefix length must be 0 to 32"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.doc);
        ASSERT_EQ(apply_config(d.get(), doc), 0);
        EXPECT_EQ(apply_config(d.get(), c.doc), c.result);
        EXPECT_EQ(c.result == 0 ? settings() : messages(d.get()).at(0), c.expected);
        if (c.result != 0) {
            EXPECT_EQ(settings(), expected);
        }
        EXPECT_EQ(d->entries, c.result == 0 ? 0u : 1u);
        diagstk_remove(d.get(), 0);
    }
}

// A Client list fills a fixed-size buffer (10 bytes per 10.0.0.1, 9 per 1.2.3.4).
TEST_F(Settings, FullClientListRefusesEntryWithoutOverrun)
{
    const auto apply = [&](int tens, int nines) {
        std::string doc = "<Configuration><Client>10.0.0.1</Client>";
        for (int i = 0; i < tens; i++) doc += "<Client>10.0.0.1</Client>";
        for (int i = 0; i < nines; i++) doc += "<Client>1.2.3.4</Client>";
        return apply_config(d.get(), doc + "</Configuration>");
    };
    ASSERT_EQ(apply(96, 6), 0);
    EXPECT_EQ(std::strlen(ini_acl), 1023u);
    // 1015 bytes of text pass the length check; the signed entry needs 1025.
    EXPECT_EQ(apply(97, 5), -1);
    EXPECT_EQ(std::strlen(ini_acl), 1023u);  // the refused document changed nothing
    EXPECT_EQ(messages(d.get()), Msgs{"attr_acl: access list Client is full - \"1.2.3.4\" "
                                      "does not fit"});
}

// Addresses, the control socket and list entries written back as given.
TEST_F(Settings, ListenAddressesControlSocketAndAccessListForms)
{
    const std::string doc =
        "<Configuration><Client Allow=\"No\">2001:db8::/32</Client><Client> 10.0.0.0/8 </Client>"
        "<ControlClient>::1</ControlClient>"
        "<ListenAddress>::</ListenAddress><ControlListenAddress>none</ControlListenAddress>"
        "<ControlSocket>run/control.sock</ControlSocket></Configuration>";
    ASSERT_EQ(apply_config(d.get(), doc), 0) << messages(d.get()).at(0);
    EXPECT_EQ(std::string(ini_acl) + " | " + ini_ctrl_acl, "-2001:db8::/32,+10.0.0.0/8 | +::1");
    const std::string first = written();
    EXPECT_NE(first.find("    <Client Allow=\"No\">2001:db8::/32</Client>\n"
                         "    <Client Allow=\"Yes\">10.0.0.0/8</Client>\n"
                         "    <ControlClient Allow=\"Yes\">::1</ControlClient>\n"
                         "    <ListenAddress>::</ListenAddress>\n"
                         "    <ControlListenAddress>none</ControlListenAddress>\n"
                         "    <ControlSocket>run/control.sock</ControlSocket>\n"
                         "</Configuration>"),
              first.npos)
        << first;
    ASSERT_EQ(apply_config(d.get(), first), 0);
    EXPECT_EQ(written(), first);

    // Back at their defaults, the new settings leave the document.
    ASSERT_EQ(apply_config(d.get(), "<Configuration><ListenAddress>*</ListenAddress>"
                                    "</Configuration>"),
              0);
    EXPECT_EQ(written().find("Listen"), std::string::npos);
    EXPECT_EQ(written().find("ControlSocket"), std::string::npos);
}

// One-word settings: any case, written back only away from their default;
// any other text refuses the document.
TEST_F(Settings, WordSettings)
{
    const auto state = [] {
        return std::string(ini_tls) + (qx_http_enabled() ? " http" : " -") +
               (qx_sqlite_file_access() ? " files" : " -") +
               (qx_datasource_keeps(nullptr) ? " keep" : " -");
    };
    EXPECT_EQ(state(), "Off http files -");
    ASSERT_EQ(apply_settings(d.get(), "<Tls> oN </Tls><Http>NO</Http><SQLiteFileAccess> no "
                                      "</SQLiteFileAccess><KeepConnections>yes</KeepConnections>"
                                      "<TlsKey>/etc/s.key</TlsKey>"), 0);
    EXPECT_EQ(state(), "On - - keep");
    const std::string all = written();
    const char *lines[] = {"<Tls>On</Tls>", "<Http>No</Http>", "<SQLiteFileAccess>No</SQLiteFileAccess>",
                           "<KeepConnections>Yes</KeepConnections>", "<TlsKey>/etc/s.key</TlsKey>"};
    for (const std::string line : lines) EXPECT_NE(all.find("    " + line + "\n"), all.npos) << all;
    const std::string hint = " - On or Off expected";
    const std::pair<std::string, std::string> refused[] = {
        {"<Tls>Yes</Tls>", "attr_tls: \"Yes\" is invalid Tls value" + hint},
        {"<Tls></Tls>", "attr_tls: \"\" is invalid Tls value" + hint},
        {"<Tls>On,Off</Tls>", "attr_tls: \"On,Off\" is invalid Tls value" + hint},
        {"<Http>maybe</Http>", "attr_http: \"maybe\" is invalid Http value - Yes or No expected"},
        {"<SQLiteFileAccess>N</SQLiteFileAccess>",
         "attr_sqlite_file_access: \"N\" is invalid SQLiteFileAccess value"},
        {"<KeepConnections>1</KeepConnections>",
         "attr_keep_connections: \"1\" is invalid KeepConnections value"},
    };
    for (const auto &[setting, message] : refused) {
        SCOPED_TRACE(setting);
        EXPECT_EQ(apply_settings(d.get(), "<Port>1234</Port>" + setting), -1);
        EXPECT_EQ(messages(d.get()), Msgs{message});
        EXPECT_EQ(state(), "On - - keep");
        EXPECT_NE(ini_port, 1234u);
        diagstk_remove(d.get(), 0);
    }
    ASSERT_EQ(apply_settings(d.get(), ""), 0);
    EXPECT_EQ(state(), "Off http files -");
    for (const std::string line : lines) EXPECT_EQ(written().find(line.substr(0, line.find('>') + 1)), all.npos);
}
