// Access lists: validating net/mask texts, compiling lists, matching clients.

#include <cstring>

#include "unit_support.h"

namespace {

using namespace unit;

const std::string BAD = "qx_check_ip_address: invalid net/mask ";

TEST(AclCheck, DottedQuadValidation)
{
    // An empty message means valid; error_at is the offending character's
    // offset, -1 for none.
    const struct { const char *text; int flag; std::string message; int error_at; } cases[] = {
        {"255.255.255.255", 1, "", -1},
        {"1.2", 0, "", -1},
        {"1.2.3", 1, BAD + "\"1.2.3\" - incomplete dotted quad", -1},
        {"1.2..3", 1, BAD + "\"1.2..3\" - incomplete dotted quad", -1},
        {"1.2.3.4.5", 0, BAD + "\"1.2.3.4.5\" - too many .'s at \".5\"", 7},
        {"1234.1.1.1", 1, BAD + "\"1234.1.1.1\" - too many chrs at \"4.1.1.1\"", 3},
        {"256.1.1.1", 1, BAD + "\"256.1.1.1\" - number 256 too big", 3},
        {"1.1.1.256", 1, BAD + "\"1.1.1.256\" - number 256 too big", 9},
        {"1.2.3.4 ", 1, BAD + "\"1.2.3.4 \" - invalid character at \" \"", 7},
    };
    for (const auto &c : cases) {
        diagstk_ptr d(diagstk_new());
        const char *bad = nullptr;
        EXPECT_EQ(qx_check_ip_address(d.get(), c.text, c.flag, &bad), c.message.empty() ? 0 : -1);
        EXPECT_EQ(messages(d.get()), c.message.empty() ? Msgs{} : Msgs{c.message});
        EXPECT_EQ(bad, c.error_at < 0 ? nullptr : c.text + c.error_at) << c.text;
    }
    EXPECT_EQ(qx_check_ip_address(nullptr, nullptr, 1, nullptr), -1);
}

TEST(AclCheck, NetMaskRollsBackAddressMessage)
{
    const struct { const char *text; std::string message; } cases[] = {
        {"192.168.1.0/255.255.255.0", ""},
        {"1.2.3.4/255.255", BAD + "\"255.255\" - incomplete dotted quad"},
        {"1.2.3/0.0.0.0", BAD + "\"1.2.3/0.0.0.0\" - incomplete dotted quad"},
        {"1.1.1.256/0.0.0.0", BAD + "\"1.1.1.256/0.0.0.0\" - number 256 too big"},
        {"1.2.3.4/1.2.3.4/8", BAD + "\"1.2.3.4/8\" - invalid character at \"/8\""},
        {"1.2.3.x/8", BAD + "\"1.2.3.x/8\" - invalid character at \"x/8\""},
    };
    for (const auto &c : cases) {
        diagstk_ptr d(diagstk_new());
        diagstk_add(d.get(), 3, "earlier");
        std::string text = c.text;
        const int rc = qx_check_netip_mask(d.get(), text.data(), 1, nullptr);
        EXPECT_EQ(rc, c.message.empty() ? 0 : -1) << c.text;
        Msgs expected{"earlier"};
        if (!c.message.empty()) expected.push_back(c.message);
        EXPECT_EQ(messages(d.get()), expected);
    }
}

TEST(AclMatch, FirstMatchingEntryDecides)
{
    const std::string net = "+192.168.1.0/255.255.255.0,-0.0.0.0/0.0.0.0";
    const struct { std::string acl, client; int allowed; } cases[] = {
        {"", "1.2.3.4", 1},
        {"-10.0.0.1", "10.0.0.1", 0},
        {"-10.0.0.1", "10.0.0.2", 1},  // unmatched clients are allowed
        {"10.0.0.1,-0.0.0.0/0.0.0.0", "10.0.0.1", 1},  // no sign allows
        {net, "192.168.1.255", 1},
        {net, "192.168.2.1", 0},
        {"-192.168.1.5," + net, "192.168.1.5", 0},
        {"-10.0.0.0/255.0.0.0,", "10.200.3.4", 0},
        {"-1.2.0.0", "1.2", 0},  // missing numbers are 0; nothing past the end is read
    };
    diagstk_ptr d(diagstk_new());
    void *acl = nullptr;
    for (auto c : cases) {
        // Compiling over the previous list frees it (LeakSanitizer checks).
        ASSERT_EQ(qx_create_ip_acl(d.get(), c.acl.data(), &acl), 0) << c.acl;
        auto client = std::make_unique<char[]>(c.client.size() + 1);  // exact size for ASan
        std::memcpy(client.get(), c.client.c_str(), c.client.size() + 1);
        EXPECT_EQ(qx_check_access_control(d.get(), client.get(), acl), c.allowed)
            << c.acl << " for " << c.client;
    }
    EXPECT_EQ(qx_free_ip_acl(d.get(), &acl), 0);
    EXPECT_EQ(acl, nullptr);
    EXPECT_EQ(d->entries, 0u);
}

}  // namespace
