// Every character converter and Base64, with output buffers of sizes taken
// from the input (too small included): nothing may be written outside them.

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sql.h>

#include "conv.h"
#include "fuzz_support.h"

namespace {

// A heap buffer of exactly `n` bytes, so AddressSanitizer sees any overrun.
std::unique_ptr<unsigned char[]> exact(std::size_t n)
{
    return std::unique_ptr<unsigned char[]>(new unsigned char[n ? n : 1]);
}

// Text for an answer holds only characters XML allows, also behind its
// character references (`refs`); a NUL only at the end, the caller's
// terminator.
void check_answer_text(const unsigned char *out, std::size_t n, bool refs)
{
    std::string_view t(reinterpret_cast<const char *>(out), n);
    if (!t.empty() && t.back() == '\0') t.remove_suffix(1);
    for (std::size_t i = 0; i < t.size();) {
        bool allowed = false;
        const std::size_t len = qx_utf8_char_len(t.substr(i), &allowed);
        if (len == 0 || !allowed) __builtin_trap();
        if (refs && t.substr(i, 3) == "&#x") {
            unsigned long v = std::strtoul(std::string(t.substr(i + 3, 8)).c_str(), nullptr, 16);
            const bool ok = v < 0x20 ? v == 9 || v == 10 || v == 13
                                     : (v < 0xD800 || (v >= 0xE000 && v <= 0xFFFD) ||
                                        (v >= 0x10000 && v <= 0x10FFFF));
            if (!ok) __builtin_trap();
        }
        i += len;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2 || size > 8192) return -1;
    const std::size_t out_size = (data[0] | (data[1] << 8)) % (size * 12 + 16);
    data += 2, size -= 2;

    {
        auto out = exact(out_size);
        check_answer_text(out.get(), qx_8bits2utf8s(data, size, out.get(), out_size), false);
        check_answer_text(out.get(), qx_8bits2chrrefs(data, size, out.get(), out_size), true);
    }
    {
        unsigned char small[4];
        unsigned char *p = small;
        if (size) qx_8bit2utf8(data[0], &p);
    }
    const int units = static_cast<int>(size / sizeof(SQLWCHAR));
    std::vector<SQLWCHAR> wide(static_cast<std::size_t>(units) + 1);
    if (units) std::memcpy(wide.data(), data, static_cast<std::size_t>(units) * sizeof(SQLWCHAR));
    {
        auto out = exact(out_size);
        check_answer_text(out.get(), qx_wides2chrrefs(wide.data(), units, out.get(), out_size),
                          true);
        qx_wides2asciis(wide.data(), units, out.get(), static_cast<int>(out_size));
        const int n = qx_wides2utf8s(wide.data(), units, out.get(), static_cast<int>(out_size));
        check_answer_text(out.get(), static_cast<std::size_t>(n), false);
        // The driver's form keeps every character: a terminated copy.
        const c_ptr<char> text(qx_wides2utf8_text(wide.data()));
    }
    // Counted and terminated input for the conversions to wide strings.
    {
        auto in = exact(size);
        std::memcpy(in.get(), data, size);
        std::free(qx_utf8s2wides(in.get(), static_cast<int>(size)));
        std::free(qx_ascii_to_wide(in.get(), size));
        std::vector<unsigned char> nts(data, data + size);
        nts.push_back(0);
        std::free(qx_utf8s2wides(nts.data(), SQL_NTS));
        std::free(qx_ascii_to_wide(nts.data(), static_cast<std::size_t>(SQL_NTS)));
    }
    {
        const int len = static_cast<int>(size);
        const std::size_t need = static_cast<std::size_t>(qx_base64encode_len(len));
        auto out = exact(need);
        qx_base64encode_binary(reinterpret_cast<char *>(out.get()), data, len);
        if (std::memchr(out.get(), 0, need) == nullptr) __builtin_trap();  // unterminated
        qx_base64encode(reinterpret_cast<char *>(out.get()), reinterpret_cast<const char *>(data), len);
    }
    return 0;
}
