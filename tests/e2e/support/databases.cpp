// databases.cpp - the PostgreSQL cluster of the test run and SQLite files.

#include <cstdlib>

#include "e2e.h"

namespace {

// Everything the query tests read from "quillet". Tests that change data
// create tables of their own.
constexpr const char *postgres_schema = R"sql(
CREATE TABLE people (id int, name varchar(40));
INSERT INTO people VALUES (1, 'Smith & Co'), (2, NULL);
CREATE FUNCTION getbalance(account int) RETURNS int LANGUAGE sql AS 'SELECT account * 10';
CREATE FUNCTION nobalance(account int) RETURNS int LANGUAGE sql AS 'SELECT NULL::int';
CREATE FUNCTION f_inout(INOUT x int) LANGUAGE sql AS 'SELECT x + 100';
CREATE FUNCTION f_noargs() RETURNS int LANGUAGE sql AS 'SELECT 7';
CREATE FUNCTION "f&x"(a text) RETURNS text LANGUAGE sql AS $$SELECT a || '!'$$;
CREATE DATABASE tablelist;
\c tablelist
CREATE TABLE t (a int);
CREATE VIEW w AS SELECT a FROM t;
)sql";

const std::string PG_SH = QUILLET_SOURCE_DIR "/scripts/pg.sh";

// One cluster for the whole run. It starts when the first test asks for
// it, so a run without PostgreSQL tests costs nothing; TearDown stops it
// whatever the tests' outcome.
class PostgresCluster : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::string out;
        if (dir) {
            EXPECT_TRUE(run_tool({"sh", PG_SH, "stop", dir->path()}, "", &out, 60s));
        }
        dir.reset();
    }

    ::testing::AssertionResult ready()
    {
        if (!dir) {
            dir = std::make_unique<TempDir>();
            std::string out;
            ::testing::AssertionResult r =
                run_tool({"sh", PG_SH, "start", dir->path()}, "", &out, 120s);
            port = std::atoi(out.c_str());
            if (r && port <= 0)
                r = ::testing::AssertionFailure() << "pg.sh printed no port: " << out;
            if (r) r = run_tool(psql_argv(), postgres_schema, &out);
            if (!r) problem = std::string("PostgreSQL test cluster unavailable: ") + r.message();
        }
        if (problem.empty()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << problem;
    }

    std::vector<std::string> psql_argv() const
    {
        return {"psql", "-XqtA", "-v", "ON_ERROR_STOP=1", "-h", dir->path(), "-p",
                std::to_string(port), "-U", "quillet", "quillet"};
    }

    std::unique_ptr<TempDir> dir;
    int port = 0;
    std::string problem;
};

PostgresCluster *const cluster =
    static_cast<PostgresCluster *>(::testing::AddGlobalTestEnvironment(new PostgresCluster));

}  // namespace

namespace pg {

::testing::AssertionResult ready() { return cluster->ready(); }

int port() { return cluster->port; }

std::string conn(std::string_view options, std::string_view database)
{
    return "Driver=PostgreSQL Unicode;Servername=127.0.0.1;Port=" + std::to_string(port()) +
           ";Database=" + std::string(database) + ";Username=quillet" + std::string(options);
}

std::string psql(std::string_view sql)
{
    std::string out;
    if (const ::testing::AssertionResult up = cluster->ready(); !up)
        ADD_FAILURE() << up.message();
    else
        EXPECT_TRUE(run_tool(cluster->psql_argv(), sql, &out));
    return out;
}

}  // namespace pg

SqliteDb::SqliteDb(std::string_view setup_sql) : path_(dir_.file("test.db"))
{
    if (!setup_sql.empty()) query(setup_sql);
}

std::string SqliteDb::query(std::string_view sql) const
{
    std::string out;
    EXPECT_TRUE(run_tool({"sqlite3", path_}, sql, &out));
    return out;
}
