// databases.h - the data sources the query tests run against: one
// throw-away PostgreSQL cluster for the whole run, SQLite files per test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "install_dir.h"

// Runs a command-line tool found on PATH with `input` on its standard input
// under a time limit. Fails, naming the tool and quoting its standard
// error, when it cannot be run or exits with a non-zero status.
::testing::AssertionResult run_tool(const std::vector<std::string> &argv, std::string_view input,
                                    std::string *out,
                                    std::chrono::milliseconds limit = std::chrono::seconds(30));

// The shared PostgreSQL cluster, started on first use and stopped when the
// test program ends. Its database "quillet" holds the objects of
// postgres_schema (databases.cpp); database "tablelist" holds one table t
// and one view w and nothing else.
namespace pg {

// Fails with the reason when the cluster could not be started.
::testing::AssertionResult ready();
int port();
// An ODBC connection string for `database`, with `options` appended.
std::string conn(std::string_view options = "", std::string_view database = "quillet");
// Runs `sql` through psql against "quillet", stopping at the first error;
// the rows come back unaligned, without headings.
std::string psql(std::string_view sql);

}  // namespace pg

// A SQLite database file in a directory of its own, set up with the
// sqlite3 tool.
class SqliteDb {
public:
    explicit SqliteDb(std::string_view setup_sql = "");
    const std::string &path() const { return path_; }
    std::string conn() const { return "Driver=SQLite3;Database=" + path_; }
    // The sqlite3 tool's output for `sql` (one row a line, '|' between values).
    std::string query(std::string_view sql) const;

private:
    TempDir dir_;
    std::string path_;
};
