// Code a client names is never loaded: no SQLite extension, and no library
// the client had the server write, even named as a driver. Every case
// proves that the marker library's constructor never ran.

#include <sys/stat.h>

#include "e2e.h"

namespace {

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
