// Access-list strings, address/mask checks and blank stripping. Beyond
// surviving any text, one property is checked: a list made of entries the
// configuration reader accepts always compiles, and matches any client.

#include <algorithm>
#include <string>
#include <string_view>

#include "acl.h"
#include "fuzz_support.h"

namespace {

// The clients every compiled list is matched against: both families, a
// mapped IPv4 client, and one that is no address.
constexpr const char *CLIENTS[] = {"192.168.17.3", "10.0.0.1",       "::1",
                                   "2001:db8::7",  "::ffff:10.0.0.1", "local"};

// Splits the text at "," and keeps the entries that validate as the
// configuration reader validates them, each with a sign.
std::string validated_entries(const std::string &text)
{
    std::string list;
    std::size_t start = 0;
    for (int sign = 0; start <= text.size(); sign++) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        std::string entry = text.substr(start, end - start);
        start = end + 1;
        diagstk_ptr d(diagstk_new());
        if (entry.empty() || qx_check_netip_mask(d.get(), entry.data(), 1, nullptr) != 0) continue;
        if (!list.empty()) list += ',';
        list += (sign % 2 ? '-' : '+') + entry;
    }
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 4096) return -1;
    const std::string text(reinterpret_cast<const char *>(data), size);
    {
        diagstk_ptr d(diagstk_new());
        std::string acl = text;
        void *list = nullptr;
        if (qx_create_ip_acl(d.get(), acl.data(), &list) == 0) {
            for (const char *c : CLIENTS) qx_acl_first_match(d.get(), c, list);
            std::string client = text.substr(0, 45);
            qx_check_access_control(d.get(), client.data(), list);
        }
        qx_free_ip_acl(d.get(), &list);
    }
    {
        diagstk_ptr d(diagstk_new());
        std::string acl = validated_entries(text);
        void *list = nullptr;
        if (qx_create_ip_acl(d.get(), acl.data(), &list) != 0) std::abort();
        for (const char *c : CLIENTS)
            if (qx_acl_first_match(d.get(), c, list) < -1) std::abort();
        qx_free_ip_acl(d.get(), &list);
    }
    for (int flag = 0; flag < 2; flag++) {
        diagstk_ptr d(diagstk_new());
        std::string s = text;
        char *bad = nullptr;
        qx_check_netip_mask(d.get(), s.data(), flag, &bad);
    }
    for (unsigned long flags = 0; flags < 8; flags++) {
        diagstk_ptr d(diagstk_new());
        std::string s = text;
        char *r = qx_strip_spaces(d.get(), s.data(), flags);
        if (r != nullptr && (flags & 4)) std::free(r);
    }
    return 0;
}
