// SQLiteFileAccess: read as Yes or No, refused otherwise with the document
// left as it was, and written back only when switched off.

#include "config.h"
#include "sqlite_confine.h"
#include "unit_support.h"

TEST(SqliteFileAccess, YesOrNoInAnyCaseAndNothingElse)
{
    const std::string off = "<SQLiteFileAccess>No</SQLiteFileAccess>";
    const struct { std::string value; bool access; } accepted[] = {
        {"YES", true}, {" no ", false}, {"yes", true}, {"No", false},
    };
    for (const auto &c : accepted) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(apply_settings(nullptr, "<SQLiteFileAccess>" + c.value + "</SQLiteFileAccess>"), 0);
        EXPECT_EQ(qx_sqlite_file_access(), c.access);
        EXPECT_EQ(written_config().find(off) != std::string::npos, !c.access);
    }
    // A refused value leaves the setting at No, as the last document had it.
    for (const std::string value : {"", "N", "Nope", "1", "No,Yes"}) {
        SCOPED_TRACE(value);
        diagstk_ptr d(diagstk_new());
        EXPECT_EQ(apply_settings(d.get(), "<SQLiteFileAccess>" + value + "</SQLiteFileAccess>"), -1);
        EXPECT_EQ(messages(d.get()), Msgs{"attr_sqlite_file_access: \"" + value +
                                          "\" is invalid SQLiteFileAccess value"});
        EXPECT_FALSE(qx_sqlite_file_access());
    }
    // Absent, it is back at its default.
    ASSERT_EQ(apply_settings(nullptr, ""), 0);
    EXPECT_TRUE(qx_sqlite_file_access());
    EXPECT_EQ(written_config().find("SQLiteFileAccess"), std::string::npos);
}
