// ControlUsers and the identities it is matched with.

#include "config.h"
#include "tls.h"
#include "unit_support.h"

// ControlUsers: no empty entries, written back only when set; an identity
// matches exactly and is shown without control characters.
TEST(ControlUsers, ReadWrittenBackAndMatched)
{
    ASSERT_EQ(apply_settings(nullptr, "<ControlUsers> alice, ops.example.com </ControlUsers>"), 0);
    EXPECT_NE(written_config().find("    <ControlUsers> alice, ops.example.com </ControlUsers>\n"),
              std::string::npos);
    for (const std::string value : {"alice,,bob", ",alice", "alice, "}) {
        SCOPED_TRACE(value);
        diagstk_ptr d(diagstk_new());
        EXPECT_EQ(apply_settings(d.get(), "<ControlUsers>" + value + "</ControlUsers>"), -1);
        EXPECT_EQ(messages(d.get()), Msgs{"attr_control_users: empty entry in ControlUsers \"" +
                                          value + "\""});
        EXPECT_STREQ(ini_control_users, " alice, ops.example.com ");
    }
    ASSERT_EQ(apply_settings(nullptr, ""), 0);
    EXPECT_EQ(written_config().find("ControlUsers"), std::string::npos);

    using names = std::vector<std::string>;
    const struct { std::string_view list; names who; bool listed; } cases[] = {
        {"alice, ops.example.com", {"alice"}, true},
        {"alice, ops.example.com", {"carol", "ops.example.com"}, true},
        {"alice", {"Alice"}, false},
        {"alice", {"alice bob"}, false},
        {"alice bob", {"alice"}, false},
        {"alice", {}, false},
        {"", {"alice"}, false},
        {" , ", {""}, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qx_identity_listed(c.list, c.who), c.listed) << c.list << " / " << c.who.size();

    io_in_t in{};
    std::snprintf(in.src.listen.client_ip, sizeof in.src.listen.client_ip, "10.0.0.7");
    EXPECT_EQ(qx_identity_text(&in), "none");
    EXPECT_EQ(qx_client_text(&in), "10.0.0.7");
    in.identity = {"al\nice\x7f", "alice.example.com"};
    EXPECT_EQ(qx_identity_text(&in), "al?ice?");
    EXPECT_EQ(qx_client_text(&in), "10.0.0.7 (al?ice?)");
}
