// Access lists: validating net/mask texts, compiling lists, matching
// clients (the fixed-size list a configuration fills: test_config).

#include <cstring>

#include "acl.h"
#include "unit_support.h"

const std::string BAD = "qx_check_ip_address: invalid net/mask ";

TEST(AclCheck, DottedQuadAndMaskValidation)
{
    // An empty message means valid. A message about the address alone is
    // rolled back when the text turns out to carry a mask.
    const struct { const char *text; std::string message; } cases[] = {
        {"255.255.255.255", ""},
        {"192.168.1.0/255.255.255.0", ""},
        {"1.2.3", BAD + "\"1.2.3\" - incomplete dotted quad"},
        {"1.1.1.256", BAD + "\"1.1.1.256\" - number 256 too big"},
        {"1.2.3.4/255.255", BAD + "\"255.255\" - incomplete dotted quad"},
        {"1.2.3/0.0.0.0", BAD + "\"1.2.3/0.0.0.0\" - incomplete dotted quad"},
    };
    for (const auto &c : cases) {
        diagstk_ptr d(diagstk_new());
        diagstk_add(d.get(), 3, "earlier");
        std::string text = c.text;
        EXPECT_EQ(qx_check_netip_mask(d.get(), text.data(), 1, nullptr), c.message.empty() ? 0 : -1)
            << c.text;
        Msgs expected{"earlier"};
        if (!c.message.empty()) expected.push_back(c.message);
        EXPECT_EQ(messages(d.get()), expected);
    }
}

TEST(AclMatch, FirstMatchingEntryDecides)
{
    const std::string net = "+192.168.1.0/255.255.255.0,-0.0.0.0/0.0.0.0";
    const struct { std::string acl, client; int allowed; } cases[] = {
        {"-10.0.0.1", "10.0.0.2", 1},  // unmatched clients are allowed
        {"10.0.0.1,-0.0.0.0/0.0.0.0", "10.0.0.1", 1},  // no sign allows
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
    EXPECT_EQ(d->entries, 0u);
}
