// Connection strings: the pairs both readers find, the rules no string may
// break however it is spelt, and secrets masked for traces.

#include "connstr.h"
#include "unit_support.h"

namespace {

// The pairs as "key=value" (as a driver sees it) or "key", joined by "|".
std::string pairs(std::string_view text, connstr_reading how)
{
    std::string s;
    for (const connstr_pair &p : qx_connstr_pairs(text, how)) {
        s += (s.empty() ? "" : "|") + std::string(p.key);
        if (p.has_value) s += "=" + qx_connstr_value(p.value);
    }
    return s;
}

}  // namespace

TEST(ConnStr, BothReadersFindTheirPairs)
{
    const auto B = connstr_reading::braced, P = connstr_reading::plain;
    const struct { std::string_view text; connstr_reading how; std::string want; } cases[] = {
        // Blanks around key and "=", braces holding ";" and "}}", a trailing ";".
        {" Driver = {SQLite 3} ; Database={a;b}};c} ;", B, "Driver=SQLite 3|Database=a;b};c"},
        {"Database={a;b}", P, "Database=a|b}"},
        // Braced keys, empty pieces, an empty value, a piece without "=".
        {"{UID}=x;;PWD=;Port", B, "UID=x|PWD=|Port"},
        // An unclosed brace runs to the end.
        {"A={open;B=1", B, "A=open;B=1"},
        {"A={open;B=1", P, "A=open|B=1"},
        {"", B, ""},
    };
    for (const auto &c : cases) EXPECT_EQ(pairs(c.text, c.how), c.want) << c.text;
}

TEST(ConnStr, NeverRulesHoldHoweverTheStringIsSpelt)
{
    const std::string DRIVER = "Connection string refused - Driver must name a registered driver";
    auto keyword = [](std::string k) {
        return "Connection string refused - keyword " + k + " is not allowed";
    };
    const struct { std::string_view text; std::string want; } cases[] = {
        {"Driver=SQLite3;Database=x.db;NoCreat=1;", ""},
        {"DSN=demo;UID=u;PWD={a/b;c}", ""},  // "/" counts in Driver values only
        {"Driver=/tmp/m.so", DRIVER},
        {"dRiVeR = {/tmp/m.so}", DRIVER},
        {"Database=x;DRIVER={lib;./m.so}", DRIVER},
        {"{Driver}=a/b", DRIVER},
        {" loadext =/tmp/m.so", keyword("loadext")},
        {"Database=a;{LoadExt}=x", keyword("LoadExt")},
        {"Tracefile=", keyword("Tracefile")},
        // A reader without braces sees what hides inside a braced value.
        {"Database={a;LoadExt=/tmp/m.so}", keyword("LoadExt")},
        {"Database={a}};Driver=/tmp/m.so}", DRIVER},
        {"FILEDSN=/tmp/x.dsn", keyword("FILEDSN")},
        {"Driver=SQLite3;savefile=/tmp/s.dsn", keyword("savefile")},
        {"ODBCINI=/tmp/i", keyword("ODBCINI")},
        {"OdbcSysIni=/tmp", keyword("OdbcSysIni")},
        {"ODBCINSTINI=x", keyword("ODBCINSTINI")},
        {"Logdir=/tmp", keyword("Logdir")},
        {"debug=1", keyword("debug")},
        {"CommLog=1", keyword("CommLog")},
        {"pqopt={sslkey=x}", keyword("pqopt")},
    };
    for (const auto &c : cases) {
        diagstk_ptr d(diagstk_new());
        EXPECT_EQ(qx_connstr_check(d.get(), c.text), c.want.empty() ? 0 : -1) << c.text;
        EXPECT_EQ(messages(d.get()), c.want.empty() ? Msgs{} : Msgs{c.want}) << c.text;
    }
}

TEST(ConnStr, SecretsAreMaskedForTraces)
{
    const struct { std::string_view text, want; } strings[] = {
        {"Server=h;PWD=s3cr3t;UID=u", "Server=h;PWD=***;UID=u"},
        {"password = {a;b}} c};x=1", "password =***;x=1"},
        {"Pwd=a;Database={x;PWD=y}", "Pwd=***;Database={x;PWD=***"},
        {"PWD=;Port=1", "PWD=;Port=1"},
        {"Database=x", "Database=x"},
    };
    for (const auto &c : strings) EXPECT_EQ(qx_connstr_mask(c.text), c.want) << c.text;
    // What a data source lets a client add is secret too, until replaced.
    qx_connstr_set_secrets({"UID"});
    EXPECT_EQ(qx_connstr_mask("uid=me;PWD=p;Port=5"), "uid=***;PWD=***;Port=5");
    EXPECT_EQ(qx_environment_mask("UID=me"), "UID=***");
    qx_connstr_set_secrets({});
    EXPECT_EQ(qx_connstr_mask("uid=me"), "uid=me");
    const struct { std::string_view entry, want; } entries[] = {
        {"PGPASSWORD=x", "PGPASSWORD=***"}, {"pwd=1", "pwd=***"},
        {"TZ=UTC", "TZ=UTC"},               {"MY_PASSWORD", "MY_PASSWORD"},
    };
    for (const auto &c : entries) EXPECT_EQ(qx_environment_mask(c.entry), c.want) << c.entry;
}
