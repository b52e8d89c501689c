// Diagnostic stack: capacity, cutting, rolling back, and the places
// diagstk_output sends messages to.

#include "unit_support.h"

namespace {

using namespace unit;

class Diag : public testing::Test {
protected:
    void SetUp() override { quilletlog = 0, reset_events(); }
    std::string output_stderr(unsigned long flags, void *arg = nullptr)
    {
        testing::internal::CaptureStderr();
        EXPECT_EQ(diagstk_output(d.get(), flags, arg), 0);
        EXPECT_EQ(diagstk_context(d.get()), 0);  // emptied, skipped entries too
        return testing::internal::GetCapturedStderr();
    }
    diagstk_ptr d{diagstk_new()};
};

TEST_F(Diag, AddRefusesWhenFullOrWithoutFormatAndCutsLongMessages)
{
    EXPECT_EQ(diagstk_add(nullptr, 3, "x"), -1);  // callers without a stack
    const char *volatile no_format = nullptr;
    EXPECT_EQ(diagstk_add(d.get(), 3, no_format, 0), -4);
    for (std::size_t len : {1022u, 1023u, 1024u, 1500u}) {
        diagstk_add(d.get(), 3, "%s", std::string(len, 'x').c_str());
        EXPECT_EQ(messages(d.get()).back().size(), std::min<std::size_t>(len, 1023)) << len;
    }
    for (int i = 4; i < 20; i++) EXPECT_EQ(diagstk_add(d.get(), 3, "m%d", i), i);
    EXPECT_EQ(diagstk_add(d.get(), 3, "one too many"), -3);
    EXPECT_EQ(diagstk_context(d.get()), 20);
    EXPECT_EQ(messages(d.get()).back(), "m19");
}

TEST_F(Diag, RemoveCutsBackToDepth)
{
    const struct { diagstk_ctx_t context; int rc; unsigned left; } cases[] = {
        {4, -3, 3}, {3, 0, 3}, {1, 0, 1}, {0, 0, 0}};
    for (const auto &c : cases) {
        diagstk_remove(d.get(), 0);
        for (const char *m : {"a", "b", "c"}) diagstk_add(d.get(), 3, "%s", m);
        EXPECT_EQ(diagstk_remove(d.get(), c.context), c.rc) << c.context;
        EXPECT_EQ(diagstk_context(d.get()), static_cast<int>(c.left)) << c.context;
        for (unsigned i = c.left; i < 3; i++) EXPECT_EQ(d->items[i].text, nullptr);
    }
    EXPECT_EQ(diagstk_add(d.get(), 3, "again"), 0);  // reused from the cut
}

TEST_F(Diag, PlainOrEventLogOutputAndRegisteredStream)
{
    MemOut trace;
    diagstk_register_output(d.get(), DIAGSTK_OUTPUT_FILE, trace.fp);
    diagstk_add(d.get(), 3, "first");
    diagstk_add(d.get(), 2, "second");
    EXPECT_EQ(output_stderr(0), "first\nsecond\n");
    EXPECT_EQ(trace.text(), "DIAG: first\nDIAG: second\n");

    int handle = 0;  // a real event log swallows the event
    diagstk_register_output(d.get(), DIAGSTK_OUTPUT_EVENTLOG, &handle);
    diagstk_add(d.get(), 3, "to the event log");
    EXPECT_EQ(output_stderr(DIAGSTK_TO_EVENTLOG), "");
    // Without one the event itself lands on stderr, once and literally.
    diagstk_register_output(d.get(), DIAGSTK_OUTPUT_EVENTLOG, nullptr);
    diagstk_add(d.get(), 3, "%s", "50%s done");
    EXPECT_EQ(output_stderr(DIAGSTK_TO_EVENTLOG), "50%s done\n");
}

TEST_F(Diag, ClientDocumentNumbersByPositionEscapedAndWhole)
{
    MemOut empty, out;
    EXPECT_EQ(output_stderr(DIAGSTK_TO_CLIENT, &empty.out), "");
    EXPECT_EQ(body_of(empty.text()), "<Result State=\"HY000\">\n</Result>\n");
    const std::string long_text(1023, 'L');
    diagstk_add(d.get(), 4, "config broken");  // shares no bit with 0x2
    diagstk_add(d.get(), 2, "a < b & c > d");
    diagstk_add(d.get(), 3, "%s", long_text.c_str());
    EXPECT_EQ(output_stderr(DIAGSTK_TO_CLIENT | 0x2, &out.out), "");
    EXPECT_EQ(body_of(out.text()), "<Result State=\"HY000\">\n"
                                   "    <Diagnostic Number=\"2\">\n"
                                   "        <Text>a &lt; b &amp; c &gt; d</Text>\n"
                                   "    </Diagnostic>\n"
                                   "    <Diagnostic Number=\"3\">\n"
                                   "        <Text>" + long_text + "</Text>\n"
                                   "    </Diagnostic>\n"
                                   "</Result>\n");
}

TEST_F(Diag, ChannelFailureDuringOutputOutlivesTheFlush)
{
    io_out_t full{};
    full.method = XML_OUTPUT_METHOD_FILE;
    full.dst.file.fp = std::fopen("/dev/full", "w");
    ASSERT_NE(full.dst.file.fp, nullptr);
    std::setvbuf(full.dst.file.fp, nullptr, _IONBF, 0);
    diagstk_add(d.get(), 3, "emitted");
    diagstk_output(d.get(), DIAGSTK_TO_CLIENT, &full);
    std::fclose(full.dst.file.fp);
    ASSERT_GT(d->entries, 0u);
    for (const std::string &m : messages(d.get()))
        EXPECT_EQ(m, "io_write: Failed to write to output file - No space left on device");
}

}  // namespace
