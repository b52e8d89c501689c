// Installation: cmake --install keeps an existing config.xml, and the
// Debian package built by CPack holds the programs, the installation
// directory, the service files and the dependencies it needs.

#include <filesystem>

#include "e2e.h"

namespace {

namespace fs = std::filesystem;

const std::string BUILD = QUILLET_BUILD_DIR, MAN_PAGE = "/share/man/man8/quilletserver.8.gz";

std::string contents_of(const std::string &path)
{
    return fs::exists(path) ? read_file(path) : "(missing " + path + ")";
}

// Each of `paths` under `root` is a file, or a directory where it ends in '/'.
::testing::AssertionResult installed(const std::string &root, const std::vector<std::string> &paths)
{
    for (const std::string &p : paths)
        if (!(p.ends_with('/') ? fs::is_directory(root + p) : fs::is_regular_file(root + p)))
            return ::testing::AssertionFailure() << "missing " << root << p;
    return ::testing::AssertionSuccess();
}

// The installed server reads the fixture's config.xml in the build's
// installation directory.
class Installation : public ServerTest {};

TEST_F(Installation, CreatesTheInstallationDirectoryAndKeepsItsConfig)
{
    TempDir stage;
    const std::vector<std::string> install = {"env", "DESTDIR=" + stage.path(), "cmake",
                                              "--install", BUILD, "--prefix", "/opt/q"};
    std::string out;
    ASSERT_TRUE(run_tool(install, "", &out, 60s));
    const std::string dir = stage.path() + INSTALL_DIR, prefix = stage.path() + "/opt/q";
    EXPECT_TRUE(installed(prefix, {"/sbin/quilletserver", "/bin/quilletclient", MAN_PAGE}));
    const ProcResult man = Child({"/usr/bin/man", "--warnings", "-l", prefix + MAN_PAGE},
                                 {"", {"MANWIDTH=80", "LC_ALL=C.UTF-8"}})
                               .finish();
    EXPECT_EQ(man.status, 0) << "install the Debian package man-db";
    EXPECT_EQ(man.err, "") << "the manual page has mistakes";
    EXPECT_TRUE(holds(man.out, {"quilletserver - answer XML request documents"}));
    EXPECT_TRUE(installed(dir, {"/Logs/"}));
    EXPECT_TRUE(holds(contents_of(dir + "/config.xml"),
                      {"<LogDir>" + INSTALL_DIR + "/Logs</LogDir>"}));

    write_file(dir + "/config.xml", "<Configuration><Port>1234</Port></Configuration>\n");
    ASSERT_TRUE(run_tool(install, "", &out, 60s));
    EXPECT_EQ(read_file(dir + "/config.xml"), "<Configuration><Port>1234</Port></Configuration>\n");
    EXPECT_TRUE(holds(out, {"Kept: " + dir + "/config.xml"}));
}

TEST_F(Installation, DebianPackageContents)
{
    TempDir out, root;
    std::string log;
    ASSERT_TRUE(run_tool({"cpack", "-G", "DEB", "--config", BUILD + "/CPackConfig.cmake", "-B",
                          out.path()}, "", &log, 180s));
    std::string deb;
    for (const auto &e : fs::directory_iterator(out.path()))
        if (e.path().extension() == ".deb") deb = e.path();
    ASSERT_FALSE(deb.empty()) << log;

    std::string control;
    ASSERT_TRUE(run_tool({"dpkg-deb", "--field", deb, "Package", "Depends"}, "", &control));
    EXPECT_TRUE(holds(control, {"Package: quilletserver", "libexpat1", "libodbc2", "adduser"}));

    ASSERT_TRUE(run_tool({"dpkg-deb", "-x", deb, root.path()}, "", &log));
    const std::string r = root.path();
    // The installed server runs and knows its installation directory.
    std::string version;
    ASSERT_TRUE(run_tool({r + "/usr/local/sbin/quilletserver", "version"}, "", &version));
    EXPECT_TRUE(holds(version, {"Configuration: " + INSTALL_DIR + "/config.xml"}));
    EXPECT_TRUE(installed(r, {"/usr/local/bin/quilletclient", INSTALL_DIR + "/config.xml",
                              INSTALL_DIR + "/Logs/", "/usr/local" + MAN_PAGE,
                              "/usr/local/share/doc/quilletserver/copyright",
                              "/etc/logrotate.d/quilletserver"}));
    EXPECT_TRUE(holds(contents_of(r + "/etc/xinetd.d/quilletserver"),
                      {"server          = /usr/local/sbin/quilletserver"}));
    EXPECT_TRUE(holds(contents_of(r + "/lib/systemd/system/quilletserver.service"),
                      {"\nExecStart=/usr/local/sbin/quilletserver standalone\n",
                       "\nRestart=on-failure\n", "\nUser=quillet\n", "\nNoNewPrivileges=yes\n",
                       "\nProtectSystem=strict\n", "\nPrivateTmp=yes\n",
                       "\nReadWritePaths=" + INSTALL_DIR + " " + INSTALL_DIR + "/Logs\n"}));
}

}  // namespace
