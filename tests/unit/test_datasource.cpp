// Data sources, ConnectionStrings and EnvironmentAllow: read, written
// back, refused; the connection string and environment a request gets.

#include "config.h"
#include "datasource.h"
#include "unit_support.h"

namespace {

// The lines of the written configuration that come after the access lists.
std::string written_tail()
{
    MemOut out;
    EXPECT_EQ(qx_return_config(nullptr, &out.out), 0);
    const std::string text = out.text();
    const std::size_t from = text.find("    </Flags>\n") + 13;
    return text.substr(from, text.find("</Configuration>") - from);
}

std::string conf(const std::string &settings)
{
    return "<Configuration>" + settings + "</Configuration>";
}

class DataSources : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        qx_init_config();
        ASSERT_EQ(apply_config(nullptr, "<Configuration/>"), 0);
    }
    // A request's connection string (`source`, `extra` may be null), or its refusal.
    std::string connect(io_in_t *input, const char *source, const char *extra)
    {
        diagstk_ptr d(diagstk_new());
        std::string out;
        if (qx_request_connection(d.get(), input, source, extra, &out) == 0) return out;
        return "! " + messages(d.get()).at(0);
    }
};

const std::string SHOP =
    "<DataSource Extra=\"UID,PWD\" Client=\"127.0.0.1, 10.0.0.0/255.0.0.0\" name=\"shop\">"
    "Driver=PostgreSQL Unicode;Server=a&amp;b;UID=app;PWD=s3cr3t</DataSource>";
const std::string DEMO = "<DataSource Name=\"demo\">Driver=SQLite3;Database=demo.db</DataSource>",
                  RO = "<DataSource Name=\"ro\" Users=\"alice, reports.example.com\">DSN=ro</DataSource>";

}  // namespace

TEST_F(DataSources, WrittenBackAsGivenOnlyWhenNotAtDefault)
{
    EXPECT_EQ(written_tail(), "");
    ASSERT_EQ(apply_config(nullptr, conf("<ConnectionStrings> dataSourcesONLY </ConnectionStrings>"
                                         "<EnvironmentAllow>TZ, PG*</EnvironmentAllow>" +
                                         SHOP + DEMO + RO)),
              0);
    const std::string tail =
        "    <ConnectionStrings>DataSourcesOnly</ConnectionStrings>\n"
        "    <EnvironmentAllow>TZ, PG*</EnvironmentAllow>\n"
        "    <DataSource Name=\"shop\" Client=\"127.0.0.1, 10.0.0.0/255.0.0.0\" Extra=\"UID,PWD\">"
        "Driver=PostgreSQL Unicode;Server=a&amp;b;UID=app;PWD=s3cr3t</DataSource>\n"
        "    <DataSource Name=\"demo\">Driver=SQLite3;Database=demo.db</DataSource>\n    " + RO + "\n";
    EXPECT_EQ(written_tail(), tail);
    EXPECT_TRUE(qx_data_sources_only());
    // What was written reads back as the same settings.
    MemOut out;
    qx_return_config(nullptr, &out.out);
    ASSERT_EQ(apply_config(nullptr, out.text()), 0);
    EXPECT_EQ(written_tail(), tail);
}

