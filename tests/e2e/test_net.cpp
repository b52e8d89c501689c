// The standalone server's access lists and control port.

#include "e2e.h"

namespace {

class Standalone : public NetTest {};

// The control port's own access list, and no control port at all.
TEST_F(Standalone, AccessListsAndDisabledControlInterface)
{
    ASSERT_TRUE(start("<ControlClient Allow=\"No\">127.0.0.0/255.0.0.0</ControlClient>"));
    EXPECT_EQ(body_of(control(control_port, STATISTICS)),
              error_body("Access denied to client due to Control IP-based ACL"));
    EXPECT_TRUE(serves(4));
    EXPECT_EQ(stop(), CLEAN_EXIT);

    ASSERT_TRUE(start("<Flags><DisableControlInterface/></Flags>"));
    EXPECT_TRUE(serves(5));
    EXPECT_EQ(control(control_port, "<Request><Configuration/></Request>"), "refused");
    EXPECT_EQ(stop(), CLEAN_EXIT);
}

// A Client list sent on the control port applies from the next idle turn.
TEST_F(Standalone, ControlPortReconfiguresAndReports)
{
    ASSERT_TRUE(start());
    EXPECT_TRUE(serves(1));
    const std::string deny = "<Client Allow=\"No\">127.0.0.1</Client>";
    EXPECT_EQ(body_of(control(control_port, config_doc(settings_with_ports(deny)))), CONTROL_DONE);
    // The file is written again after the answer has gone out.
    const auto config_saved = [&] {
        return read_file(CONFIG_XML).find("    " + deny + "\n") != std::string::npos;
    };
    EXPECT_TRUE(eventually(config_saved, 2s));
    // Up to 5 s for a connection before the idle turn, restarted by any.
    std::this_thread::sleep_for(6500ms);
    EXPECT_EQ(body_of(read_until_eof(connect_port(port).get())), ACL_DENIED);

    configure("");
    EXPECT_TRUE(holds(body_of(control(control_port, STATISTICS)),
                      {"<Total>2</Total>\n    <Refused>1</Refused>\n    <Active>0</Active>\n    "
                       "<MaxConcurrent>1</MaxConcurrent>\n    <ChildrenCreated>1</ChildrenCreated>",
                       "<Client Name=\"unknown\">127.0.0.1</Client>\n",
                       "  <Control>\n    <Connections>\n      <Total>2</Total>\n"}));
    EXPECT_TRUE(eventually(config_saved, 2s)) << read_file(CONFIG_XML);
    EXPECT_EQ(stop().status, 0);
}

}  // namespace
