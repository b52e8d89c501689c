// Kept database connections on the standalone server, on SQLite and
// PostgreSQL: a connection serves the next request of the same client
// with exactly the same connection string, returned to the state of a
// fresh one; session state (a temporary table) lives on with it. Each
// state that must not pass from one request to the next has its case, and
// two clients never meet each other's connection.

#include "e2e.h"

namespace {

// The answer of a request naming the temporary table `kt`: one that
// exists only in the session that made it.
const std::string SESSION_TABLE = "SELECT count(*) AS c FROM kt";

struct Driver {
    std::string name;
    std::function<std::string(std::string_view options)> conn;
    std::function<std::string(std::string_view sql)> outside;  // the database's own tool
    std::string other_keyword;                                  // one more keyword
    std::string stop_sql, stop_setting;  // a request that ends its connection
};

class Keep : public NetTest {
protected:
    std::vector<Driver> drivers()
    {
        EXPECT_TRUE(pg::ready());
        pg::psql("DROP TABLE IF EXISTS keep_t; CREATE TABLE keep_t (n integer);");
        return {
            {"SQLite", [this](std::string_view o) { return db.conn() + std::string(o); },
             [this](std::string_view q) { return db.query(q); }, ";StepAPI=1",
             // The server stops it at QueryTimeout: the driver is left mid-statement.
             "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE "
             "x < 2000000000) SELECT count(*) FROM c",
             "<QueryTimeout>1</QueryTimeout>"},
            {"PostgreSQL", [](std::string_view o) { return pg::conn(o); },
             [](std::string_view q) { return pg::psql(q); }, ";UseDeclareFetch=1",
             "SELECT pg_terminate_backend(pg_backend_pid())", ""},
        };
    }
    // Starts the server keeping connections, with `more` settings.
    ::testing::AssertionResult start_keeping(std::string_view more = "")
    {
        return start("<KeepConnections>Yes</KeepConnections>"
                     "<EnvironmentAllow>TZ</EnvironmentAllow>" + std::string(more));
    }
    static std::string ask_sql(int fd, const std::string &conn, std::string_view sql)
    {
        return result_of(ask(fd, sql_request(conn, sql)));
    }
    // Whether the session on `fd` still holds the temporary table.
    static bool has_session(int fd, const std::string &conn)
    {
        return ask_sql(fd, conn, SESSION_TABLE) == one_value("c", "0");
    }
    static bool make_session(int fd, const std::string &conn)
    {
        return ask_sql(fd, conn, "CREATE TEMP TABLE kt (x INTEGER)") == EMPTY_RESULT &&
               has_session(fd, conn);
    }
};

std::string with_environment(const std::string &conn, std::string_view sql)
{
    return "<Request><Environment>TZ=UTC</Environment>" + sql_request(conn, sql).substr(9);
}

// The second request of a client reuses the first one's connection: its
// temporary table is there, and its answer, driver information included,
// is that of a fresh connection.
TEST_F(Keep, SessionStateLivesOnAndTheAnswerIsAFreshConnections)
{
    for (const Driver &d : drivers()) {
        SCOPED_TRACE(d.name);
        ASSERT_TRUE(start_keeping());
        Fd conn = connect_port(port);
        const std::string fresh = body_of(ask(conn.get(), sql_request(d.conn(""), "SELECT 1 AS v")));
        EXPECT_TRUE(make_session(conn.get(), d.conn("")));
        EXPECT_EQ(body_of(ask(conn.get(), sql_request(d.conn(""), "SELECT 1 AS v"))), fresh);
        EXPECT_TRUE(has_session(conn.get(), d.conn("")));
        conn.reset();
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
}

// An open transaction is rolled back and autocommit is on again: the next
// request neither sees the rows nor holds a lock, and its own row is
// committed at once; the session itself lives on.
TEST_F(Keep, OpenTransactionDoesNotPass)
{
    for (const Driver &d : drivers()) {
        SCOPED_TRACE(d.name);
        if (d.name == "SQLite") d.outside("CREATE TABLE keep_t (n INTEGER);");
        ASSERT_TRUE(start_keeping());
        Fd conn = connect_port(port);
        const std::string c = d.conn("");
        ASSERT_TRUE(make_session(conn.get(), c));
        // PostgreSQL answers each statement of the text, SQLite the text.
        EXPECT_TRUE(ask_sql(conn.get(), c, "BEGIN; INSERT INTO keep_t VALUES (7)")
                        .ends_with(EMPTY_RESULT));
        EXPECT_EQ(ask_sql(conn.get(), c, "SELECT count(*) AS c FROM keep_t"), one_value("c", "0"));
        EXPECT_EQ(ask_sql(conn.get(), c, "INSERT INTO keep_t VALUES (8)"), EMPTY_RESULT);
        // Seen from another connection while this one stays open.
        EXPECT_EQ(d.outside("SELECT n FROM keep_t"), "8\n");
        EXPECT_TRUE(has_session(conn.get(), c));
        conn.reset();
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
}

// A request whose connection failed, or that the server had to stop
// mid-statement, leaves nothing kept: the next request connects afresh
// and is answered.
TEST_F(Keep, FailedConnectionIsDroppedAndTheNextRequestConnectsAfresh)
{
    for (const Driver &d : drivers()) {
        SCOPED_TRACE(d.name);
        ASSERT_TRUE(start_keeping(d.stop_setting));
        Fd conn = connect_port(port);
        const std::string c = d.conn("");
        ASSERT_TRUE(make_session(conn.get(), c));
        const std::string failed = ask_sql(conn.get(), c, d.stop_sql);
        EXPECT_FALSE(failed.starts_with("<Result State=\"00000\">")) << failed;
        EXPECT_EQ(ask_sql(conn.get(), c, "SELECT 5 AS v"), one_value("v", "5"));
        EXPECT_FALSE(has_session(conn.get(), c));
        conn.reset();
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
}

// A connection string that differs by one keyword, and a request that sets
// Environment entries, get a connection of their own; the one kept before
// is ended, and the Environment request's connection is not kept either.
TEST_F(Keep, OtherConnectionStringOrEnvironmentNeverReuses)
{
    for (const Driver &d : drivers()) {
        SCOPED_TRACE(d.name);
        ASSERT_TRUE(start_keeping());
        Fd conn = connect_port(port);
        const std::string c = d.conn(""), other = d.conn(d.other_keyword);
        ASSERT_TRUE(make_session(conn.get(), c));
        EXPECT_FALSE(has_session(conn.get(), other));
        EXPECT_FALSE(has_session(conn.get(), c));

        ASSERT_TRUE(make_session(conn.get(), c));
        const std::string in_environment =
            result_of(ask(conn.get(), with_environment(c, "CREATE TEMP TABLE kt (x INTEGER)")));
        EXPECT_EQ(in_environment, EMPTY_RESULT);  // no table kt in its session yet
        EXPECT_FALSE(has_session(conn.get(), c));
        conn.reset();
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
}

// Two clients at the same time each have their own session, and a client
// that comes after another has ended gets a new one.
TEST_F(Keep, TwoClientsNeverShareAConnection)
{
    for (const Driver &d : drivers()) {
        SCOPED_TRACE(d.name);
        ASSERT_TRUE(start_keeping());
        const std::string c = d.conn("");
        Fd a = connect_port(port), b = connect_port(port);
        ASSERT_TRUE(make_session(a.get(), c));
        EXPECT_FALSE(has_session(b.get(), c));
        EXPECT_TRUE(has_session(a.get(), c));
        a.reset();
        b.reset();
        Fd later = connect_port(port);
        EXPECT_FALSE(has_session(later.get(), c));
        later.reset();
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
}

// KeepConnections No is the default; a DataSource's Keep attribute decides
// for the requests that name it, whatever the setting.
TEST_F(Keep, SettingAndDataSourceKeepAttribute)
{
    const std::string sources = "<DataSource Name=\"kept\" Keep=\"Yes\">" + xml_text(db.conn()) +
                                "</DataSource><DataSource Name=\"fresh\" Keep=\"no\">" +
                                xml_text(db.conn()) + "</DataSource>";
    const auto named = [](std::string_view source, std::string_view sql) {
        return "<Request><DataSource>" + std::string(source) + "</DataSource><Sql>" +
               std::string(sql) + "</Sql></Request>";
    };
    const struct {
        std::string setting, source;
        bool kept;
    } cases[] = {
        {"", "", false},
        {"", "kept", true},
        {"<KeepConnections>Yes</KeepConnections>", "", true},
        {"<KeepConnections>Yes</KeepConnections>", "fresh", false},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.setting + " source " + k.source);
        ASSERT_TRUE(start(k.setting + sources));
        Fd conn = connect_port(port);
        const auto send = [&](std::string_view sql) {
            return result_of(ask(conn.get(), k.source.empty() ? sql_request(db.conn(), sql)
                                                              : named(k.source, sql)));
        };
        EXPECT_EQ(send("CREATE TEMP TABLE kt (x INTEGER)"), EMPTY_RESULT);
        EXPECT_EQ(send(SESSION_TABLE) == one_value("c", "0"), k.kept);
        conn.reset();
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
}

}  // namespace
