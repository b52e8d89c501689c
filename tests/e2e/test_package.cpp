// Installation: the Debian package built by CPack holds the programs, the installation
// directory, the service files and the dependencies it needs; an install
// keeps an existing configuration.

#include "e2e.h"

namespace {

const std::string BUILD = QUILLET_BUILD_DIR, MAN_PAGE = "/share/man/man8/quilletserver.8.gz";

// The installed server reads the fixture's config.xml in the build's
// installation directory.
class Installation : public ServerTest {};

TEST_F(Installation, DebianPackageContents)
{
    TempDir out, root;
    std::string log, deb;
    ASSERT_TRUE(run_tool({"cpack", "-G", "DEB", "--config", BUILD + "/CPackConfig.cmake", "-B",
                          out.path()}, "", &log, 180s));
    for (const auto &e : fs::directory_iterator(out.path()))
        if (e.path().extension() == ".deb") deb = e.path();
    ASSERT_TRUE(run_tool({"dpkg-deb", "--field", deb, "Package", "Depends"}, "", &log));
    EXPECT_TRUE(holds(log, {"Package: quilletserver", "libexpat1", "libodbc2", "libssl3", "adduser"}));
    ASSERT_TRUE(run_tool({"dpkg-deb", "-x", deb, root.path()}, "", &log));
    const std::string r = root.path();
    // The installed server runs and knows its installation directory.
    ASSERT_TRUE(run_tool({r + "/usr/local/sbin/quilletserver", "version"}, "", &log));
    EXPECT_TRUE(holds(log, {"Configuration: " + INSTALL_DIR + "/config.xml"}));
    for (const std::string p : {"/usr/local/bin/quilletclient", "/etc/logrotate.d/quilletserver",
                                "/etc/xinetd.d/quilletserver",
                                "/lib/systemd/system/quilletserver.service",
                                "/usr/local/share/doc/quilletserver/copyright"})
        EXPECT_TRUE(fs::is_regular_file(r + p)) << p;
    EXPECT_TRUE(fs::is_directory(r + INSTALL_DIR + "/Logs"));
    // cmake --install, which the package is built with, writes the default configuration.
    EXPECT_TRUE(holds(read_file(r + INSTALL_DIR + "/config.xml"),
                      {"<LogDir>" + INSTALL_DIR + "/Logs</LogDir>"}));
    const ProcResult man = Child({"/usr/bin/man", "--warnings", "-l", r + "/usr/local" + MAN_PAGE},
                                 {"", {"MANWIDTH=80", "LC_ALL=C.UTF-8"}}).finish();
    EXPECT_EQ(man, exited(0, man.out)) << "install man-db; the manual page has no mistakes";
    EXPECT_TRUE(holds(man.out, {"quilletserver - answer XML request documents"}));
}

// An upgrade must never overwrite the configuration an administrator wrote.
TEST_F(Installation, InstallKeepsAnExistingConfig)
{
    TempDir stage;
    const std::vector<std::string> install = {"env", "DESTDIR=" + stage.path(), "cmake",
                                              "--install", BUILD, "--prefix", "/opt/q"};
    std::string out;
    ASSERT_TRUE(run_tool(install, "", &out, 60s));
    const std::string config = stage.path() + INSTALL_DIR + "/config.xml",
                      mine = "<Configuration><Port>1234</Port></Configuration>\n";
    write_file(config, mine);
    ASSERT_TRUE(run_tool(install, "", &out, 60s));
    EXPECT_EQ(read_file(config), mine);
    EXPECT_TRUE(holds(out, {"Kept: " + config}));
}

}  // namespace
