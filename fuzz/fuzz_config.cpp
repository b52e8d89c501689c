// Configuration documents: parsed as the configuration file is, applied,
// then written back out. The settings are reset before every input.

#include "config.h"
#include "fuzz_support.h"
#include "parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 64 * 1024) return -1;
    qx_init_config();
    diagstk_ptr d(diagstk_new());
    fuzz::MemIn m(data, size);
    void *tree = nullptr;
    if (qx_parse_xml(d.get(), &m.in, &tree, 0) == 0) {
        qx_use_config(d.get(), tree);
        qx_free_parse_tree(d.get(), tree);
    }
    fuzz::MemOut out;
    diagstk_ptr d2(diagstk_new());
    qx_return_config(d2.get(), &out.out);
    return 0;
}
