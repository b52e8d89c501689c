// Column values: character references and CDATA chunks, non-ASCII text
// whatever the caller's locale, binary columns, blank trimming, long values.

#include "query_test.h"

namespace {

class ColumnData : public QueryTest {
protected:
    // The Short answer for one column `name` holding `content` in one row.
    static std::string one_value(std::string_view name, std::string_view content,
                                 bool cdata = false)
    {
        const std::string heading =
            cdata ? "<![CDATA[" + std::string(name) + "]]>" : std::string(name);
        return "<Result State=\"00000\">\n<Columns>\n  <Column>" + heading +
               "</Column>\n</Columns>\n<Row>\n    <Column>" + std::string(content) +
               "</Column>\n</Row>\n</Result>\n";
    }
};

std::string repeat(std::string_view unit, std::size_t n)
{
    std::string s;
    for (std::size_t i = 0; i < n; i++) s += unit;
    return s;
}

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (const unsigned char b : bytes) s += {digits[b >> 4], digits[b & 15]};
    return s;
}

std::string base64(std::string_view bytes)
{
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        unsigned v = 0;
        for (std::size_t k = 0; k < 3; k++)
            v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; k++) s += k <= n ? abc[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return s;
}

// A text of `n` times `ch` (one character) as each driver spells it in SQL.
std::string sqlite_repeat(std::string_view ch, std::size_t n)
{
    return "SELECT replace(substr(hex(zeroblob(" + std::to_string(n) + ")), 1, " +
           std::to_string(n) + "), '0', '" + std::string(ch) + "') AS v";
}
std::string pg_repeat(std::string_view ch, std::size_t n)
{
    return "SELECT repeat('" + std::string(ch) + "', " + std::to_string(n) + ") AS v";
}

TEST_F(ColumnData, NonAsciiTextWhateverTheCallersLocale)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite;
    // The SQLite driver takes SQL text in the process's character set and
    // the PostgreSQL driver converts with the environment's LC_CTYPE: the
    // server must get this right on its own. Both an untyped literal and a
    // VARCHAR go through (PostgreSQL reports the first as long text).
    const std::string sql =
        "SELECT 'h\u00e9llo \u20ac & <>' AS t, CAST('\u00fc' AS VARCHAR(10)) AS v";
    const std::string rows =
        "<Row>\n    <Column>h&#xe9;llo &#x20ac; &amp; &lt;&gt;</Column>\n"
        "    <Column>&#xfc;</Column>\n</Row>\n</Result>\n";
    // Without '=' an entry removes the variable from the server's environment.
    const std::vector<std::string> locales[] = {{}, {"LANG", "LC_ALL", "LC_CTYPE"}, {"LC_ALL=C"}};
    for (const std::string &conn : {lite.conn(), pg::conn()}) {
        for (const auto &env : locales) {
            SCOPED_TRACE(conn + (env.empty() ? "" : " " + env.back()));
            ProcOptions opts;
            opts.env = env;
            const Answer a = ask(sql_request(conn, sql, "<Format><Short/></Format>"), opts);
            EXPECT_EQ(a.status, 0);
            EXPECT_EQ(a.body.substr(std::min(a.body.find("<Row>"), a.body.size())), rows);
        }
    }
}

TEST_F(ColumnData, LongValuesArriveInChunksOf1023Characters)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite;
    auto sections = [](std::string_view ch, std::initializer_list<std::size_t> sizes) {
        std::string s;
        for (const std::size_t n : sizes) s += "<![CDATA[" + repeat(ch, n) + "]]>";
        return s;
    };
    const std::string euro = "\u20ac";
    const struct {
        std::string_view ch;
        std::size_t n;
        bool cdata;
        std::string content;
    } cases[] = {
        {"x", 1023, true, sections("x", {1023})},
        {"x", 1024, true, sections("x", {1023, 1})},
        {"x", 3000, true, sections("x", {1023, 1023, 954})},
        // Chunks hold characters, not bytes: none is split.
        {euro, 1500, true, sections(euro, {1023, 477})},
        {euro, 1500, false, repeat("&#x20ac;", 1500)},
    };
    for (const auto &c : cases) {
        for (const bool sqlite : {true, false}) {
            SCOPED_TRACE(std::to_string(c.n) + (c.cdata ? " cdata " : " pcdata ") +
                         (sqlite ? "SQLite" : "PostgreSQL"));
            const std::string sql = sqlite ? sqlite_repeat(c.ch, c.n) : pg_repeat(c.ch, c.n);
            const std::string format = c.cdata ? "<Format><Short/><Data Type=\"cdata\"/></Format>"
                                               : "<Format><Short/></Format>";
            const Answer a = ask(sql_request(sqlite ? lite.conn() : pg::conn(), sql, format));
            EXPECT_EQ(a.body, one_value("v", c.content, c.cdata));
        }
    }
}

