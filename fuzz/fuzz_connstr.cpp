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
    qx_connstr_check(d.get(), text);
    // The mask is for display only: masking a secret that closes a brace
    // (dRiVeR={;PWD=};/) may change how the shown text would read, so
    // nothing is asserted about checking it again; it must only not fail.
    qx_connstr_mask(text);
    qx_environment_mask(text);
    qx_environment_check(d.get(), text);
    io_in_t pipe{};
    std::string out;
    qx_request_connection(d.get(), &pipe, nullptr, text.c_str(), &out);
    return 0;
}
