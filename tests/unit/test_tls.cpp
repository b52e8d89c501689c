// Tls: read as On or Off in any case, refused otherwise with the document
// left as it was, and written back only when on.

#include "config.h"
#include "tls.h"
#include "unit_support.h"

namespace {

int apply_settings(diagstk_t *d, const std::string &settings)
{
    return apply_config(d, "<Configuration>" + settings + "</Configuration>");
}

std::string written()
{
    MemOut out;
    EXPECT_EQ(qx_return_config(nullptr, &out.out), 0);
    return out.text();
}

}  // namespace

TEST(TlsSetting, OnOrOffInAnyCaseAndNothingElse)
{
    for (const auto &[value, stored] : {std::pair{"ON", "On"}, {" off ", "Off"}, {"on", "On"}}) {
        SCOPED_TRACE(value);
        ASSERT_EQ(apply_settings(nullptr, std::string("<Tls>") + value + "</Tls>"), 0);
        EXPECT_STREQ(ini_tls, stored);
        EXPECT_EQ(written().find("<Tls>On</Tls>") != std::string::npos, std::string(stored) == "On");
    }
    for (const std::string value : {"", "Yes", "1", "On,Off"}) {
        SCOPED_TRACE(value);
        diagstk_ptr d(diagstk_new());
        EXPECT_EQ(apply_settings(d.get(), "<Port>1234</Port><Tls>" + value + "</Tls>"), -1);
        EXPECT_EQ(messages(d.get()), Msgs{"attr_tls: \"" + value +
                                          "\" is invalid Tls value - On or Off expected"});
        EXPECT_STREQ(ini_tls, "On");  // as the last accepted document had it
        EXPECT_NE(ini_port, 1234u);
    }
    ASSERT_EQ(apply_settings(nullptr, "<TlsKey>/etc/s.key</TlsKey>"), 0);
    EXPECT_STREQ(ini_tls, "Off");
    EXPECT_EQ(written().find("<Tls>"), std::string::npos);
    EXPECT_NE(written().find("    <TlsKey>/etc/s.key</TlsKey>\n"), std::string::npos);
    ASSERT_EQ(apply_settings(nullptr, ""), 0);
}
