// Access-list strings, address/mask checks and blank stripping.

#include <string>

#include "acl.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 4096) return -1;
    const std::string text(reinterpret_cast<const char *>(data), size);
    {
        diagstk_ptr d(diagstk_new());
        std::string acl = text;
        void *list = nullptr;
        if (qx_create_ip_acl(d.get(), acl.data(), &list) == 0) {
            char ip[] = "192.168.17.3";
            qx_check_access_control(d.get(), ip, list);
            std::string client = text.substr(0, 31);
            qx_check_access_control(d.get(), client.data(), list);
        }
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
