// HTTP on the request port beside the raw protocol, on the control port,
// and reports for a browser.

#include <regex>
#include <thread>

#include <sys/stat.h>

#include "e2e.h"
#include "http_client.h"

namespace {

class Http : public NetTest {
protected:
    HttpResponse exchange(const std::string &bytes, int to = 0) const
    {
        Fd c = connect_port(to == 0 ? port : to);
        std::string rest;
        if (!send_all(c.get(), bytes)) return {};
        return read_http_response(c.get(), rest);
    }
    const std::string XML = "application/xml; charset=utf-8";
};

// One server: the control port in HTTP (metrics checked by promtool,
// statistics, the configuration read and replaced, reading never rewriting
// the file), then queries, refusals and ambiguous heads, and quilletclient.
TEST_F(Http, OneServerAnswersRefusesAndReports)
{
    const std::string locked = "<DataSource Name=\"locked\" Client=\"10.9.9.9\">" + db.conn() +
                               "</DataSource>";
    ASSERT_TRUE(start("<RequestTimeout>1</RequestTimeout>" + locked));
    const auto control_http = [&](const std::string &bytes) { return exchange(bytes, control_port); };
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
    put = control_http(http_request("PUT", "/config", "<Configuration><Port>x</Port></Configuration>"));
    EXPECT_EQ(put.status, 400);
    EXPECT_EQ(body_of(put.body), error_body("xml2config: invalid value x for Port"));
    EXPECT_EQ(fs::last_write_time(CONFIG_XML), saved);
    EXPECT_EQ(control_http(http_request("GET", "/nope")).status, 404);
    const HttpResponse wrong = control_http(http_request("DELETE", "/config"));
    EXPECT_EQ(wrong.status, 405);
    EXPECT_EQ(wrong.field("allow"), "GET, PUT");

    // Requests sent at once in turn; long answers chunked; "100 Continue".
    const std::string small = sql("SELECT n FROM t ORDER BY n"), large = rows(3000);
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
    EXPECT_TRUE(answers(c.get(), 4));  // the raw protocol after HTTP

    const HttpResponse one = exchange("POST / HTTP/1.0\r\nContent-Length: " +
                                      std::to_string(large.size()) + "\r\n\r\n" + large);
    EXPECT_EQ(one.status, 200) << one.error;
    EXPECT_FALSE(one.chunked);
    EXPECT_EQ(one.field("connection"), "close");
    EXPECT_EQ(result_of(one.body), large_answer);
    Fd waiting = connect_port(port);
    ASSERT_TRUE(send_all(waiting.get(), "POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\n"
                                        "Content-Length: " + std::to_string(small.size()) + "\r\n\r\n"));
    rest.clear();
    EXPECT_EQ(read_http_response(waiting.get(), rest).status, 100);
    ASSERT_TRUE(send_all(waiting.get(), small));
    const HttpResponse after = read_http_response(waiting.get(), rest);
    EXPECT_EQ(after.status, 200) << after.error;
    EXPECT_EQ(result_of(after.body), small_answer);

    // A refusal has the raw protocol's text and ends the connection, as does
    // any head a proxy could read as another number of requests.
    const std::string cut = "<Request><Sql>SELECT 1</Sql>", chunked_head =
        "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string next = http_request("GET", "/health");
    const std::string late = error_body("Request timed out - no complete request within 1 seconds");
    const struct { std::string bytes; int status; std::string body, allow; } cases[] = {
        {http_request("POST", "/", cut), 400, body_of(control(port, cut)), ""},
        {http_request("POST", "/", "hello"), 400, body_of(control(port, "hello")), ""},
        {http_request("POST", "/", "<Request><DataSource>locked</DataSource><Sql>SELECT 1</Sql>"
                                   "</Request>"),
         403, error_body("Client (127.0.0.1) denied access to data source \"locked\""), ""},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 16777217\r\n\r\n", 413,
         error_body("Request too large - more than 16777216 bytes"), ""},
        {http_request("GET", "/nope"), 404, error_body("No such resource: /nope"), ""},
        {http_request("GET", "/query"), 405, error_body("Method GET not allowed for /query"),
         "POST"},
        {http_request("POST", "/health"), 405, error_body("Method POST not allowed for /health"),
         "GET"},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\n<Request>", 408, late, ""},
        {"GET / HTTP/1.1\r\nHost: a\r\n", 408, late, ""},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"
         "0\r\n\r\n",
         400, error_body("Bad HTTP request - both Content-Length and Transfer-Encoding"), ""},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\nContent-Length: 29\r\n\r\n", 400,
         error_body("Bad HTTP request - conflicting Content-Length values"), ""},
        {chunked_head + "zz\r\n", 400, "", ""},
        {chunked_head + "3\r\n<Re\r\n2\r\nquest>\r\n", 400, "", ""},
        {"GET /health HTTP/1.1\r\nHost: a\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", 431, "",
         ""},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n", 400,
         error_body("Bad HTTP request - request line too long"), ""},
        {"GET /health HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", 501, "", ""},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.bytes.substr(0, 80));
        Fd conn = connect_port(port);
        rest.clear();
        // A request follows, but for a head still waiting for its end.
        ASSERT_TRUE(send_all(conn.get(), k.bytes + (k.status == 408 ? "" : next)));
        const HttpResponse r = read_http_response(conn.get(), rest);
        EXPECT_EQ(r.status, k.status) << r.error;
        EXPECT_EQ(r.field("content-type"), XML);
        EXPECT_TRUE(k.body.empty() || body_of(r.body) == k.body) << r.body;
        EXPECT_EQ(r.field("allow"), k.allow);
        EXPECT_EQ(r.field("connection"), "close");
        EXPECT_TRUE(http_closed(conn.get(), rest)) << rest;
    }

    // quilletclient --http: the body, and the raw protocol's exit status.
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    ProcResult r = run_client({"--http", url + "/query"}, rows(2000));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result_of(r.out), result_of(ask(connect_port(port).get(), rows(2000))));
    r = run_client({"--http", url + "/"}, sql("SELECT * FROM missing"));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(holds(r.out, {"no such table: missing"}));
    r = run_client({"--http", url + "/nope"}, sql("SELECT 1"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(body_of(r.out), error_body("No such resource: /nope"));
    EXPECT_TRUE(serves());
    EXPECT_EQ(stop().status, 0);
}

// The server loop's refusals reach an HTTP client in HTTP, a raw client
// as before; with Http No, HTTP is no request document.
TEST_F(Http, ServerRefusalsSpeakTheClientsProtocol)
{
    ASSERT_TRUE(start("<Client Allow=\"No\">127.0.0.1</Client>"));
    HttpResponse r = exchange(http_request("GET", "/health"));
    EXPECT_EQ(r.status, 403) << r.error;
    EXPECT_EQ(body_of(r.body), ACL_DENIED);
    EXPECT_EQ(r.field("connection"), "close");
    EXPECT_EQ(stop().status, 0);

    ASSERT_TRUE(start("<MaxConcurrentConnect>1</MaxConcurrentConnect>"));
    Fd busy = connect_port(port);
    ASSERT_TRUE(answers(busy.get(), 1));  // its child now holds the only slot
    r = exchange(http_request("POST", "/", sql("SELECT 1")));
    EXPECT_EQ(r.status, 503) << r.error;
    EXPECT_EQ(r.field("retry-after"), "1");
    EXPECT_EQ(body_of(r.body), ALL_IN_USE);
    EXPECT_EQ(body_of(ask(connect_port(port).get(), sql("SELECT 1"))), ALL_IN_USE);
    busy.reset();
    EXPECT_EQ(stop().status, 0);

    ASSERT_TRUE(start("<Http>No</Http>"));
    const std::string answer = ask(connect_port(port).get(), http_request("GET", "/health"));
    EXPECT_TRUE(answer.starts_with("<?xml")) << answer;
    EXPECT_TRUE(holds(answer, {"<Result State=\"HY000\">"})) << answer;
    EXPECT_EQ(stop().status, 0);
}

// GET /r/NAME runs RequestDir/NAME.xml, its parameters bound from the
// query string; GET /xsl/NAME.xsl sends a style sheet; nothing else of the
// file system is reachable. A real browser shows a report as a table.
TEST_F(Http, ReportsStyleSheetsAndNothingElse)
{
    const std::string examples = QUILLET_SOURCE_DIR "/examples";
    ASSERT_TRUE(make_demo_db(work.path()));
    TempDir dir;
    for (const char *name : {"customers.xml", "customers-in.xml"})
        fs::copy_file(examples + "/reports/" + name, dir.file(name));
    fs::create_symlink(examples + "/hello.xml", dir.file("linked.xml"));
    ASSERT_EQ(mkfifo(dir.file("fifo.xml").c_str(), 0600), 0);
    write_file(work.file("outside.xml"), read_file(examples + "/hello.xml"));
    const auto settings = [&](const std::string &request_dir) {
        return "<DataSource Name=\"demo\">Driver=SQLite3;Database=" + work.file("demo.db") +
               "</DataSource><RequestDir>" + request_dir + "</RequestDir><StyleSheetDir>" +
               examples + "</StyleSheetDir>";
    };
    ASSERT_TRUE(start(settings(dir.path())));

    const HttpResponse report = exchange(http_request("GET", "/r/customers"));
    ASSERT_EQ(report.status, 200) << report.error;
    EXPECT_EQ(report.field("content-type"), XML);
    EXPECT_TRUE(holds(report.body, {"<?xml-stylesheet href=\"/xsl/result-to-html.xsl\" type=\"text/xsl\"?>",
                                    "<Column Name=\"name\">M&#xfc;ller GmbH</Column>"}));
    const std::regex date("Date: [^\r\n]*");  // all but the time as sent by a client
    EXPECT_EQ(std::regex_replace(report.body, date, ""),
              std::regex_replace(ask(connect_port(port).get(),
                                     read_file(examples + "/reports/customers.xml")), date, ""));
    const HttpResponse sheet = exchange(http_request("GET", "/xsl/result-to-html.xsl"));
    EXPECT_EQ(sheet.status, 200);
    EXPECT_EQ(sheet.field("content-type"), "text/xsl; charset=utf-8");
    EXPECT_EQ(sheet.body, read_file(examples + "/result-to-html.xsl"));

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
    const std::string unknown = "\" - the stored request declares no Parameter of that Name";
    const std::pair<std::string, std::string> refused[] = {
        {"/r/customers-in?town=Leeds", "Unknown parameter \"town" + unknown},
        {"/r/customers?city=Leeds", "Unknown parameter \"city" + unknown},
        {"/r/customers-in?city=%zz", "Bad HTTP request - malformed query string"},
    };
    for (const auto &[target, text] : refused) {
        const HttpResponse r = exchange(http_request("GET", target));
        EXPECT_EQ(r.status, 400) << target;
        EXPECT_EQ(body_of(r.body), error_body(text)) << target;
    }
    for (const std::string target :
         {"/r/nope", "/r/customers.xml", "/r/../outside", "/r/%2e%2e/outside", "/r/linked",
          "/r/fifo", "/r/", "/r/.customers", "/r/a/customers", "/xsl/result-to-html",
          "/xsl/../config.xml", "/xsl/reports/customers.xml", "/xsl/.xsl"}) {
        const HttpResponse r = exchange(http_request("GET", target));
        EXPECT_EQ(r.status, 404) << target << " " << r.error;
        EXPECT_EQ(body_of(r.body), error_body("No such resource: " + target));
    }

    std::string dom;
    ASSERT_TRUE(run_tool({"chromium", "--headless", "--no-sandbox", "--disable-gpu",
                          "--user-data-dir=" + work.file("chromium"), "--dump-dom",
                          "http://127.0.0.1:" + std::to_string(port) + "/r/customers"},
                         "", &dom, 60s));
    EXPECT_TRUE(holds(dom, {"<th>name</th>", "<td>Müller GmbH</td>", "<td>Köln</td>",
                            "<td>Ōkubo Trading</td>"}))
        << dom;
    EXPECT_EQ(stop().status, 0);

    ASSERT_TRUE(start(settings("")));
    EXPECT_EQ(exchange(http_request("GET", "/r/customers")).status, 404);
    EXPECT_EQ(stop().status, 0);
}

}  // namespace