TEST_F(DataSources, RefusedValueRefusesTheWholeDocument)
{
    ASSERT_EQ(apply_config(nullptr, conf(DEMO)), 0);
    const std::string DS = "attr_datasource: ";
    const struct { std::string settings, message; } cases[] = {
        {"<DataSource>Driver=SQLite3</DataSource>", DS + "DataSource without a Name"},
        {"<DataSource Name=\"\">Driver=SQLite3</DataSource>", DS + "DataSource without a Name"},
        {DEMO + DEMO, DS + "DataSource \"demo\" given twice"},
        {"<DataSource Name=\"a\"/>", DS + "DataSource \"a\" has no connection string"},
        {"<DataSource Name=\"a\" Users=\"alice,\">DSN=x</DataSource>",
         DS + "empty entry in Users of DataSource \"a\""},
        {"<DataSource Name=\"a\" Clients=\"1.2.3.4\">DSN=x</DataSource>",
         DS + "unknown attribute Clients of DataSource \"a\""},
        {"<DataSource Name=\"a\" Client=\"1.2.3.4,,5.6.7.8\">DSN=x</DataSource>",
         DS + "empty entry in Client of DataSource \"a\""},
        {"<DataSource Name=\"a\" Client=\"1.2.3\">DSN=x</DataSource>",
         "qx_check_ip_address: invalid net/mask \"1.2.3\" - incomplete dotted quad"},
        {"<DataSource Name=\"a\" Extra=\"UID, driver\">DSN=x</DataSource>",
         DS + "keyword \"driver\" may not be in Extra of DataSource \"a\""},
        {"<DataSource Name=\"a\" Extra=\"dsn\">DSN=x</DataSource>",
         DS + "keyword \"dsn\" may not be in Extra of DataSource \"a\""},
        {"<DataSource Name=\"a\" Extra=\"LoadExt\">DSN=x</DataSource>",
         DS + "keyword \"LoadExt\" may not be in Extra of DataSource \"a\""},
        {"<DataSource Name=\"a\" Extra=\"UID,\">DSN=x</DataSource>",
         DS + "keyword \"\" may not be in Extra of DataSource \"a\""},
        // The source's own string keeps the rules every string keeps.
        {"<DataSource Name=\"a\">Driver=/tmp/m.so</DataSource>",
         DS + "DataSource \"a\": Connection string refused - Driver must name a registered driver"},
        {"<DataSource Name=\"a\">DSN=x;Tracefile=/tmp/t</DataSource>",
         DS + "DataSource \"a\": Connection string refused - keyword Tracefile is not allowed"},
        {"<ConnectionStrings>Some</ConnectionStrings>",
         "attr_connection_strings: \"Some\" is invalid ConnectionStrings value"},
        {"<EnvironmentAllow>TZ,*X</EnvironmentAllow>",
         "attr_environment_allow: \"*X\" is invalid EnvironmentAllow entry"},
        {"<EnvironmentAllow>TZ,,PGTZ</EnvironmentAllow>",
         "attr_environment_allow: \"\" is invalid EnvironmentAllow entry"},
        {"<EnvironmentAllow>A=B</EnvironmentAllow>",
         "attr_environment_allow: \"A=B\" is invalid EnvironmentAllow entry"},
    };
    for (const auto &c : cases) {
        diagstk_ptr d(diagstk_new());
        const std::string mode = "<ConnectionStrings>DataSourcesOnly</ConnectionStrings>";
        EXPECT_EQ(apply_config(d.get(), conf(c.settings.starts_with("<Conn") ? c.settings
                                                                             : mode + c.settings)),
                  -1)
            << c.settings;
        EXPECT_EQ(messages(d.get()), Msgs{c.message}) << c.settings;
        // Nothing changed: the earlier source still serves, in the earlier mode.
        EXPECT_FALSE(qx_data_sources_only());
        EXPECT_EQ(connect(nullptr, "demo", nullptr), "Driver=SQLite3;Database=demo.db");
    }
}

TEST_F(DataSources, RequestGetsTheSourcesStringOrTheReason)
{
    ASSERT_EQ(apply_config(nullptr, conf("<ConnectionStrings>DataSourcesOnly</ConnectionStrings>" +
                                         SHOP + DEMO + RO)), 0);
    io_in_t pipe{}, sock{}, unknown{};
    pipe.method = XML_INPUT_METHOD_STDIN;
    sock.method = unknown.method = XML_INPUT_METHOD_LISTEN;
    std::snprintf(sock.src.listen.client_ip, sizeof sock.src.listen.client_ip, "10.9.8.7");
    const std::string SHOP_CS = "Driver=PostgreSQL Unicode;Server=a&b;UID=app;PWD=s3cr3t";
    const std::string KW = "! Connection string refused - keyword ";
    const std::string USER = "! User ";
    const struct {
        io_in_t *in;
        const char *source, *extra;
        std::string want;
        std::vector<std::string> identity = {};  // of a client certificate
    } cases[] = {
        {&sock, "demo", nullptr, "Driver=SQLite3;Database=demo.db"},
        {&sock, "shop", nullptr, SHOP_CS},
        // The client's pairs replace the source's pairs of the same keyword.
        {&sock, "shop", "uid=me; PWD = {p;w}",
         "Driver=PostgreSQL Unicode;Server=a&b;uid=me; PWD = {p;w}"},
        // pipe and file have no network peer: no Client list applies.
        {&pipe, "shop", nullptr, SHOP_CS},
        {&unknown, "shop", nullptr, "! Client (unknown) denied access to data source \"shop\""},
        {&sock, "Shop", nullptr, "! Unknown data source \"Shop\""},
        {&sock, "shop", "Server=evil", KW + "Server is not allowed"},
        {&sock, "shop", "PWD={x;Server=evil}", KW + "Server is not allowed"},
        {&sock, "demo", "PWD=x", KW + "PWD is not allowed"},
        {&sock, nullptr, "Driver=SQLite3", "! Connection strings are not accepted - name a DataSource"},
        // Users admits a listed identity by any of its names; pipe and file are not asked.
        {&pipe, "ro", nullptr, "DSN=ro"},
        {&sock, "ro", nullptr, USER + "none denied access to data source \"ro\""},
        {&sock, "ro", nullptr, "DSN=ro", {"carol", "carol@example.com", "reports.example.com"}},
        {&sock, "ro", nullptr, USER + "bob denied access to data source \"ro\"", {"bob", "alice@example.com"}},
        {&sock, "ro", nullptr, USER + "ALICE denied access to data source \"ro\"", {"ALICE"}},
    };
    for (const auto &c : cases) {
        c.in->identity = c.identity;
        EXPECT_EQ(connect(c.in, c.source, c.extra), c.want)
            << (c.source ? c.source : "-") << " " << (c.extra ? c.extra : "-");
    }
    sock.identity.clear();
    std::snprintf(sock.src.listen.client_ip, sizeof sock.src.listen.client_ip, "10.0.0.0");
    EXPECT_EQ(connect(&sock, "shop", nullptr), SHOP_CS);
    std::snprintf(sock.src.listen.client_ip, sizeof sock.src.listen.client_ip, "127.0.0.2");
    EXPECT_EQ(connect(&sock, "shop", nullptr),
              "! Client (127.0.0.2) denied access to data source \"shop\"");

    // Any: a client's own string, within the rules every string keeps.
    ASSERT_EQ(apply_config(nullptr, conf(DEMO)), 0);
    EXPECT_EQ(connect(&sock, nullptr, "Driver=SQLite3;Database=x"), "Driver=SQLite3;Database=x");
    EXPECT_EQ(connect(&sock, nullptr, "Driver = {/tmp/m.so}"),
              "! Connection string refused - Driver must name a registered driver");
}

