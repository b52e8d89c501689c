// Connection strings: both readers, the rules, masking, and what a data
// source lets a client add.

#include <string>

#include "connstr.h"
#include "datasource.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 4096) return -1;
    const std::string text(reinterpret_cast<const char *>(data), size);
    for (const connstr_reading how : {connstr_reading::braced, connstr_reading::plain})
        for (const connstr_pair &p : qx_connstr_pairs(text, how)) {
            if (p.value_end > text.size() || p.value_begin > p.value_end) __builtin_trap();
            qx_connstr_value(p.value);
        }
    diagstk_ptr d(diagstk_new());
    // A string that passes keeps passing once its secrets are masked.
    if (qx_connstr_check(d.get(), text) == 0 &&
        qx_connstr_check(d.get(), qx_connstr_mask(text)) != 0)
        __builtin_trap();
    qx_environment_mask(text);
    qx_environment_check(d.get(), text);
    io_in_t pipe{};
    std::string out;
    qx_request_connection(d.get(), &pipe, nullptr, text.c_str(), &out);
    return 0;
}
