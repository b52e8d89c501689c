// Hostile requests against the shipped configuration (examples/config.xml)
// and, where they need a client's own connection string, the documented
// default (ConnectionStrings Any). Each test proves that the effect did not
// happen (no marker file from a library's constructor, no file created, no
// secret in any trace), not only that an error came back.

#include <sys/stat.h>

#include "e2e.h"

namespace {

const std::string MARKER_LIB = QUILLET_MARKER_LIB, MARKER = QUILLET_MARKER_FILE;
const std::string NOT_ACCEPTED = "Connection strings are not accepted - name a DataSource";

std::string refused_keyword(const std::string &k)
{
    return error_body("Connection string refused - keyword " + k + " is not allowed");
}

class Attacks : public NetTest {
protected:
    Attacks()
    {
        fs::remove(MARKER);
        fs::copy_file(MARKER_LIB, evil);
        EXPECT_TRUE(make_demo_db(work.path()));
    }
    ~Attacks() override { EXPECT_FALSE(fs::exists(MARKER)) << "a hostile library was loaded"; }

    // examples/config.xml with this test's ports and LogDir, `more` at its end.
    void shipped(std::string_view more = "")
    {
        std::string doc = read_file(QUILLET_SOURCE_DIR "/examples/config.xml");
        for (const auto &[name, value] : {std::pair{std::string("Port"), std::to_string(port)},
                                          {"ControlPort", std::to_string(control_port)},
                                          {"LogDir", logdir.path()}})
            doc = std::regex_replace(doc, std::regex("<" + name + ">[^<]*<"), "<" + name + ">" + value + "<");
        write_config(std::regex_replace(doc, std::regex("</Configuration>"), std::string(more) + "$&"));
    }
    // The documented default: any client may send any connection string.
    void documented_default() { write_config(config_doc("<LogDir>" + logdir.path() + "</LogDir>")); }

    ProcResult pipe(const std::string &req) const
    {
        ProcResult r = Child(in_dir(work.path(), "pipe"), with_input(req, 20s)).finish();
        r.out = result_of(r.out);
        return r;
    }

