// Every example request gives the answer stored for it under the example
// configuration, and the Python client reads real answers.
// QUILLET_UPDATE_EXAMPLES=1 writes the answers instead of comparing them.

#include <algorithm>
#include <cstdlib>

#include "e2e.h"
#include "tls_support.h"

namespace {

const std::string EXAMPLES = std::string(QUILLET_SOURCE_DIR) + "/examples";

// The answer without what differs between runs and machines: carriage
// returns, the Date, cursor names and version numbers.
std::string stable(const std::string &answer)
{
    std::string s = std::regex_replace(answer, std::regex("\r"), "");
    s = std::regex_replace(s, std::regex("\n  Date: [^\n]*"), "\n  Date: -");
    s = std::regex_replace(s, std::regex("CUR_[0-9A-Fa-f]+"), "CUR_-");
    return std::regex_replace(s, std::regex("\n  (Driver|DBMS): ([^\n]*) \\([^)\n]*\\)"),
                              "\n  $1: $2 (-)");
}

class Examples : public ServerTest {};

TEST_F(Examples, EveryRequestGivesItsStoredAnswer)
{
    ASSERT_TRUE(make_demo_db(work.path()));
    std::vector<fs::path> requests;
    for (const auto &e : fs::recursive_directory_iterator(EXAMPLES))
        if (e.path().extension() == ".xml" &&
            read_file(e.path()).find("<Request>") != std::string::npos)
            requests.push_back(e.path());
    std::sort(requests.begin(), requests.end());
    ASSERT_GE(requests.size(), 13u);
    ASSERT_TRUE(pg::ready());
    // The example configuration, its PostgreSQL source the shared cluster.
    write_config(std::regex_replace(read_file(EXAMPLES + "/config-access.xml"),
                                    std::regex("Driver=PostgreSQL[^<]*"), pg::conn()));
    for (const auto &r : requests) {
        const std::string name = fs::relative(r, EXAMPLES), path = EXAMPLES + "/answers/" + name;
        SCOPED_TRACE(name);
        const ProcResult got =
            Child(in_dir(work.path(), "pipe"), with_input(read_file(r), 20s)).finish();
        EXPECT_EQ(got.err, "");
        if (std::getenv("QUILLET_UPDATE_EXAMPLES") != nullptr) {
            fs::create_directories(fs::path(path).parent_path());
            write_file(path, std::regex_replace(got.out, std::regex("\r"), ""));
        } else {
            EXPECT_EQ(stable(got.out), stable(read_file(path)))
                << "QUILLET_UPDATE_EXAMPLES=1 writes the answers";
        }
    }
}

class PythonClient : public NetTest {};

// Rows and errors the same in the raw protocol and in HTTP (--url). Over
// TLS the script checks --host and --ca, presents --cert, reads an answer
// of many records and leaves without a complaint from the server; what the
// handshake refuses is a connection failure (status 1).
TEST_F(PythonClient, PrintsRowsAndErrorsPlainInHttpAndOverTls)
{
    const std::string p = std::to_string(port);
    const auto python = [&](std::vector<std::string> args, const std::string &sql) {
        args.insert(args.begin(), {"python3", EXAMPLES + "/query.py"});
        args.insert(args.end(), {db.conn(), sql});
        return Child(args, with_input("", 30s)).finish();
    };
    const ProcResult missing{2, false, "", "S1000: [SQLite]no such table: missing (1)\n"};
    ASSERT_TRUE(start());
    for (const std::vector<std::string> &where :
         {std::vector<std::string>{"--port", p}, {"--url", "http://127.0.0.1:" + p + "/query"}}) {
        SCOPED_TRACE(where[0]);
        EXPECT_EQ(python(where, "SELECT n, CASE WHEN n = 2 THEN NULL ELSE 'a<b' END AS s FROM t"),
                  exited(0, "n\ts\n1\ta<b\n2\t\n3\ta<b\n"));
        EXPECT_EQ(python(where, "SELECT * FROM missing"), missing);
    }
    EXPECT_EQ(stop(), CLEAN_EXIT);

    ASSERT_TRUE(start(tls_settings("<TlsClientCA>" + tls_file("ca") + "</TlsClientCA>")));
    const std::vector<std::string> alice = {"--port", p, "--tls", "--ca", tls_file("ca"), "--cert",
                                            tls_file("alice"), "--key", tls_file("alice", ".key")};
    std::vector<std::string> by_name = alice, insecure = alice;
    by_name.insert(by_name.end(), {"--host", "localhost"});
    const ProcResult big = python(by_name, "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                                           "FROM c WHERE x < 3000) SELECT x, printf('%0100d', x) AS d FROM c");
    EXPECT_EQ(big.status, 0) << big.err;
    EXPECT_EQ(occurrences(big.out, "\n"), 3001u);
    EXPECT_TRUE(big.out.ends_with("\n3000\t" + std::string(96, '0') + "3000\n"));
    EXPECT_EQ(python(alice, "SELECT * FROM missing"), missing);
    insecure.erase(insecure.begin() + 3, insecure.begin() + 5);
    insecure.push_back("--insecure");
    EXPECT_EQ(python(insecure, "SELECT n FROM t WHERE n = 2"), exited(0, "n\n2\n"));
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--port", p, "--tls", "--ca", tls_file("ca")}, "certificate required"},
        {{"--port", p, "--tls", "--cert", tls_file("alice"), "--key", tls_file("alice", ".key")},
         "certificate verify failed"},
        {{"--port", p}, "the server closed the connection without an answer\n"},
    };
    for (const auto &[args, says] : refused) {
        const ProcResult got = python(args, "SELECT 1");
        EXPECT_EQ(got.status, 1) << says;
        EXPECT_EQ(got.out, "") << says;
        EXPECT_TRUE(got.err.starts_with("query.py: 127.0.0.1:" + p + ": ") && holds(got.err, {says}))
            << got.err;
    }
    const ProcResult server_end = stop();
    EXPECT_EQ(occurrences(server_end.err, "TLS handshake with 127.0.0.1 failed - "), 3u)
        << server_end.err;
    EXPECT_EQ(occurrences(server_end.err, "\n"), 3u) << server_end.err;
}

}  // namespace
