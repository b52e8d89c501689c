// Bound parameters on both drivers: values arrive as sent, each type
// keyword reaches the driver, sets run together or not at all, and the
// drivers' refusals come back as their error results.

#include "e2e.h"

namespace {

// A Parameter element: `attrs` as given, `value` already escaped.
std::string param(std::string_view value, std::string_view attrs = "")
{
    return "<Parameter" + std::string(attrs.empty() ? "" : " ") + std::string(attrs) + ">" +
           std::string(value) + "</Parameter>";
}
std::string set_of(const std::vector<std::string> &params)
{
    std::string s = "<ParameterSet>";
    for (const std::string &p : params) s += p;
    return s + "</ParameterSet>";
}
// A request whose Sql holds `sql` (escaped here) and then `inside` as it is.
std::string bound(std::string_view conn, std::string_view sql, std::string_view inside,
                  std::string_view more = "")
{
    return request(conn, "<Sql>" + xml_text(sql) + std::string(inside) + "</Sql>" +
                             std::string(more));
}
const std::string SHORT = "<Format><Short/></Format>";

// The Short answer of one column v with one row per value.
std::string short_rows(const std::vector<std::string> &values)
{
    std::string s = "<Result State=\"00000\">\n<Columns>\n  <Column>v</Column>\n</Columns>\n";
    for (const std::string &v : values) s += "<Row>\n    <Column>" + v + "</Column>\n</Row>\n";
    return s + "</Result>\n";
}

class Parameters : public ServerTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pg::ready());
        pg::psql("DROP TABLE IF EXISTS pv; CREATE TABLE pv (id INTEGER CHECK (id < 100), "
                 "v VARCHAR(100), b BYTEA);");
    }
    SqliteDb lite{"CREATE TABLE pv (id INTEGER CHECK (id < 100), v VARCHAR(100), b BLOB);"};
    // Both databases, each with its table pv; stored() reads what it holds.
    struct Db { std::string conn; std::function<std::string(std::string_view)> stored; };
    std::vector<Db> both()
    {
        return {{lite.conn(), [this](std::string_view sql) { return lite.query(sql); }},
                {pg::conn(), [](std::string_view sql) { return pg::psql(sql); }}};
    }
};

// What a client sends is what the database stores, whatever the caller's
// locale: no value is ever part of the SQL text; a null is NULL.
TEST_F(Parameters, ValuesAreStoredVerbatim)
{
    const std::vector<std::string> values = {
        "'); DROP TABLE pv; --", "<a href=\"x\">&amp;</a>", "]]>", "K\u00f6ln \u20ac",
        "\U0001F600 four bytes", "two\nlines", "",
    };
    for (const Db &db : both()) {
        SCOPED_TRACE(db.conn);
        for (std::size_t i = 0; i < values.size(); i++) {
            const std::string req = bound(db.conn, "INSERT INTO pv (id, v) VALUES (?, ?)",
                                          param(std::to_string(i), "Type=\"integer\"") +
                                              param(xml_text(values[i]), "Type=\"varchar\""));
            EXPECT_EQ(query(req, {"", {"LC_ALL=C"}}), exited(0, EMPTY_RESULT)) << values[i];
        }
        for (std::size_t i = 0; i < values.size(); i++)
            EXPECT_EQ(db.stored("SELECT v FROM pv WHERE id = " + std::to_string(i) + ";"),
                      values[i] + "\n");
        // And back: a value finds its row, and comes back as characters.
        EXPECT_EQ(query(bound(db.conn, "SELECT id AS v FROM pv WHERE v = ?",
                              param(xml_text(values[3]), "Type=\"varchar\""), SHORT)),
                  exited(0, short_rows({"3"})));
        EXPECT_EQ(query(bound(db.conn, "SELECT v FROM pv WHERE id = ?",
                              param("4", "Type=\"integer\""), SHORT)),
                  exited(0, short_rows({"&#x1f600; four bytes"})));
        // isnull="yes" binds NULL whatever the element holds, text or bytes.
        EXPECT_EQ(query(bound(db.conn, "INSERT INTO pv VALUES (?, ?, ?)",
                              param("", "Type=\"integer\" isnull=\"yes\"") +
                                  param("text", "isnull=\"yes\"") +
                                  param("AP8Q", "Type=\"varbinary\" Encoding=\"base64\" "
                                                "isnull=\"yes\""))),
                  exited(0, EMPTY_RESULT));
        EXPECT_EQ(db.stored("SELECT count(*) FROM pv WHERE id IS NULL AND v IS NULL AND "
                            "b IS NULL;"),
                  "1\n");
    }
}

