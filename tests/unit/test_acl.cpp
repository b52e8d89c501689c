// Access lists: net/mask texts validated, lists compiled, clients matched.

#include <cstring>

#include "acl.h"
#include "unit_support.h"

const std::string BAD = "qx_check_ip_address: invalid net/mask ";

TEST(AclCheck, DottedQuadAndMaskValidation)
{
    // No message: valid. One about the address alone goes if a mask follows.
    const struct { const char *text; std::string message; } cases[] = {
        {"255.255.255.255", ""},
        {"192.168.1.0/255.255.255.0", ""},
        {"1.2.3", BAD + "\"1.2.3\" - incomplete dotted quad"},
        {"1.1.1.256", BAD + "\"1.1.1.256\" - number 256 too big"},
        {"1.2.3.4/255.255", BAD + "\"255.255\" - incomplete dotted quad"},
        {"1.2.3/0.0.0.0", BAD + "\"1.2.3/0.0.0.0\" - incomplete dotted quad"},
        // Prefix lengths beside dotted masks; IPv6 with or without one.
        {"10.0.0.0/8", ""},
        {"1.2.3.4/33", BAD + "\"1.2.3.4/33\" - prefix length must be 0 to 32"},
        {"1.2.3.4/0032", BAD + "\"1.2.3.4/0032\" - prefix length must be 0 to 32"},
        {"1.2.3/8", BAD + "\"1.2.3/8\" - incomplete dotted quad"},
        {"1.2.3.4/8.", BAD + "\"8.\" - incomplete dotted quad"},
        {"::1", ""},
        {"2001:db8::/32", ""},
        {"::ffff:10.1.2.3/128", ""},
        {"2001:db8::/129", BAD + "\"2001:db8::/129\" - prefix length must be 0 to 128"},
        {"2001:db8::/", BAD + "\"2001:db8::/\" - prefix length must be 0 to 128"},
        {"2001:db8:::1", BAD + "\"2001:db8:::1\" - not an IPv6 address"},
        {"fe80::1%eth0", BAD + "\"fe80::1%eth0\" - not an IPv6 address"},
        {"10.0.0.1:80", BAD + "\"10.0.0.1:80\" - not an IPv6 address"},
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

// The first matching entry decides (1 allow, 0 deny, -1 none: allowed).
// Each family matches its own clients, a mapped client as IPv4; a zero
// mask matches everyone, so deny-all still denies IPv6 clients.
TEST(AclMatch, FirstMatchingEntryDecides)
{
    const std::string net = "+192.168.1.0/255.255.255.0,-0.0.0.0/0.0.0.0";
    const struct { std::string acl, client; int first_match; } cases[] = {
        {"10.0.0.1,-0.0.0.0/0.0.0.0", "10.0.0.1", 1},  // no sign allows
        {net, "192.168.2.1", 0},
        {"-192.168.1.5," + net, "192.168.1.5", 0},
        {"-10.0.0.0/255.0.0.0,", "10.200.3.4", 0},
        {"-1.2.0.0", "1.2", 0},  // missing numbers are 0; nothing past the end is read
        {"-10.0.0.0/8", "10.255.1.2", 0},
        {"-10.0.0.0/8", "11.0.0.0", -1},
        {"-192.168.1.128/25", "192.168.1.127", -1},
        {"-192.168.1.128/25", "192.168.1.128", 0},
        {"-10.0.0.0/255.0.0.0", "::ffff:10.9.8.7", 0},
        {"-2001:db8::/32", "2001:db8:ffff::1", 0},
        {"-2001:db8::/32", "2001:db9::1", -1},
        {"-2001:db8::/33", "2001:db8:8000::1", -1},
        {"-2001:db8::/33", "2001:db8:7fff::1", 0},
        {"-::1", "::1", 0},
        {"-::1/127", "::", 0},
        // An IPv6 entry is not an IPv4 one, even when its bytes agree.
        {"-::ffff:10.0.0.1", "10.0.0.1", -1},
        {"-10.0.0.1", "::a00:1", -1},
        {"-127.0.0.1", "::1", -1},
        // Zero masks of either form and family match both families.
        {"-0.0.0.0/0.0.0.0", "::1", 0},
        {"-::/0", "192.168.1.1", 0},
        {"-10.0.0.0/0.0.0.0", "::1", 0},
        // First match wins across families.
        {"+::1,-0.0.0.0/0.0.0.0", "::1", 1},
        {"+::1,-0.0.0.0/0.0.0.0", "127.0.0.1", 0},
        {"+10.0.0.0/8,+2001:db8::/32,-::/0", "2001:db9::5", 0},
        // The control socket's client matches only entries matching everyone.
        {"-127.0.0.1,-::1", "local", -1},
        {"-0.0.0.0/0", "local", 0},
    };
    diagstk_ptr d(diagstk_new());
    void *acl = nullptr;
    for (auto c : cases) {
        // Compiling over the previous list frees it (LeakSanitizer checks).
        ASSERT_EQ(qx_create_ip_acl(d.get(), c.acl.data(), &acl), 0) << c.acl;
        EXPECT_EQ(qx_acl_first_match(d.get(), c.client.c_str(), acl), c.first_match)
            << c.acl << " for " << c.client;
        auto client = std::make_unique<char[]>(c.client.size() + 1);  // exact size for ASan
        std::memcpy(client.get(), c.client.c_str(), c.client.size() + 1);
        EXPECT_EQ(qx_check_access_control(d.get(), client.get(), acl), c.first_match != 0)
            << c.acl << " for " << c.client;
    }
    qx_free_ip_acl(d.get(), &acl);
    EXPECT_EQ(messages(d.get()), Msgs{});
}

// An unreadable entry refuses the list: dropping it could drop a deny.
TEST(AclCreate, UnreadableEntryRefusesTheList)
{
    for (const char *bad : {"+10.0.0.0/8,-2001:db8:::1,+::1", "-10.0.0.0/40", "-::1/200"}) {
        diagstk_ptr d(diagstk_new());
        void *acl = nullptr;
        std::string text = bad;
        EXPECT_EQ(qx_create_ip_acl(d.get(), text.data(), &acl), -1) << bad;
        EXPECT_EQ(acl, nullptr);
        ASSERT_EQ(d->entries, 1u);
        EXPECT_TRUE(messages(d.get())[0].starts_with("create_ip_acl: invalid entry \""))
            << messages(d.get())[0];
    }
}
