// Unit tests of the display filter: each rule on hand-built device records.
#include <gtest/gtest.h>

#include <cstring>

#include "inquiry.h"
#include "sil/silkorinq.h"

namespace {

class FilterDevice : public testing::Test {
protected:
    // A device with valid inquiry and capacity data that no rule hides by itself.
    FilterDevice() {
        dev.inquiry = 1;
        dev.cap_state = 1;
        dev.cap = 1024;
        dev.inquiry_data = &page;
        std::strcpy(dev.name, "\\\\.\\PHYSICALDRIVE3");
        opts.require_data = 1;
    }
    bool shown() const { return filter_device(&dev, &cdl, &opts) == 0; }

    KOR_INQ_PAGE0 page{};
    T_SIL_DEVICE dev{};
    T_DISPLAY_OPTIONS opts{};
    create_dev_list cdl{};
};

TEST_F(FilterDevice, NoFiltersShowsEvenADeviceWithoutData) {
    dev.inquiry = 2;
    dev.cap_state = 2;
    opts.f_xmv = 1;
    EXPECT_FALSE(shown());
    opts.no_filters = 1;
    EXPECT_TRUE(shown());
}

TEST_F(FilterDevice, Rule1RequireDataNeedsInquiryOrCapacity) {
    EXPECT_TRUE(shown());
    dev.inquiry = 2;
    EXPECT_TRUE(shown());  // capacity alone is enough
    dev.inquiry = 1;
    dev.cap_state = 2;
    EXPECT_TRUE(shown());  // inquiry alone is enough
    dev.inquiry = 0;
    EXPECT_FALSE(shown());
    opts.require_data = 0;
    EXPECT_TRUE(shown());
}

TEST_F(FilterDevice, Rule2KorvvolNeedsTheHighEndArrayVolume) {
    opts.korvvol_given = 1;
    opts.korvvol = 0x1A;
    dev.korv_dev_num = 0x1A;
    EXPECT_FALSE(shown());  // not an array device
    dev.is_XMV_device = 1;
    EXPECT_TRUE(shown());
    dev.korv_dev_num = 0x1B;
    EXPECT_FALSE(shown());
    dev.korv_dev_num = 0x1A;
    dev.inquiry = 2;
    EXPECT_FALSE(shown());
}

TEST_F(FilterDevice, Rule3And4XmvAndVantrel) {
    opts.f_xmv = 1;
    EXPECT_FALSE(shown());
    dev.is_XMV_device = 1;
    EXPECT_TRUE(shown());

    opts = T_DISPLAY_OPTIONS{};
    opts.f_vantrel = 1;
    EXPECT_FALSE(shown());
    dev.has_vantrel_label = 1;
    EXPECT_TRUE(shown());
    dev.has_vantrel_label = 0;
    dev.is_ivantrel = 1;
    EXPECT_TRUE(shown());
}

TEST_F(FilterDevice, Rules5And6MakeFlags) {
    struct MakeRule {
        std::uint8_t T_DISPLAY_OPTIONS::*filter;
        std::uint8_t T_SIL_DEVICE::*make;
    };
    const MakeRule rules[] = {
        {&T_DISPLAY_OPTIONS::f_dravonis, &T_SIL_DEVICE::is_drav},
        {&T_DISPLAY_OPTIONS::f_storwrks, &T_SIL_DEVICE::is_storwrks},
        {&T_DISPLAY_OPTIONS::f_hds, &T_SIL_DEVICE::is_hds},
        {&T_DISPLAY_OPTIONS::f_shark, &T_SIL_DEVICE::is_shark},
        {&T_DISPLAY_OPTIONS::f_compaq, &T_SIL_DEVICE::is_hsv},
        {&T_DISPLAY_OPTIONS::f_netapp, &T_SIL_DEVICE::is_netapp},
        {&T_DISPLAY_OPTIONS::f_s80, &T_SIL_DEVICE::is_s80},
        {&T_DISPLAY_OPTIONS::f_olvessa, &T_SIL_DEVICE::is_olvessa},
    };
    for (const MakeRule& rule : rules) {
        opts = T_DISPLAY_OPTIONS{};
        T_SIL_DEVICE other = dev;
        opts.*rule.filter = 1;
        EXPECT_FALSE(filter_device(&other, &cdl, &opts) == 0);
        other.*rule.make = 1;
        EXPECT_TRUE(filter_device(&other, &cdl, &opts) == 0);
    }
    // Two make filters together show only devices flagged as both.
    opts = T_DISPLAY_OPTIONS{};
    opts.f_xmv = 1;
    opts.f_dravonis = 1;
    dev.is_drav = 1;
    EXPECT_FALSE(shown());
    dev.is_XMV_device = 1;
    EXPECT_TRUE(shown());
}

TEST_F(FilterDevice, Rule7CkdNeedsTheCkdBitOfAnArrayDevice) {
    opts.f_ckd = 1;
    dev.is_XMV_device = 1;
    EXPECT_FALSE(shown());
    page.device_flags = KOR_FLAG_CKD;
    EXPECT_TRUE(shown());
    page.device_flags = static_cast<std::uint8_t>(~KOR_FLAG_CKD);
    EXPECT_FALSE(shown());
    page.device_flags = KOR_FLAG_CKD;
    dev.is_XMV_device = 0;
    EXPECT_FALSE(shown());
    dev.is_XMV_device = 1;
    dev.inquiry = 2;
    EXPECT_FALSE(shown());
    dev.inquiry = 1;
    dev.inquiry_data = nullptr;  // a record that lost its data is no CKD device
    EXPECT_FALSE(shown());
}

TEST_F(FilterDevice, Rule8Relations) {
    opts.f_strandway = 1;
    EXPECT_FALSE(shown());
    dev.mp_state = SIL_DEV_CHILD;
    EXPECT_FALSE(shown());
    dev.mp_state = SIL_DEV_PARENT;
    EXPECT_TRUE(shown());

    opts = T_DISPLAY_OPTIONS{};
    dev = T_SIL_DEVICE{};
    opts.f_pseudo = 1;
    EXPECT_FALSE(shown());
    dev.native_state = SIL_DEV_PARENT;
    EXPECT_TRUE(shown());

    opts = T_DISPLAY_OPTIONS{};
    opts.f_real = 1;
    EXPECT_FALSE(shown());  // native parent
    dev.native_state = SIL_DEV_CHILD;
    EXPECT_TRUE(shown());
    dev.mp_state = SIL_DEV_PARENT;
    EXPECT_FALSE(shown());
}

TEST_F(FilterDevice, Rule9VolumesBelow4096) {
    opts.f_4k = 1;
    dev.korv_dev_num = 4095;
    EXPECT_TRUE(shown());
    dev.korv_dev_num = 4096;
    EXPECT_FALSE(shown());
}

TEST_F(FilterDevice, Rule10SizeLimitInKb) {
    opts.f_size = 1;
    opts.size_limit_kb = 1024;
    EXPECT_TRUE(shown());  // equal to the limit
    dev.cap = 1025;
    EXPECT_FALSE(shown());
    dev.cap = 0;
    EXPECT_FALSE(shown());
    dev.cap = 10;
    dev.cap_state = 2;
    EXPECT_FALSE(shown());
}

TEST_F(FilterDevice, Rule11ArraySerial) {
    opts.filter_sid = 1;
    std::strcpy(opts.sid_wwn, "000190101234");
    std::strcpy(dev.korid, "000190101234");
    EXPECT_FALSE(shown());  // not an array device
    dev.is_XMV_device = 1;
    EXPECT_TRUE(shown());
    std::strcpy(dev.korid, "000190101235");
    EXPECT_FALSE(shown());
    std::strcpy(dev.korid, "00019010123");
    EXPECT_FALSE(shown());
    std::memset(dev.korid, 'A', sizeof dev.korid);  // no NUL: read to the field's end only
    EXPECT_FALSE(shown());
}

TEST_F(FilterDevice, Rule12NiceNameNeedsAnArrayOfTheMaker) {
    opts.nice_name = 1;
    EXPECT_FALSE(shown());
    dev.is_drav = 1;
    EXPECT_TRUE(shown());
    dev.is_drav = 0;
    dev.is_XMV_device = 1;
    EXPECT_TRUE(shown());
}

}  // namespace