TEST(EnvironmentAllow, GuardedNamesNeedAnExplicitEntry)
{
    const struct { std::string_view allow, name; bool admitted; } cases[] = {
        {"", "TZ", true},          {"", "PGAPPNAME", true},     {"", "PATHX", true},
        {"", "LD_PRELOAD", false}, {"", "GCONV_PATH", false},   {"", "LOCPATH", false},
        {"", "NLSPATH", false},    {"", "ODBCINI", false},      {"", "ODBCSYSINI", false},
        {"", "PATH", false},       {"", "HOME", false},         {"", "TMPDIR", false},
        {"", "MALLOC_ARENA_MAX", false},
        // A list admits only what it names, with case.
        {"TZ,PG*", "PGTZ", true},  {"TZ,PG*", "LANG", false},   {"tz", "TZ", false},
        {" TZ , LANG ", "LANG", true},
        // "*", "L*" or "O*" is not explicit about a guarded name.
        {"*", "ANYTHING", true},   {"*", "LD_PRELOAD", false},  {"L*", "LANG", true},
        {"L*", "LD_LIBRARY_PATH", false},                       {"O*", "ODBCINI", false},
        {"LD_*", "LD_PRELOAD", true},                           {"ODBCINI", "ODBCINI", true},
        {"ODBCINI", "ODBCSYSINI", false},                       {"PATH*", "PATH", true},
        {"MALLOC_*", "MALLOC_CHECK_", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qx_environment_admits(c.allow, c.name), c.admitted)
            << "'" << c.allow << "' " << c.name;
}

// Keep decides for the source's requests, KeepConnections for the others.
TEST_F(DataSources, KeepAttributeAndKeepConnections)
{
    const std::string sources =
        "<DataSource Name=\"k\" Keep=\"yes\">DSN=k</DataSource>"
        "<DataSource Name=\"n\" Keep=\"No\">DSN=n</DataSource>" + DEMO;
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep);
        ASSERT_EQ(apply_config(nullptr, conf((keep ? "<KeepConnections>Yes</KeepConnections>" : "") +
                                             sources)), 0);
        EXPECT_EQ(qx_datasource_keeps(nullptr), keep);
        EXPECT_TRUE(qx_datasource_keeps("k"));
        EXPECT_FALSE(qx_datasource_keeps("n"));
        EXPECT_EQ(qx_datasource_keeps("demo"), keep);
        EXPECT_EQ(qx_datasource_keeps("unknown"), keep);
    }
    EXPECT_NE(written_tail().find("    <DataSource Name=\"k\" Keep=\"yes\">DSN=k</DataSource>\n"
                                         "    <DataSource Name=\"n\" Keep=\"No\">DSN=n</DataSource>\n"
                                         "    <DataSource Name=\"demo\">Driver=SQLite3;Database=demo.db"
                                         "</DataSource>\n"), std::string::npos) << written_tail();
    diagstk_ptr d(diagstk_new());
    EXPECT_EQ(apply_config(d.get(), conf("<DataSource Name=\"a\" Keep=\"always\">DSN=x</DataSource>")), -1);
    EXPECT_EQ(messages(d.get()), Msgs{"attr_datasource: \"always\" is invalid Keep value of DataSource \"a\""});
    EXPECT_TRUE(qx_datasource_keeps(nullptr));  // the document changed nothing
}
