// HTTP on the request port: a request document as the body of a POST gets
// the answer the raw protocol gives, framed by length or in chunks; every
// refusal has its status and the raw protocol's text; the heads a proxy
// could read differently end the connection; the raw protocol on the same
// port is untouched.

#include <regex>
#include <thread>

#include <sys/stat.h>

#include "e2e.h"
#include "http_client.h"

namespace {

class Http : public NetTest {
protected:
    // The raw protocol's answer to `doc` sent whole (the sender then ends
    // its side), after its prolog.
    std::string raw_body(const std::string &doc) const { return body_of(control(port, doc)); }
    HttpResponse exchange(const std::string &bytes) const
    {
        Fd c = connect_port(port);
        std::string rest;
        if (!send_all(c.get(), bytes)) return {};
        return read_http_response(c.get(), rest);
    }
    const std::string XML = "application/xml; charset=utf-8";
};

// Requests follow each other on one connection, also sent all at once;
// a small answer carries its length, a long one comes in chunks; HTTP/1.0
// gets the answer and the close; a client that waits for "100 Continue"
// gets it.
TEST_F(Http, QueriesAreAnsweredAsOverTheRawProtocol)
{
    ASSERT_TRUE(start());
    const std::string small = sql("SELECT n FROM t ORDER BY n");
    const std::string large = rows(3000);
    const std::string small_answer = result_of(ask(connect_port(port).get(), small));
    const std::string large_answer = result_of(ask(connect_port(port).get(), large));
    ASSERT_TRUE(holds(large_answer, {"<Column Name=\"x\">3000</Column>"}));

    Fd c = connect_port(port);
    std::string rest;
    ASSERT_TRUE(send_all(c.get(), http_request("POST", "/", small) +
                                      http_chunked_request("/query", small, 7) +
                                      http_request("GET", "/health")));
    for (int i = 0; i < 2; i++) {
        const HttpResponse r = read_http_response(c.get(), rest);
        ASSERT_EQ(r.status, 200) << r.error;
        EXPECT_EQ(r.field("content-type"), XML);
        EXPECT_EQ(r.field("content-length"), std::to_string(r.body.size()));
        EXPECT_EQ(result_of(r.body), small_answer);
    }
    HttpResponse health = read_http_response(c.get(), rest);
    EXPECT_EQ(health.status, 200) << health.error;
    EXPECT_EQ(health.field("content-type"), "text/plain; charset=utf-8");
    EXPECT_EQ(health.body, "ok\n");

    ASSERT_TRUE(send_all(c.get(), http_request("POST", "/query", large)));
    const HttpResponse chunked = read_http_response(c.get(), rest);
    ASSERT_EQ(chunked.status, 200) << chunked.error;
    EXPECT_TRUE(chunked.chunked);
    EXPECT_EQ(result_of(chunked.body), large_answer);
    EXPECT_EQ(chunked.field("connection"), "");

    // The raw protocol still works on the same connection after HTTP.
    EXPECT_TRUE(answers(c.get(), 4));

    Fd old = connect_port(port);
    ASSERT_TRUE(send_all(old.get(), "POST / HTTP/1.0\r\nContent-Length: " +
                                        std::to_string(large.size()) + "\r\n\r\n" + large));
    rest.clear();
    const HttpResponse one = read_http_response(old.get(), rest);
    EXPECT_EQ(one.status, 200) << one.error;
    EXPECT_FALSE(one.chunked);
    EXPECT_EQ(one.field("connection"), "close");
    EXPECT_EQ(result_of(one.body), large_answer);

    Fd waiting = connect_port(port);
    const std::string head = "POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: " +
                             std::to_string(small.size()) + "\r\n\r\n";
    ASSERT_TRUE(send_all(waiting.get(), head));
    rest.clear();
    EXPECT_EQ(read_http_response(waiting.get(), rest).status, 100);
    ASSERT_TRUE(send_all(waiting.get(), small));
    const HttpResponse after = read_http_response(waiting.get(), rest);
    EXPECT_EQ(after.status, 200) << after.error;
    EXPECT_EQ(result_of(after.body), small_answer);
    EXPECT_EQ(stop().status, 0);
}

// Every refusal carries the error result document with the text the raw
// protocol gives for the same fault, and ends the connection.
TEST_F(Http, RefusalsHaveTheirStatusAndTheRawText)
{
    const std::string locked = "<DataSource Name=\"locked\" Client=\"10.9.9.9\">" + db.conn() +
                               "</DataSource>";
    ASSERT_TRUE(start("<RequestTimeout>1</RequestTimeout>" + locked));
    const std::string cut = "<Request><Sql>SELECT 1</Sql>";
    const std::string from_locked =
        "<Request><DataSource>locked</DataSource><Sql>SELECT 1</Sql></Request>";
    const std::string too_large = "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 16777217\r\n\r\n";
    const struct { std::string bytes; int status; std::string body, allow; } cases[] = {
        {http_request("POST", "/", cut), 400, raw_body(cut), ""},
        {http_request("POST", "/", "hello"), 400, raw_body("hello"), ""},
        {http_request("POST", "/", from_locked), 403,
         error_body("Client (127.0.0.1) denied access to data source \"locked\""), ""},
        {too_large, 413, error_body("Request too large - more than 16777216 bytes"), ""},
        {http_request("GET", "/nope"), 404, error_body("No such resource: /nope"), ""},
        {http_request("GET", "/query"), 405, error_body("Method GET not allowed for /query"),
         "POST"},
        {http_request("POST", "/health"), 405, error_body("Method POST not allowed for /health"),
         "GET"},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\n<Request>", 408,
         error_body("Request timed out - no complete request within 1 seconds"), ""},
        {"GET / HTTP/1.1\r\nHost: a\r\n", 408,
         error_body("Request timed out - no complete request within 1 seconds"), ""},
    };
    for (const auto &c : cases) {
        Fd conn = connect_port(port);
        std::string rest;
        ASSERT_TRUE(send_all(conn.get(), c.bytes));
        const HttpResponse r = read_http_response(conn.get(), rest);
        EXPECT_EQ(r.status, c.status) << c.bytes.substr(0, 60) << r.error;
        EXPECT_EQ(r.field("content-type"), XML);
        EXPECT_EQ(body_of(r.body), c.body) << c.bytes.substr(0, 60);
        EXPECT_EQ(r.field("allow"), c.allow);
        EXPECT_EQ(r.field("connection"), "close");
        EXPECT_TRUE(http_closed(conn.get(), rest)) << c.bytes.substr(0, 60);
    }
    EXPECT_TRUE(serves());
    EXPECT_EQ(stop().status, 0);
}