// Characters beyond U+FFFF come as two units; the answer must carry them as
// one character, also when a chunk edge falls between the two.
TEST_F(ColumnData, CharactersBeyondTheBasicPlaneStayWhole)
{
    ASSERT_TRUE(pg::ready());
    const std::string sql = "SELECT repeat('a', 1022) || chr(128512) || 'b' AS v";
    const std::string a1022 = repeat("a", 1022);
    const Answer pc = ask(sql_request(pg::conn(), sql, "<Format><Short/></Format>"));
    EXPECT_EQ(pc.body, one_value("v", a1022 + "&#x1f600;b"));
    const Answer cd =
        ask(sql_request(pg::conn(), sql, "<Format><Short/><Data Type=\"cdata\"/></Format>"));
    EXPECT_EQ(cd.body, one_value("v", "<![CDATA[" + a1022 + "]]><![CDATA[\U0001F600b]]>", true));
}

TEST_F(ColumnData, BinaryColumnsInEachOutputForm)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite;
    const std::string five("\x00\xff\x10\xab\x7f", 5);
    std::string long_value;
    for (int i = 0; i < 1500; i++) long_value += static_cast<char>(i * 7 % 256);
    // The "sql" form is the driver's own text: SQLite writes a quoted
    // literal, PostgreSQL bare lower-case hexadecimal digits.
    const struct {
        std::string conn, literal_start, literal_end, sql_form;
    } sources[] = {
        {lite.conn(), "X'", "'", "X&apos;00FF10AB7F&apos;"},
        {pg::conn(), "'\\x", "'::bytea", "00ff10ab7f"},
    };
    for (const auto &src : sources) {
        // Each block of 1024 bytes is encoded on its own.
        const struct {
            const std::string &value;
            const char *output;
            std::string content;
        } cases[] = {
            {five, "sql", src.sql_form},
            {five, "base64", "AP8Qq38="},
            {long_value, "base64",
             base64(std::string_view(long_value).substr(0, 1024)) +
                 base64(std::string_view(long_value).substr(1024))},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(src.conn + " " + c.output + " " + std::to_string(c.value.size()));
            const std::string sql =
                "SELECT " + src.literal_start + hex(c.value) + src.literal_end + " AS b";
            const Answer a = ask(sql_request(
                src.conn, sql,
                "<Format><Short/><Binary Output=\"" + std::string(c.output) + "\"/></Format>"));
            EXPECT_EQ(a.body, one_value("b", c.content));
        }
    }
}

TEST_F(ColumnData, BinaryOutputNoneLeavesColumnsOut)
{
    ASSERT_TRUE(pg::ready());
    SqliteDb lite;
    const std::string none = "<Format><Short/><Binary Output=\"none\"/></Format>";
    for (const auto &[conn, blob] :
         {std::pair{lite.conn(), "X'00FF'"}, {pg::conn(), "'\\x00ff'::bytea"}}) {
        SCOPED_TRACE(conn);
        EXPECT_EQ(
            ask(sql_request(conn, std::string("SELECT 1 AS id, ") + blob + " AS b", none)).body,
            one_value("id", "1"));
        // With no column left the result is empty, not missing.
        EXPECT_EQ(ask(sql_request(conn, std::string("SELECT ") + blob + " AS b", none)).body,
                  EMPTY_RESULT);
    }
}

TEST_F(ColumnData, TrailingBlanksAreTrimmedFromFixedLengthTextOnly)
{
    ASSERT_TRUE(pg::ready());
    // PostgreSQL pads CHAR(10) with blanks; SQLite does not, so only
    // PostgreSQL shows the difference.
    const std::string sql =
        "SELECT CAST('ab' AS CHAR(10)) AS c, CAST('ab        ' AS VARCHAR(10)) AS v";
    const std::string head = "<Result State=\"00000\">\n<Row>\n";
    const std::pair<const char *, std::string> cases[] = {
        {"<Format><Long/></Format>", "    <Column Name=\"c\">ab        </Column>\n"},
        {"<Format><Long/><TruncateTrailingBlanks/></Format>",
         "    <Column Name=\"c\">ab</Column>\n"},
    };
    for (const auto &[format, c] : cases) {
        SCOPED_TRACE(format);
        EXPECT_EQ(ask(sql_request(pg::conn(), sql, format)).body,
                  head + c + "    <Column Name=\"v\">ab        </Column>\n</Row>\n</Result>\n");
    }
}

TEST_F(ColumnData, TenMegabyteValueIsStreamedWhole)
{
    // PostgreSQL only: the SQLite driver converts the whole rest of a value
    // for every chunk, so ten megabytes would take minutes there.
    ASSERT_TRUE(pg::ready());
    constexpr std::size_t size = 10u << 20;
    ProcOptions opts;
    opts.limit = std::chrono::seconds(60);
    const Answer a =
        ask(sql_request(pg::conn(), pg_repeat("x", size), "<Format><Short/></Format>"), opts);
    EXPECT_EQ(a.status, 0);
    // Compared without printing ten megabytes on failure.
    const std::string expected = one_value("v", std::string(size, 'x'));
    EXPECT_EQ(a.body.size(), expected.size());
    EXPECT_TRUE(a.body == expected) << a.body.substr(0, 200);
}

}  // namespace
