// Diagnostic stack: capacity, cutting long messages, surviving a failing flush.

#include "unit_support.h"
#include "xml.h"

using namespace unit;

TEST(Diag, AddRefusesWhenFullAndCutsLongMessages)
{
    diagstk_ptr d(diagstk_new());
    for (std::size_t len : {1022u, 1023u, 1024u, 1500u}) {
        diagstk_add(d.get(), 3, "%s", std::string(len, 'x').c_str());
        EXPECT_EQ(messages(d.get()).back().size(), std::min<std::size_t>(len, 1023)) << len;
    }
    for (int i = 4; i < 20; i++) EXPECT_EQ(diagstk_add(d.get(), 3, "m%d", i), i);
    EXPECT_EQ(diagstk_add(d.get(), 3, "one too many"), -3);
    EXPECT_EQ(diagstk_context(d.get()), 20);
    EXPECT_EQ(messages(d.get()).back(), "m19");
}

// Writing the stack to a client that fails adds messages while the stack is
// being emptied: they must survive the flush, not be freed with it.
TEST(Diag, ChannelFailureDuringOutputOutlivesTheFlush)
{
    quilletlog = 0;
    diagstk_ptr d(diagstk_new());
    io_out_t full{};
    full.method = XML_OUTPUT_METHOD_FILE;
    full.dst.file.fp = std::fopen("/dev/full", "w");
    ASSERT_NE(full.dst.file.fp, nullptr);
    std::setvbuf(full.dst.file.fp, nullptr, _IONBF, 0);
    diagstk_add(d.get(), 3, "emitted");
    qx_output_error_result(d.get(), &full);
    std::fclose(full.dst.file.fp);
    ASSERT_GT(d->entries, 0u);
    for (const std::string &m : messages(d.get()))
        EXPECT_EQ(m, "io_write: Failed to write to output file - No space left on device");
}
