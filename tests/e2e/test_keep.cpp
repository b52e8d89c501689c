// Kept database connections serve the next request of the same client
// with the same connection string, returned to the state of a fresh one;
// session state (a temporary table) lives on with them.

#include "e2e.h"

namespace {

// A temporary table exists only in the session that made it.
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

// Per driver, one client's requests in turn: the second reuses the first
// one's connection, answering as a fresh one; an open transaction is
// rolled back with autocommit on again; another keyword or an Environment
// entry gets a connection of its own and ends the kept one; a failed or
// stopped statement leaves nothing kept. Clients never share a session.
TEST_F(Keep, EveryRequestGetsAFreshStateAndNoClientAnothersSession)
{
    for (const Driver &d : drivers()) {
        SCOPED_TRACE(d.name);
        if (d.name == "SQLite") d.outside("CREATE TABLE keep_t (n INTEGER);");
        ASSERT_TRUE(start_keeping(d.stop_setting));
        Fd conn = connect_port(port);
        const std::string c = d.conn(""), other = d.conn(d.other_keyword);
        const std::string fresh = body_of(ask(conn.get(), sql_request(c, "SELECT 1 AS v")));
        ASSERT_TRUE(make_session(conn.get(), c));
        EXPECT_EQ(body_of(ask(conn.get(), sql_request(c, "SELECT 1 AS v"))), fresh);
        // PostgreSQL answers each statement of the text, SQLite the text.
        EXPECT_TRUE(ask_sql(conn.get(), c, "BEGIN; INSERT INTO keep_t VALUES (7)").ends_with(EMPTY_RESULT));
        EXPECT_EQ(ask_sql(conn.get(), c, "SELECT count(*) AS c FROM keep_t"), one_value("c", "0"));
        EXPECT_EQ(ask_sql(conn.get(), c, "INSERT INTO keep_t VALUES (8)"), EMPTY_RESULT);
        EXPECT_EQ(d.outside("SELECT n FROM keep_t"), "8\n");  // while this one stays open
        EXPECT_TRUE(has_session(conn.get(), c));

        EXPECT_FALSE(has_session(conn.get(), other));
        EXPECT_FALSE(has_session(conn.get(), c));
        ASSERT_TRUE(make_session(conn.get(), c));
        const std::string in_environment =
            result_of(ask(conn.get(), with_environment(c, "CREATE TEMP TABLE kt (x INTEGER)")));
        EXPECT_EQ(in_environment, EMPTY_RESULT);  // no table kt in its session yet
        EXPECT_FALSE(has_session(conn.get(), c));

        ASSERT_TRUE(make_session(conn.get(), c));
        const std::string failed = ask_sql(conn.get(), c, d.stop_sql);
        EXPECT_FALSE(failed.starts_with("<Result State=\"00000\">")) << failed;
        EXPECT_EQ(ask_sql(conn.get(), c, "SELECT 5 AS v"), one_value("v", "5"));
        EXPECT_FALSE(has_session(conn.get(), c));

        ASSERT_TRUE(make_session(conn.get(), c));
        Fd b = connect_port(port);
        EXPECT_FALSE(has_session(b.get(), c));
        EXPECT_TRUE(has_session(conn.get(), c));
        conn.reset();
        b.reset();
        Fd later = connect_port(port);
        EXPECT_FALSE(has_session(later.get(), c));
        later.reset();
        EXPECT_EQ(stop(), CLEAN_EXIT);
    }
}

// A DataSource's Keep decides for its requests (every combination: unit tests).
TEST_F(Keep, DataSourceKeepAttributeDecides)
{
    ASSERT_TRUE(start("<DataSource Name=\"kept\" Keep=\"Yes\">" + xml_text(db.conn()) +
                      "</DataSource>"));
    for (const std::string source : {"", "kept"}) {
        SCOPED_TRACE(source);
        Fd conn = connect_port(port);
        const auto send = [&](const std::string &sql) {
            return result_of(ask(conn.get(), source.empty() ? sql_request(db.conn(), sql)
                                                            : "<Request><DataSource>" + source +
                                                                  "</DataSource><Sql>" + sql +
                                                                  "</Sql></Request>"));
        };
        EXPECT_EQ(send("CREATE TEMP TABLE kt (x INTEGER)"), EMPTY_RESULT);
        EXPECT_EQ(send(SESSION_TABLE) == one_value("c", "0"), source == "kept");
    }
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

}  // namespace