// Each Type keyword binds its SQL type; PostgreSQL names the type it got.
TEST_F(Parameters, EveryTypeKeywordReachesTheDriver)
{
    const struct { std::string type, value, pg_type; } cases[] = {
        {"char", "ab", ""},          {"varchar", "ab", ""},
        {"longvarchar", "ab", ""},   {"wchar", "ab", ""},
        {"wvarchar", "ab", ""},      {"decimal", "12.50", "numeric"},
        {"numeric", "12.50", "numeric"}, {"bit", "1", ""},
        {"tinyint", "7", "smallint"}, {"smallint", "-3", "smallint"},
        {"integer", "42", "integer"}, {"bigint", "9007199254740993", "bigint"},
        {"real", "1.5", "real"},     {"float", "2.25", ""},
        {"double", "0.5", ""},       {"date", "2024-02-29", ""},
        {"time", "13:45:07", "time without time zone"},
        {"timestamp", "2024-02-29 13:45:07.5", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type);
        const std::string p = param(c.value, "Type=\"" + c.type + "\"");
        for (const std::string &conn : {lite.conn(), pg::conn()})
            EXPECT_EQ(query(bound(conn, "SELECT ? AS v", p, SHORT)),
                      exited(0, short_rows({c.value})));
        if (!c.pg_type.empty()) {
            EXPECT_EQ(query(bound(pg::conn(), "SELECT pg_typeof(?) AS v", p, SHORT)),
                      exited(0, short_rows({c.pg_type})));
        }
    }
    // Binary types from Base64 and back; an empty value is no value missing.
    for (const Db &db : both()) {
        SCOPED_TRACE(db.conn);
        for (const std::string type : {"binary", "varbinary"})
            for (const std::string b64 : {"AP8QqwB/", "", "+//+"})
                EXPECT_EQ(query(bound(db.conn, "INSERT INTO pv (id, b) VALUES (1, ?)",
                                      param(b64, "Type=\"" + type + "\" Encoding=\"base64\""))),
                          exited(0, EMPTY_RESULT));
        EXPECT_EQ(query(bound(db.conn, "SELECT b AS v FROM pv WHERE id = ? ORDER BY length(b), b",
                              param("1", "Type=\"integer\""),
                              "<Format><Short/><Binary Output=\"base64\"/></Format>")),
                  exited(0, short_rows({"", "", "+//+", "+//+", "AP8QqwB/", "AP8QqwB/"})));
    }
}