    TempDir attacker;  // a directory the client can write (through blob_export, say)
    const std::string evil = attacker.file("evil.so");
};

TEST_F(Attacks, DriverPathLoadsNothing)
{
    for (const std::string &conn : {"Driver=" + evil, "Driver={" + evil + "}",
                                   " driver = " + evil + ";Database=x", "DRIVER={" + evil + "}"}) {
        SCOPED_TRACE(conn);
        const std::string req = sql_request(conn, "SELECT 1");
        shipped();
        EXPECT_EQ(pipe(req), exited(1, error_body(NOT_ACCEPTED)));
        documented_default();
        EXPECT_EQ(pipe(req), exited(1, error_body("Connection string refused - Driver must name "
                                                  "a registered driver")));
    }
    // Nor may a request add a driver to a data source.
    shipped();
    EXPECT_EQ(pipe("<Request><DataSource>demo</DataSource><ConnectionString>Driver=" + evil +
                   "</ConnectionString><Sql>SELECT 1</Sql></Request>"),
              exited(1, refused_keyword("Driver")));
}

// Under the documented default, where clients send their own strings.
TEST_F(Attacks, NoKeywordLoadsCodeOrTouchesFiles)
{
    documented_default();
    const std::string db = attacker.file("made.db"), saved = attacker.file("saved.dsn"),
                      trace = attacker.file("trace.txt"), ini = attacker.file("odbc.ini");
    write_file(ini, "[evil]\nDriver=" + evil + "\n");
    const std::string lite = "Driver=SQLite3;Database=" + db;
    const struct { std::string conn, keyword; } cases[] = {
        {lite + ";LoadExt=" + evil, "LoadExt"},
        {lite + "; loadext = {" + evil + "}", "loadext"},
        {lite + ";Tracefile=" + trace, "Tracefile"},
        {"FILEDSN=" + attacker.file("f.dsn") + ";SAVEFILE=" + saved, "FILEDSN"},
        {lite + ";SAVEFILE=" + saved, "SAVEFILE"},
        {"ODBCINI=" + ini + ";DSN=evil", "ODBCINI"},
        {"ODBCSYSINI=" + attacker.path() + ";DSN=evil", "ODBCSYSINI"},
        {"odbcinstini=" + ini + ";Driver=evil", "odbcinstini"},
        {lite + ";Database={x;LoadExt=" + evil + "}", "LoadExt"},
        // The driver manager would set ODBCINI for the next connect itself.
        {"DMEnvAttr=SQL_ATTR_UNIXODBC_ENVATTR={ODBCINI=" + ini + "};DSN=evil", "DMEnvAttr"},
        {"DMConnAttr=[105]=" + trace + ";" + lite, "DMConnAttr"},
        // psqlodbc's short forms of Debug, CommLog and pqopt.
        {"Driver=PostgreSQL Unicode;CX=1cc00", "CX"},
        {"Driver=PostgreSQL Unicode;B3=1", "B3"},
        {"Driver=PostgreSQL Unicode;D5={sslkey=" + evil + ":x}", "D5"},
        {"Driver=PostgreSQL Unicode;TranslationDLL=" + evil, "TranslationDLL"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.conn);
        EXPECT_EQ(pipe(sql_request(c.conn, "SELECT 1")), exited(1, refused_keyword(c.keyword)));
        for (const std::string &f : {db, saved, trace}) EXPECT_FALSE(fs::exists(f)) << f;
    }
}

TEST_F(Attacks, EnvironmentCannotChooseWhatIsLoaded)
{
    const std::string ini = attacker.file("odbc.ini");
    write_file(ini, "[evil]\nDriver=" + evil + "\nDatabase=" + attacker.file("x.db") + "\n");
    const std::string demo = "<DataSource>demo</DataSource><Sql>SELECT 1 AS v</Sql>";
    auto env = [](const std::string &entry, const std::string &rest) {
        return "<Request><Environment>" + entry + "</Environment>" + rest + "</Request>";
    };
    const struct { std::string entry, name; } refused[] = {
        {"ODBCINI=" + ini, "ODBCINI"},
        {"ODBCSYSINI=" + attacker.path(), "ODBCSYSINI"},
        {"LD_PRELOAD=" + evil, "LD_PRELOAD"},
        {"GCONV_PATH=" + attacker.path(), "GCONV_PATH"},
        {"PGSSLKEY=" + evil + ":engine", "PGSSLKEY"},
        {"OPENSSL_CONF=" + ini, "OPENSSL_CONF"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.entry);
        const std::string message = error_body("Environment variable " + c.name + " is not allowed");
        shipped();
        EXPECT_EQ(pipe(env(c.entry, demo)), exited(1, message));
        documented_default();
        EXPECT_EQ(pipe(env(c.entry, "<ConnectionString>DSN=evil</ConnectionString><Sql>SELECT 1"
                                    "</Sql>")),
                  exited(1, message));
    }
    // What EnvironmentAllow lists is set, and the request runs.
    shipped();
    EXPECT_EQ(pipe(env("TZ=UTC", demo)), exited(0, one_value("v", "1")));
    EXPECT_EQ(pipe(env("LANG=C", demo)),
              exited(1, error_body("Environment variable LANG is not allowed")));
}

// A request reaches only what its data source allows, and no password of a
// request, a data source or an Environment entry reaches the client, a
// trace file (all private; every trace bit on) or standard error.
TEST_F(Attacks, DataSourcesAndTracesKeepTheirSecrets)
{
    const std::string lite = "Driver=SQLite3;Database=demo.db;NoCreat=1";
    shipped("<DataSource Name=\"locked\" Client=\"10.0.0.0/255.0.0.0\">" + lite +
            "</DataSource><DataSource Name=\"secret\" Extra=\"UID,PWD\">" + lite +
            ";PWD=ds-s3cr3t</DataSource><DataSource Name=\"broken\">Driver=SQLite3;"
            "Database=/nonexistent/x.db;PWD=broken-s3cr3t</DataSource>");
    write_config(std::regex_replace(read_file(CONFIG_XML), std::regex("<Logging>0x0</Logging>"),
                                    "<Logging>0x1ff</Logging>"));
    const std::string logs = logs_dir();
    ASSERT_TRUE(launch(in_dir(work.path(), "standalone")));
    auto named = [](const std::string &source, const std::string &more) {
        return "<Request><DataSource>" + source + "</DataSource>" + more +
               "<Sql>SELECT 1 AS v</Sql></Request>";
    };
    const std::pair<std::string, std::string> requests[] = {
        {named("demo", "<ConnectionString>Database=/etc/passwd</ConnectionString>"),
         refused_keyword("Database")},
        {sql_request("Driver=SQLite3;Database=made.db", "SELECT 1"), error_body(NOT_ACCEPTED)},
        {named("secret", ""), one_value("v", "1")},
        {named("secret", "<ConnectionString>UID=u;PWD=client-s3cr3t</ConnectionString>"), ""},
        {named("broken", ""), ""},
        {sql_request(lite + ";PWD=own-s3cr3t", "SELECT 1"), ""},
        {"<Request><Environment>PGPASSWORD=env-s3cr3t</Environment>" + named("secret", "").substr(9), ""},
    };
    for (const auto &[req, want] : requests) {
        const std::string answer = ask(connect_port(port).get(), req);
        EXPECT_TRUE(want.empty() || result_of(answer) == want) << answer;
        EXPECT_EQ(answer.find("s3cr3t"), std::string::npos) << answer;
    }
    EXPECT_FALSE(fs::exists(work.file("made.db")));
    const pid_t pid = server->pid();
    const ProcResult end = stop();
    EXPECT_EQ(end.err.find("s3cr3t"), std::string::npos) << end.err;
    // The configuration is read before LogDir: into the default's directory.
    const std::string early = "/tmp/tmquillet_main.log_" + std::to_string(pid);
    std::vector<fs::path> paths = {early};
    for (const std::string &dir : {logdir.path(), logs})
        for (const auto &e : fs::directory_iterator(dir)) paths.push_back(e.path());
    std::string traces;
    for (const fs::path &p : paths) {
        const std::string text = read_file(p);
        EXPECT_EQ(text.find("s3cr3t"), std::string::npos) << p << text;
        struct stat st {};
        ASSERT_EQ(stat(p.c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << p;
        traces += text;
    }
    fs::remove(early);
    // The main process, one child per request and the server trace.
    EXPECT_EQ(paths.size(), std::size(requests) + 2);
    EXPECT_TRUE(holds(traces, {"PWD=***", "PGPASSWORD=***", "UID=***"}));

    // Under inetd on a Unix-domain socket the client is "local".
    write_config(std::regex_replace(read_file(CONFIG_XML), std::regex("<Logging>0x1ff</Logging>"),
                                    "<Logging>0x0</Logging>"));
    InetdSession inetd;
    EXPECT_EQ(result_of(ask(inetd.fd(), named("locked", ""))),
              error_body("Client (local) denied access to data source \"locked\""));
    EXPECT_EQ(inetd.finish().status, 1);  // a refused request ends the connection
}

// ---- Files the SQLite driver reaches through SQL

std::string on_demo(const std::string &sql)
{
    return "<Request><DataSource>demo</DataSource><Sql>" + xml_text(sql) + "</Sql></Request>";
}

ProcResult sqlite_error(long native, const std::string &text)
{
    return exited(1, odbc_error_body("S1000", native,
                                     "[SQLite]" + text + " (" + std::to_string(native) + ")"));
}

class SqliteFiles : public Attacks {
protected:
    SqliteFiles()
    {
        write_file(secret, "file-s3cr3t");
        std::string out;
        EXPECT_TRUE(run_tool({"sqlite3", other}, "CREATE TABLE s(v); INSERT INTO s VALUES ('x');",
                             &out));
    }
    const std::string secret = attacker.file("secret.txt"), other = attacker.file("other.db"),
                      made = attacker.file("made");
};

// Under the shipped SQLiteFileAccess No, SQL reaches no file but its database.
TEST_F(SqliteFiles, ShippedSourceReachesNoOtherFile)
{
    shipped();
    const std::string other_before = read_file(other);
    const struct { std::string sql; ProcResult want; } cases[] = {
        {"SELECT blob_import('" + secret + "') AS v",
         sqlite_error(1, "no such function: blob_import")},
        {"SELECT blob_export(x'41', '" + made + "') AS v",
         sqlite_error(1, "no such function: blob_export")},
        {"ATTACH '" + other + "' AS o", sqlite_error(23, "not authorized")},
        {"ATTACH 'file:" + other + "?mode=rw' AS o", sqlite_error(23, "not authorized")},
        {"ATTACH '" + made + "' AS o", sqlite_error(23, "not authorized")},
        // A name SQLite computes is no literal it could show the check.
        {"ATTACH '" + other + "' || '' AS o", sqlite_error(23, "not authorized")},
        {"VACUUM INTO '" + made + "'", sqlite_error(23, "authorization denied")},
        {"SELECT fts3_tokenizer('simple', x'0000000000000000') AS v",
         sqlite_error(1, "fts3tokenize disabled")},
        {"SELECT load_extension('" + evil + "') AS v", sqlite_error(1, "not authorized")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sql);
        const ProcResult r = pipe(on_demo(c.sql));
        EXPECT_EQ(r, c.want);
        EXPECT_EQ(r.out.find("s3cr3t"), std::string::npos);
        EXPECT_FALSE(fs::exists(made));
        EXPECT_EQ(read_file(other), other_before);
    }
    // The demo database itself is read, written and vacuumed as before.
    EXPECT_EQ(pipe(on_demo("UPDATE customers SET city = 'Quillby' WHERE id = 1")),
              exited(0, EMPTY_RESULT));
    EXPECT_EQ(pipe(on_demo("VACUUM")), exited(0, EMPTY_RESULT));
    EXPECT_EQ(pipe(on_demo("SELECT city AS v FROM customers WHERE id = 1")),
              exited(0, one_value("v", "Quillby")));
}

// SQLiteFileAccess Yes keeps the driver as it comes: every file is in reach.
TEST_F(SqliteFiles, FileAccessYesLeavesTheDriverAsItIs)
{
    shipped();
    write_config(std::regex_replace(read_file(CONFIG_XML), std::regex("<SQLiteFileAccess>No<"),
                                    "<SQLiteFileAccess>Yes<"));
    ASSERT_TRUE(holds(read_file(CONFIG_XML), {"<SQLiteFileAccess>Yes<"}));
    EXPECT_EQ(pipe(on_demo("ATTACH '" + other + "' AS o; INSERT INTO o.s VALUES ('y')")),
              exited(0, EMPTY_RESULT));
    std::string rows;
    EXPECT_TRUE(run_tool({"sqlite3", other, "SELECT group_concat(v) FROM s"}, "", &rows));
    EXPECT_EQ(rows, "x,y\n");
    EXPECT_EQ(pipe(on_demo("SELECT CAST(blob_import('" + secret + "') AS TEXT) AS v")),
              exited(0, one_value("v", "file-s3cr3t")));
}

// ---- Code a client names: no SQLite extension, and no library the
// client had the server write, even named as a driver, is ever loaded.

class CodeLoading : public ServerTest {
protected:
    CodeLoading() { fs::remove(QUILLET_MARKER_FILE); }

    // True when the marker's constructor ran since the fixture began.
    static bool marker_loaded() { return fs::exists(QUILLET_MARKER_FILE); }

    std::string sql(std::string_view text) const { return sql_request(db.conn(), text); }

    SqliteDb db;
};

std::string refused(const std::string &name, std::string_view why)
{
    return "Refused to load library " + name + " - " + std::string(why);
}

// The nearest directory at or above `dir` that others may write.
std::string writable_by_others_above(fs::path dir)
{
    for (;; dir = dir.parent_path()) {
        struct stat st{};
        if (stat(dir.c_str(), &st) == 0 && (st.st_mode & S_IWOTH)) return dir.string();
        if (dir == dir.root_path()) return "(none)";
    }
}

std::string hex_of(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

TEST_F(CodeLoading, SqliteExtensionsNeverLoadWhateverThePath)
{
    // The name as given, then with ".so"; a system library's too ('abort').
    const std::string planted = work.file("marker.so");
    fs::copy_file(QUILLET_MARKER_LIB, planted);
    const std::string stem = work.file("marker");
    const struct { std::string call, first; } cases[] = {
        {"load_extension('" + planted + "')", planted},
        {"load_extension('" + stem + "')", stem},
        {"load_extension('libc.so.6', 'abort')", "libc.so.6"},
    };
    const std::string why = "SQLite extensions are not loaded";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        const std::string second = c.first + ".so";
        EXPECT_EQ(query(sql("SELECT " + c.call)),
                  (ProcResult{1, false,
                              odbc_error_body("S1000", 1, "[SQLite]" + refused(second, why) + " (1)"),
                              refused(c.first, why) + "\n" + refused(second, why) + "\n"}));
        EXPECT_FALSE(marker_loaded());
    }
}

TEST_F(CodeLoading, LibraryTheClientWroteNeverLoadsAsADriver)
{
    // SQLite writes the client's bytes; a DSN of the administrator's odbc.ini
    // names the file as its driver: only the loader can refuse it.
    const std::string bytes = read_file(QUILLET_MARKER_LIB);
    const std::string planted = work.file("x.so");
    EXPECT_EQ(query(sql("SELECT blob_export(x'" + hex_of(bytes) + "', '" + planted + "') AS n")),
              exited(0, one_value("n", std::to_string(bytes.size()))));
    ASSERT_EQ(read_file(planted), bytes);

    TempDir admin;
    const std::string ini = admin.file("odbc.ini");
    write_file(ini, "[planted]\nDriver=" + planted + "\n");
    ProcOptions opts;
    opts.env = {"ODBCINI=" + ini};
    EXPECT_EQ(query(request("DSN=planted", "<Sql>SELECT 1</Sql>"), opts),
              (ProcResult{1, false,
                          odbc_error_body("01000", 0,
                                          "[unixODBC][Driver Manager]Can't open lib '" + planted +
                                              "' : file not found"),
                          refused(planted, writable_by_others_above(work.path()) +
                                               " is writable by others") +
                              "\n"}));
    EXPECT_FALSE(marker_loaded());
}

}  // namespace