// quilletclient --http: the answer's body on standard output, and the
// exit status the raw protocol gives (an error status is an error answer).
TEST_F(Http, QuilletclientSpeaksHttp)
{
    ASSERT_TRUE(start());
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    auto client = [&](const std::string &path, const std::string &doc) {
        return Child(command({"--http", url + path}, QUILLET_CLIENT_BINARY), with_input(doc, 20s))
            .finish();
    };
    const std::string large = rows(2000);
    ProcResult r = client("/query", large);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result_of(r.out), result_of(ask(connect_port(port).get(), large)));
    r = client("/", sql("SELECT * FROM missing"));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(holds(r.out, {"no such table: missing"}));
    r = client("/nope", sql("SELECT 1"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(body_of(r.out), error_body("No such resource: /nope"));
    EXPECT_EQ(stop().status, 0);
}

// Refusals the server makes before a child serves the connection (the
// access list, the limits) reach an HTTP client in HTTP, a raw client as
// before.
TEST_F(Http, ServerRefusalsSpeakTheClientsProtocol)
{
    auto refused = [&](const std::string &bytes) {
        Fd c = connect_port(port);
        std::string rest;
        send_all(c.get(), bytes);
        return read_http_response(c.get(), rest);
    };
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.1</Client>"));
    HttpResponse r = refused(http_request("GET", "/health"));
    EXPECT_EQ(r.status, 403) << r.error;
    EXPECT_EQ(body_of(r.body), error_body("Access denied to client due to IP-based ACL"));
    EXPECT_EQ(r.field("connection"), "close");
    const ProcResult first = stop();
    EXPECT_EQ(first.status, 0) << first.err;

    ASSERT_TRUE(start("<MaxConcurrentConnect>1</MaxConcurrentConnect>"));
    Fd busy = connect_port(port);
    ASSERT_TRUE(answers(busy.get(), 1));  // its child now holds the only slot
    r = refused(http_request("POST", "/", sql("SELECT 1")));
    EXPECT_EQ(r.status, 503) << r.error;
    EXPECT_EQ(r.field("retry-after"), "1");
    EXPECT_EQ(body_of(r.body), error_body("Maximum Threads/Processes already in use"));
    EXPECT_EQ(body_of(ask(connect_port(port).get(), sql("SELECT 1"))),
              error_body("Maximum Threads/Processes already in use"));
    busy.reset();
    EXPECT_EQ(stop().status, 0);
}

// The control port in HTTP: Prometheus metrics that add up to what was
// asked (checked by promtool), the statistics, the configuration read and
// replaced. Reading never rewrites the configuration file; a refused
// configuration changes nothing.
TEST_F(Http, ControlPortServesMetricsStatisticsAndConfiguration)
{
    ASSERT_TRUE(start());
    auto control_http = [&](const std::string &bytes) {
        Fd c = connect_port(control_port);
        std::string rest;
        send_all(c.get(), bytes);
        return read_http_response(c.get(), rest);
    };
    EXPECT_TRUE(serves(1));
    EXPECT_EQ(exchange(http_request("POST", "/", sql("SELECT n FROM t"))).status, 200);
    EXPECT_EQ(exchange(http_request("POST", "/", sql("SELECT * FROM missing"))).status, 200);
    EXPECT_EQ(exchange(http_request("POST", "/", "<Request>")).status, 400);

    // A child counts its request just after the client has the answer.
    HttpResponse metrics;
    EXPECT_TRUE(eventually(
        [&] {
            metrics = control_http(http_request("GET", "/metrics"));
            return holds(metrics.body, {"quillet_request_duration_seconds_count 4\n"});
        },
        5s));
    ASSERT_EQ(metrics.status, 200) << metrics.error;
    EXPECT_EQ(metrics.field("content-type"), "text/plain; version=0.0.4; charset=utf-8");
    std::string out;
    EXPECT_TRUE(run_tool({"promtool", "check", "metrics"}, metrics.body, &out)) << metrics.body;
    EXPECT_TRUE(holds(metrics.body, {"\nquillet_connections_total 4\n",
                                     "\nquillet_children_created_total 4\n",
                                     "quillet_requests_total{kind=\"sql\",outcome=\"ok\"} 2\n",
                                     "quillet_requests_total{kind=\"sql\",outcome=\"error\"} 1\n",
                                     "quillet_requests_total{kind=\"none\",outcome=\"refused\"} 1\n",
                                     "\nquillet_rows_total 4\n",
                                     "quillet_request_duration_seconds_count 4\n",
                                     "quillet_connections_refused_total{reason=\"acl\"} 0\n"}))
        << metrics.body;

    const HttpResponse stats = control_http(http_request("GET", "/stats"));
    EXPECT_EQ(stats.status, 200);
    EXPECT_TRUE(holds(stats.body, {"<Total>4</Total>"})) << stats.body;

    const HttpResponse config = control_http(http_request("GET", "/config"));
    EXPECT_EQ(config.status, 200);
    EXPECT_EQ(body_of(config.body), body_of(control(control_port, "<Request><Configuration/></Request>")));
    std::string changed = config.body;
    changed.replace(changed.find("</Configuration>"), 0, "<QueryTimeout>7</QueryTimeout>");
    HttpResponse put = control_http(http_request("PUT", "/config", changed));
    EXPECT_EQ(put.status, 200) << put.body;
    EXPECT_EQ(body_of(put.body), CONTROL_DONE);
    EXPECT_TRUE(holds(read_file(CONFIG_XML), {"<QueryTimeout>7</QueryTimeout>"}));

    const auto saved = fs::last_write_time(CONFIG_XML);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(control_http(http_request("GET", "/metrics")).status, 200);
    EXPECT_EQ(control_http(http_request("GET", "/config")).status, 200);
    EXPECT_EQ(fs::last_write_time(CONFIG_XML), saved);

    put = control_http(http_request("PUT", "/config", "<Configuration><Port>x</Port></Configuration>"));
    EXPECT_EQ(put.status, 400);
    EXPECT_EQ(body_of(put.body), error_body("xml2config: invalid value x for Port"));
    EXPECT_EQ(fs::last_write_time(CONFIG_XML), saved);

    EXPECT_EQ(control_http(http_request("GET", "/nope")).status, 404);
    const HttpResponse wrong = control_http(http_request("DELETE", "/config"));
    EXPECT_EQ(wrong.status, 405);
    EXPECT_EQ(wrong.field("allow"), "GET, PUT");
    EXPECT_EQ(stop().status, 0);
}

// Reports for a browser: GET /r/NAME runs RequestDir/NAME.xml, answered
// as the same document sent by a client; GET /xsl/NAME.xsl sends a style
// sheet. Nothing else of the file system is reachable: other names, path
// escapes however written, links and special files are all 404.
class Reports : public Http {
protected:
    void SetUp() override
    {
        std::string out;
        ASSERT_TRUE(run_tool({"sqlite3", work.file("demo.db")},
                             read_file(QUILLET_SOURCE_DIR "/examples/demo.sql"), &out));
    }
    std::string settings(const std::string &request_dir) const
    {
        return "<DataSource Name=\"demo\">Driver=SQLite3;Database=" + work.file("demo.db") +
               "</DataSource><RequestDir>" + request_dir + "</RequestDir><StyleSheetDir>" +
               EXAMPLES + "</StyleSheetDir>";
    }
    const std::string EXAMPLES = QUILLET_SOURCE_DIR "/examples";
};

TEST_F(Reports, StoredRequestsAndStyleSheetsAndNothingElse)
{
    TempDir dir;
    fs::copy_file(EXAMPLES + "/reports/customers.xml", dir.file("customers.xml"));
    fs::create_symlink(EXAMPLES + "/hello.xml", dir.file("linked.xml"));
    ASSERT_EQ(mkfifo(dir.file("fifo.xml").c_str(), 0600), 0);
    write_file(work.file("outside.xml"), read_file(EXAMPLES + "/hello.xml"));
    ASSERT_TRUE(start(settings(dir.path())));

    const std::string doc = read_file(EXAMPLES + "/reports/customers.xml");
    const HttpResponse report = exchange(http_request("GET", "/r/customers"));
    ASSERT_EQ(report.status, 200) << report.error;
    EXPECT_EQ(report.field("content-type"), XML);
    EXPECT_TRUE(report.body.find("<?xml-stylesheet href=\"/xsl/result-to-html.xsl\" type=\"text/xsl\"?>") !=
                std::string::npos);
    // The same answer as the document sent by a client, but for the time.
    const std::regex date("Date: [^\r\n]*");
    EXPECT_EQ(std::regex_replace(report.body, date, ""),
              std::regex_replace(ask(connect_port(port).get(), doc), date, ""));
    EXPECT_TRUE(holds(report.body, {"<Column Name=\"name\">M&#xfc;ller GmbH</Column>"}));

    const HttpResponse sheet = exchange(http_request("GET", "/xsl/result-to-html.xsl"));
    EXPECT_EQ(sheet.status, 200);
    EXPECT_EQ(sheet.field("content-type"), "text/xsl; charset=utf-8");
    EXPECT_EQ(sheet.body, read_file(EXAMPLES + "/result-to-html.xsl"));

    for (const char *target :
         {"/r/nope", "/r/customers.xml", "/r/../outside", "/r/%2e%2e/outside", "/r/linked",
          "/r/fifo", "/r/", "/r/.customers", "/r/a/customers", "/xsl/result-to-html",
          "/xsl/../config.xml", "/xsl/reports/customers.xml", "/xsl/.xsl"}) {
        const HttpResponse r = exchange(http_request("GET", target));
        EXPECT_EQ(r.status, 404) << target << " " << r.error;
        EXPECT_EQ(body_of(r.body), error_body("No such resource: " + std::string(target)));
    }
    EXPECT_EQ(stop().status, 0);

    ASSERT_TRUE(start(settings("")));
    EXPECT_EQ(exchange(http_request("GET", "/r/customers")).status, 404);
    EXPECT_EQ(stop().status, 0);
}

// A stored request's named parameters take their values from the query
// string, bound and never spliced; a name it does not declare, or a
// malformed escape, is refused.
TEST_F(Reports, QueryStringValuesAreBoundToNamedParameters)
{
    ASSERT_TRUE(start(settings(EXAMPLES + "/reports")));
    const auto names = [&](const std::string &target) {
        const HttpResponse r = exchange(http_request("GET", target));
        std::string found;
        const std::regex name("<Column Name=\"name\">([^<]*)</Column>");
        for (std::sregex_iterator i(r.body.begin(), r.body.end(), name), end; i != end; ++i)
            found += (*i)[1].str() + ";";
        return std::to_string(r.status) + " " + found;
    };
    EXPECT_EQ(names("/r/customers-in?city=K%C3%B6ln"), "200 M&#xfc;ller GmbH;");
    EXPECT_EQ(names("/r/customers-in"), "200 Smith &amp; Sons;");
    EXPECT_EQ(names("/r/customers-in?city=Lyon&city=Malm%C3%B6"), "200 &#xc5;sa Lindqvist;");
    EXPECT_EQ(names("/r/customers-in?city=%27+OR+1%3D1+--"), "200 ");
    const struct { const char *target, *text; } refused[] = {
        {"/r/customers-in?town=Leeds",
         "Unknown parameter \"town\" - the stored request declares no Parameter of that Name"},
        {"/r/customers?city=Leeds",
         "Unknown parameter \"city\" - the stored request declares no Parameter of that Name"},
        {"/r/customers-in?city=%zz", "Bad HTTP request - malformed query string"},
    };
    for (const auto &c : refused) {
        const HttpResponse r = exchange(http_request("GET", c.target));
        EXPECT_EQ(r.status, 400) << c.target;
        EXPECT_EQ(body_of(r.body), error_body(c.text)) << c.target;
    }
    EXPECT_EQ(stop().status, 0);
}

// A real browser loads the report from the server, fetches the style
// sheet it names and shows the rows as an HTML table.
TEST_F(Reports, ABrowserShowsAReportAsATable)
{
    ASSERT_TRUE(start(settings(EXAMPLES + "/reports")));
    std::string dom;
    ASSERT_TRUE(run_tool({"chromium", "--headless", "--no-sandbox", "--disable-gpu",
                          "--user-data-dir=" + work.file("chromium"), "--dump-dom",
                          "http://127.0.0.1:" + std::to_string(port) + "/r/customers"},
                         "", &dom, 60s));
    EXPECT_TRUE(holds(dom, {"<th>name</th>", "<td>Müller GmbH</td>", "<td>Köln</td>",
                            "<td>Ōkubo Trading</td>"}))
        << dom;
    EXPECT_EQ(stop().status, 0);
}

// A head a proxy could read as one request and this server as two (or the
// other way round) is refused and ends the connection: what follows it is
// never read as a request. So does a malformed chunked body and a head
// larger than the limit.
TEST_F(Http, AmbiguousFramingEndsTheConnection)
{
    ASSERT_TRUE(start());
    const std::string next = http_request("GET", "/health");
    const std::string chunked_head = "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n";
    const struct { std::string bytes; int status; } cases[] = {
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"
         "0\r\n\r\n",
         400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\nContent-Length: 29\r\n\r\n", 400},
        {chunked_head + "zz\r\n", 400},
        {chunked_head + "3\r\n<Re\r\n2\r\nquest>\r\n", 400},
        {"GET /health HTTP/1.1\r\nHost: a\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", 431},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET /health HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", 501},
    };
    for (const auto &c : cases) {
        Fd conn = connect_port(port);
        std::string rest;
        ASSERT_TRUE(send_all(conn.get(), c.bytes + next));
        const HttpResponse r = read_http_response(conn.get(), rest);
        EXPECT_EQ(r.status, c.status) << c.bytes.substr(0, 80) << r.error;
        EXPECT_EQ(r.field("connection"), "close");
        EXPECT_TRUE(http_closed(conn.get(), rest)) << c.bytes.substr(0, 80) << rest;
    }
    EXPECT_TRUE(serves());
    EXPECT_EQ(stop().status, 0);
}

// Http No: a request in HTTP is input that is not a request document.
TEST_F(Http, HttpOffAnswersAsTheRawProtocolDoes)
{
    ASSERT_TRUE(start("<Http>No</Http>"));
    const std::string answer = ask(connect_port(port).get(), http_request("GET", "/health"));
    EXPECT_TRUE(answer.starts_with("<?xml")) << answer;
    EXPECT_TRUE(holds(answer, {"<Result State=\"HY000\">"})) << answer;
    EXPECT_EQ(stop().status, 0);
}

}  // namespace