// The drivers' own refusals: too few values, a value they cannot convert.
TEST_F(Parameters, DriversRefuseWithTheirOwnErrors)
{
    const std::string pg_exec = ";\nError while executing the query";
    const struct {
        bool pg;
        std::string sql, params, state;
        long native;
        std::string text;
    } cases[] = {
        {false, "SELECT ? AS a, ? AS b", param("1"), "S1000", -1,
         "[SQLite]unbound parameters in query"},
        {true, "SELECT ? AS a, ? AS b", param("1"), "07002", 32,
         "The # of IPD parameters 1 &lt; 2 the # of parameter markers"},
        {true, "INSERT INTO pv (id) VALUES (?)", param("abc", "Type=\"integer\""), "22P02", 1,
         "ERROR: invalid input syntax for type integer: \"abc\"" + pg_exec},
        // SQLite keeps the text; the column's check then refuses it.
        {false, "INSERT INTO pv (id) VALUES (?)", param("abc", "Type=\"integer\""), "S1000", 19,
         "[SQLite]CHECK constraint failed: id &lt; 100 (19)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sql + (c.pg ? " pg" : " sqlite"));
        EXPECT_EQ(query(bound(c.pg ? pg::conn() : lite.conn(), c.sql, c.params)),
                  exited(1, odbc_error_body(c.state, c.native, c.text)));
    }
    // More values than markers: the extra ones are bound and never read.
    for (const std::string &conn : {lite.conn(), pg::conn()})
        EXPECT_EQ(query(bound(conn, "SELECT ? AS v", param("a") + param("b"), SHORT)),
                  exited(0, short_rows({"a"})));
}

// One statement executed per set answers set after set; all commit
// together, or a failing set answers alone and nothing stays.
TEST_F(Parameters, SetsAnswerSetAfterSetAndCommitTogether)
{
    auto row = [](int id, std::string_view v) {
        return set_of({param(std::to_string(id), "Type=\"integer\""), param(v)});
    };
    for (const Db &db : both()) {
        SCOPED_TRACE(db.conn);
        EXPECT_EQ(query(bound(db.conn, "INSERT INTO pv (id, v) VALUES (?, ?)",
                              row(1, "a") + row(2, "b&amp;") + row(3, "\u00fc"))),
                  exited(0, EMPTY_RESULT + EMPTY_RESULT + EMPTY_RESULT));
        EXPECT_EQ(db.stored("SELECT id, v FROM pv ORDER BY id;"), "1|a\n2|b&\n3|\u00fc\n");
        EXPECT_EQ(query(bound(db.conn, "SELECT v FROM pv WHERE id >= ? ORDER BY id",
                              set_of({param("3", "Type=\"integer\"")}) +
                                  set_of({param("9", "Type=\"integer\"")}) +
                                  set_of({param("2", "Type=\"integer\"")}),
                              SHORT)),
                  exited(0, short_rows({"&#xfc;"}) + short_rows({}) + short_rows({"b&amp;", "&#xfc;"})));
        // A failing set: its error alone, naming the set; nothing of any set stays.
        const ProcResult failed = query(bound(db.conn, "INSERT INTO pv (id, v) VALUES (?, ?)",
                                              row(10, "x") + row(200, "y") + row(11, "z")));
        EXPECT_EQ(failed.status, 1);
        EXPECT_TRUE(holds(failed.out, {"<Text>Parameter set 2: "}));
        EXPECT_EQ(occurrences(failed.out, "<Text>"), occurrences(failed.out, "Parameter set 2: "));
        EXPECT_EQ(occurrences(failed.out, "<Result"), 1u);
        EXPECT_EQ(db.stored("SELECT count(*) FROM pv;"), "3\n");
        // Sets inside a transaction: the transaction's answer, and its rollback.
        EXPECT_EQ(query(request(db.conn, "<Transaction><Sql>INSERT INTO pv (id) VALUES (4)</Sql>"
                                         "<Sql>INSERT INTO pv (id, v) VALUES (?, ?)" +
                                             row(5, "e") + row(6, "f") + "</Sql></Transaction>")),
                  exited(0, EMPTY_RESULT));
        const ProcResult tx = query(request(
            db.conn, "<Transaction><Sql>INSERT INTO pv (id) VALUES (7)</Sql>"
                     "<Sql>INSERT INTO pv (id, v) VALUES (?, ?)" + row(8, "h") + row(300, "i") +
                         "</Sql><Sql>INSERT INTO pv (id) VALUES (9)</Sql></Transaction>"));
        EXPECT_EQ(tx.status, 1);
        EXPECT_TRUE(holds(tx.out, {"<Text>Parameter set 2: "}));
        EXPECT_EQ(db.stored("SELECT count(*) FROM pv;"), "6\n");
    }
}

// Half a million parameters cost time in proportion to the request (a
// list walked from its start took minutes). In sets of 2,000: binding one
// execution's markers grows with their square.
TEST_F(Parameters, HalfAMillionParametersAreReadInLinearTime)
{
    const std::string many =
        repeat("<ParameterSet>" + repeat("<Parameter/>", 2000) + "</ParameterSet>", 250);
    EXPECT_EQ(query(bound(lite.conn(), "SELECT 1 AS v", many, SHORT), with_input("", 60s)),
              exited(0, repeat(short_rows({"1"}), 250)));
}

}  // namespace
