// The examples teach only what is true: every example request gives the
// answer stored beside it, the example configuration is accepted, the
// style sheet turns a real answer into a table, and the Python client
// reads a real answer.
//
// QUILLET_UPDATE_EXAMPLES=1 writes the answers instead of comparing them.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "e2e.h"

namespace {

namespace fs = std::filesystem;

const std::string EXAMPLES = std::string(QUILLET_SOURCE_DIR) + "/examples";

// The answer without what differs between runs and machines: carriage
// returns, the Date line, the per-process cursor names of TableTags rows
// and the version numbers of driver and database.
std::string stable(const std::string &answer)
{
    std::string s;
    std::remove_copy(answer.begin(), answer.end(), std::back_inserter(s), '\r');
    s = std::regex_replace(s, std::regex("\n  Date: [^\n]*"), "\n  Date: -");
    s = std::regex_replace(s, std::regex("CUR_[0-9A-Fa-f]+"), "CUR_-");
    return std::regex_replace(s, std::regex("\n  (Driver|DBMS): ([^\n]*) \\([^)\n]*\\)"),
                              "\n  $1: $2 (-)");
}

class Examples : public ServerTest {
protected:
    Examples()
    {
        std::string out;
        EXPECT_TRUE(run_tool({"sqlite3", work.file("demo.db")}, read_file(EXAMPLES + "/demo.sql"),
                             &out));
    }

    // The server's answer to `request`, run in the directory of demo.db.
    std::string answer(const std::string &request)
    {
        const std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" pipe",
                                               work.path(), QUILLET_BINARY};
        const ProcResult r = Child(argv, with_input(request, 20s)).finish();
        EXPECT_EQ(r.err, "");
        return r.out;
    }

    void check(const std::string &name, const std::string &got)
    {
        SCOPED_TRACE(name);
        const std::string path = EXAMPLES + "/answers/" + name;
        if (std::getenv("QUILLET_UPDATE_EXAMPLES") != nullptr) {
            fs::create_directories(fs::path(path).parent_path());
            std::string text;
            std::remove_copy(got.begin(), got.end(), std::back_inserter(text), '\r');
            write_file(path, text);
            return;
        }
        ASSERT_TRUE(fs::exists(path)) << "run with QUILLET_UPDATE_EXAMPLES=1 to write it";
        EXPECT_EQ(stable(got), stable(read_file(path)));
    }
};

TEST_F(Examples, EveryRequestGivesItsStoredAnswer)
{
    std::vector<fs::path> requests;
    for (const auto &e : fs::directory_iterator(EXAMPLES))
        if (e.path().extension() == ".xml" &&
            read_file(e.path()).find("<Request>") != std::string::npos)
            requests.push_back(e.path());
    std::sort(requests.begin(), requests.end());
    ASSERT_GE(requests.size(), 12u);
    for (const auto &r : requests) check(r.filename(), answer(read_file(r)));
}

TEST_F(Examples, ProcedureAgainstPostgres)
{
    ASSERT_TRUE(pg::ready());
    // The shared cluster's database holds getbalance, as the example's comment shows.
    const std::string request = std::regex_replace(
        read_file(EXAMPLES + "/pg/procedure.xml"),
        std::regex("<ConnectionString>[^<]*</ConnectionString>"),
        "<ConnectionString>" + xml_text(pg::conn()) + "</ConnectionString>");
    check("pg/procedure.xml", answer(request));
}

// The access-list configuration is one the server starts with.
TEST_F(Examples, AccessListConfigurationIsAccepted)
{
    write_config(read_file(EXAMPLES + "/config-access.xml"));
    EXPECT_TRUE(holds(answer(read_file(EXAMPLES + "/hello.xml")), {"<Result State=\"00000\">"}));
}

TEST_F(Examples, StyleSheetMakesAnHtmlTable)
{
    const std::string doc = answer(read_file(EXAMPLES + "/stylesheet.xml"));
    ASSERT_TRUE(holds(doc, {"<?xml-stylesheet href=\"result-to-html.xsl\" type=\"text/xsl\"?>"}));
    const std::string file = work.file("answer.xml");
    write_file(file, doc);
    std::string html;
    ASSERT_TRUE(run_tool({"xsltproc", EXAMPLES + "/result-to-html.xsl", file}, "", &html))
        << "install the Debian package xsltproc";
    EXPECT_TRUE(holds(html, {"<tr>\n<th>id</th>\n<th>name</th>\n<th>country</th>\n</tr>",
                             "<tr>\n<td>4</td>\n<td>Café Olé</td>\n<td>FR</td>\n</tr>"}));
    EXPECT_EQ(count_of(html, "<tr>\n<td>"), 5u) << html;
}

class PythonClient : public NetTest {};

TEST_F(PythonClient, PrintsRowsAndErrors)
{
    ASSERT_TRUE(start());
    const std::string script = EXAMPLES + "/query.py";
    const std::string p = std::to_string(port);
    std::string out;
    ASSERT_TRUE(run_tool({"python3", script, "--port", p, db.conn(),
                          "SELECT n, CASE WHEN n = 2 THEN NULL ELSE 'a<b' END AS s FROM t"},
                         "", &out));
    EXPECT_EQ(out, "n\ts\n1\ta<b\n2\t\n3\ta<b\n");

    const ProcResult bad =
        Child({"python3", script, "--port", p, db.conn(), "SELECT * FROM missing"}, {}).finish();
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "S1000: [SQLite]no such table: missing (1)\n");
}

}  // namespace
