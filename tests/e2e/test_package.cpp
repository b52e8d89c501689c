// An install keeps an existing configuration (the package: package_test.sh).

#include "e2e.h"

namespace {

const std::string BUILD = QUILLET_BUILD_DIR;

class Installation : public ServerTest {};

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
