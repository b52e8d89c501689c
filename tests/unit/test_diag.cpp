// Diagnostic stack: long messages, a full stack, nothing stale after a failing emission.

#include "unit_support.h"
#include "xml.h"

// A long message is cut; a push onto a full stack is refused cleanly.
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

// Messages pushed while a failing write emits the stack go with it.
TEST(Diag, FailureWhileEmittingNeverReachesALaterAnswer)
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
    EXPECT_EQ(d->entries, 0u);

    MemOut next;
    diagstk_add(d.get(), 3, "second");
    qx_output_error_result(d.get(), &next.out);
    const std::string answer = next.text();
    EXPECT_NE(answer.find("<Text>second</Text>"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("io_write"), std::string::npos) << answer;
    EXPECT_EQ(d->entries, 0u);
}
