// Installation: cmake --install keeps an existing config.xml, and the
// Debian package built by CPack holds the programs, the installation
// directory, the service files and the dependencies it needs.

#include <filesystem>

#include "net_support.h"

namespace {

namespace fs = std::filesystem;

const std::string BUILD = QUILLET_BUILD_DIR;
const std::string INSTALL = QUILLET_INSTALL_DIR;

std::string contents_of(const std::string &path)
{
    return fs::exists(path) ? read_file(path) : "(missing " + path + ")";
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
    const std::string dir = stage.path() + INSTALL;
    EXPECT_TRUE(fs::is_regular_file(stage.path() + "/opt/q/sbin/quilletserver"));
    EXPECT_TRUE(fs::is_regular_file(stage.path() + "/opt/q/bin/quilletclient"));
    EXPECT_TRUE(fs::is_regular_file(stage.path() + "/opt/q/share/man/man8/quilletserver.8.gz"));
    ProcOptions opts;
    opts.env = {"MANWIDTH=80", "LC_ALL=C.UTF-8"};
    const ProcResult man = Child({"/usr/bin/man", "--warnings", "-l", stage.path() +
                                  "/opt/q/share/man/man8/quilletserver.8.gz"}, opts).finish();
    EXPECT_EQ(man.status, 0) << "install the Debian package man-db";
    EXPECT_EQ(man.err, "") << "the manual page has mistakes";
    EXPECT_NE(man.out.find("quilletserver - answer XML request documents"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(dir + "/Logs"));
    EXPECT_NE(contents_of(dir + "/config.xml").find("<LogDir>" + INSTALL + "/Logs</LogDir>"),
              std::string::npos);

    write_file(dir + "/config.xml", "<Configuration><Port>1234</Port></Configuration>\n");
    ASSERT_TRUE(run_tool(install, "", &out, 60s));
    EXPECT_EQ(read_file(dir + "/config.xml"), "<Configuration><Port>1234</Port></Configuration>\n");
    EXPECT_NE(out.find("Kept: " + dir + "/config.xml"), std::string::npos) << out;
}

TEST_F(Installation, DebianPackageContents)
{
    TempDir out, root;
    std::string log;
    ASSERT_TRUE(run_tool({"cpack", "-G", "DEB", "--config", BUILD + "/CPackConfig.cmake", "-B",
                          out.path()},
                         "", &log, 180s));
    std::string deb;
    for (const auto &e : fs::directory_iterator(out.path()))
        if (e.path().extension() == ".deb") deb = e.path();
    ASSERT_FALSE(deb.empty()) << log;

    std::string control;
    ASSERT_TRUE(run_tool({"dpkg-deb", "--field", deb, "Package", "Depends"}, "", &control));
    EXPECT_NE(control.find("Package: quilletserver"), std::string::npos) << control;
    EXPECT_NE(control.find("libexpat1"), std::string::npos) << control;
    EXPECT_NE(control.find("libodbc2"), std::string::npos) << control;
    EXPECT_NE(control.find("adduser"), std::string::npos) << control;

    ASSERT_TRUE(run_tool({"dpkg-deb", "-x", deb, root.path()}, "", &log));
    const std::string r = root.path();
    // The installed server runs and knows its installation directory.
    std::string version;
    ASSERT_TRUE(run_tool({r + "/usr/local/sbin/quilletserver", "version"}, "", &version));
    EXPECT_NE(version.find("Configuration: " + INSTALL + "/config.xml"), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(r + "/usr/local/bin/quilletclient"));
    EXPECT_TRUE(fs::is_regular_file(r + INSTALL + "/config.xml"));
    EXPECT_TRUE(fs::is_directory(r + INSTALL + "/Logs"));
    EXPECT_TRUE(fs::is_regular_file(r + "/usr/local/share/man/man8/quilletserver.8.gz"));
    EXPECT_TRUE(fs::is_regular_file(r + "/usr/local/share/doc/quilletserver/copyright"));
    EXPECT_TRUE(fs::is_regular_file(r + "/etc/logrotate.d/quilletserver"));
    EXPECT_NE(contents_of(r + "/etc/xinetd.d/quilletserver")
                  .find("server          = /usr/local/sbin/quilletserver"),
              std::string::npos);

    const std::string unit = contents_of(r + "/lib/systemd/system/quilletserver.service");
    for (const std::string &line : std::vector<std::string>{"ExecStart=/usr/local/sbin/quilletserver standalone", "Restart=on-failure",
          "User=quillet", "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes",
          "ReadWritePaths=" + INSTALL + " " + INSTALL + "/Logs"})
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
}

}  // namespace
