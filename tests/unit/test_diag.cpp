// Diagnostic stack: long messages, a full stack, surviving a failing flush.

#include "unit_support.h"
#include "xml.h"

// A message longer than an entry is cut, not written past it; a push onto a
// full stack is refused and leaves the entries as they were.
TEST(Diag, LongMessageIsCutAndFullStackRefusesCleanly)
{
    diagstk_ptr d(diagstk_new());
    Msgs pushed{std::string(1023, 'x')};
    diagstk_add(d.get(), 3, "%s", std::string(1500, 'x').c_str());
    for (unsigned i = 1; i < DIAGSTK_MAX_ENTRIES; i++)
        diagstk_add(d.get(), 3, "%s", pushed.emplace_back("m" + std::to_string(i)).c_str());
    EXPECT_EQ(diagstk_add(d.get(), 3, "one too many"), -3);
    EXPECT_EQ(messages(d.get()), pushed);
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
