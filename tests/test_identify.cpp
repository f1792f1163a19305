// Tests of array identification: the make rules, the high-end array's vendor bytes, the date repair and the device WWN.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <string>
#include <vector>

#include "fake_scsi_platform.h"
#include "inquiry_image.h"
#include "silinqut.h"
#include "silkorinq.h"
#include "sildevice.h"

using testsupport::ByteImage;
using testsupport::FakeScsiPlatform;
using testsupport::inquiry_image;
using testsupport::ScsiAnswer;

namespace {

class IdentifyTest : public ::testing::Test {
protected:
    void SetUp() override { fake = &testsupport::fake_scsi_platform(); }
    void TearDown() override { free_device(dev); }
    void fresh_record() {
        free_device(dev);
        dev = new T_SIL_DEVICE{};
    }

    // A record holding `image` as freshly read inquiry data, identified from the whole block.
    std::int32_t identify(ByteImage image) {
        dev->isOpen = 1;
        dev->fid = FakeScsiPlatform::kHandle;
        dev->inquiry = 1;
        dev->inquiry_data = new KOR_INQ_PAGE0{};
        std::memcpy(dev->inquiry_data, image.data().data(), KOR_INQ_PAGE0_SIZE);
        return identify_array_block(dev, image.data());
    }

    static ByteImage fixture(const std::string& name) {
        ByteImage image(SIL_INQUIRY_BLOCK_SIZE);
        image.apply_fixture(testsupport::test_data_path(name));
        return image;
    }

    std::string kept(std::size_t offset, std::size_t length) const {
        return std::string(reinterpret_cast<const char*>(dev->inquiry_data) + offset, length);
    }

    int family_flags() const {
        return dev->is_XMV_device + dev->is_drav + dev->is_olvessa + dev->is_storwrks + dev->is_s80 + dev->is_netapp +
               dev->is_hds + dev->is_shark + dev->is_ivantrel + dev->is_hsv;
    }

    FakeScsiPlatform* fake = nullptr;
    T_SIL_DEVICE* dev = new T_SIL_DEVICE{};
};

// ---- classification ----------------------------------------------------------------------------

// The families with a filter of their own are classified end to end (the makes-* cases); these
// two have none.
TEST_F(IdentifyTest, NetappAndHsvRules) {
    struct Case { const char* vendor; const char* product; std::uint8_t T_SIL_DEVICE::*flag; };
    for (const Case c : {Case{"NETAPP", "LUN", &T_SIL_DEVICE::is_netapp}, Case{"COMPAQ", "HSV110", &T_SIL_DEVICE::is_hsv},
                         Case{"COMPAQ", "MSA1000", nullptr}}) {
        fresh_record();
        // The make's decoder cannot read page 0x83 of a device that is not open; the make stands.
        identify(inquiry_image(c.vendor, c.product));
        EXPECT_EQ(family_flags(), c.flag == nullptr ? 0 : 1) << c.product;
        EXPECT_TRUE(c.flag == nullptr || dev->*c.flag == 1) << c.product;
    }
}

TEST_F(IdentifyTest, XmvOlvessaTakesTheOlvessaDecoderAndSkipsTheHighEndDecode) {
    ByteImage image = fixture("inquiry_korv_5874.hex");
    image.padded(16, "Olvessa", 16);
    // The Olvessa decoder keeps the family only with its page list and serial page answered.
    fake->reset();
    fake->responder = [](const std::vector<std::uint8_t>& cdb) {
        const bool page = cdb[0] == 0x12 && cdb[1] == 0x01 && (cdb[2] == 0x00 || cdb[2] == 0x80);
        return page ? ScsiAnswer{true, {0x00, cdb[2], 0x00, 0x00}} : ScsiAnswer{false, {}};
    };
    ASSERT_EQ(identify(image), 0);
    EXPECT_EQ(dev->is_XMV_device, 1);
    EXPECT_EQ(dev->is_olvessa, 1);
    EXPECT_EQ(dev->ucode_level, 0u);
    EXPECT_EQ(dev->korv_model, 0);
    EXPECT_EQ(kept(32, 4), "5874");
}

// ---- the high-end array's vendor bytes ----------------------------------------------------------

TEST_F(IdentifyTest, TruncatedPageDecodesOnlyWhatItHolds) {
    // The 5874 fixture cut after byte 99: the level word (88-89) and date (92-95) are there; the
    // binary director (122-123), the array serial (124-128) and the device number (132-135) are not.
    const ByteImage whole = fixture("inquiry_korv_5874.hex");
    std::vector<std::uint8_t> cut(whole.data().begin(), whole.data().begin() + 100);
    dev->inquiry = 1;
    dev->inquiry_data = new KOR_INQ_PAGE0{};
    std::memcpy(dev->inquiry_data, cut.data(), cut.size());
    ASSERT_EQ(identify_array_block(dev, cut), 0);
    EXPECT_EQ(std::make_tuple(dev->ucode_level, dev->ucode_date, dev->korv_dev_num), std::make_tuple(0x5977u, 0x20121115u, 0u));
    EXPECT_EQ(std::make_tuple(dev->director, dev->port), std::make_tuple(1, 0));  // absent binary bytes: 0 + 1 and 0
    EXPECT_STREQ(dev->korid, "");  // no serial bytes: none decoded, not "000000000000"
    EXPECT_EQ(kept(100, 116), std::string(116, '\0'));
}

TEST_F(IdentifyTest, ValidDateFromBytes64AndUnknownLevelWithoutDate) {
    ByteImage image = fixture("inquiry_korv_5568.hex");
    image.text(32, "5571").bytes(64, {0x00, 0x06, 0x30, 0x01});
    ASSERT_EQ(identify(image), 0);
    EXPECT_EQ(dev->ucode_date, 0x20010630u);

    fresh_record();
    image.bytes(64, {0x00, 0x06, 0x30, 0x50});
    ASSERT_EQ(identify(image), 0);
    EXPECT_EQ(dev->ucode_date, 0u);  // 0x5571 is not in the table
}

TEST(UcodeDate, BcdTriplesAndTheirLimits) {
    const auto date = [](std::uint8_t m, std::uint8_t d, std::uint8_t y) {
        const std::uint8_t bytes[4] = {0, m, d, y};
        return ucode_date_from_bytes(bytes);
    };
    EXPECT_EQ(date(0x06, 0x30, 0x01), 0x20010630u);
    EXPECT_EQ(date(0x01, 0x01, 0x20), 0x20200101u);
    EXPECT_EQ(date(0x12, 0x31, 0x88), 0x19881231u);
    EXPECT_EQ(date(0x06, 0x30, 0x21), 0u);  // neither century
    EXPECT_EQ(date(0x06, 0x30, 0x87), 0u);
    EXPECT_EQ(date(0x00, 0x30, 0x01), 0u);
    EXPECT_EQ(date(0x13, 0x30, 0x01), 0u);
    EXPECT_EQ(date(0x06, 0x00, 0x01), 0u);
    EXPECT_EQ(date(0x06, 0x32, 0x01), 0u);
    EXPECT_EQ(date(0x06, 0x30, 0x9A), 0u);
}

// ---- the device WWN from page 0x83 ---------------------------------------------------------------

std::vector<std::uint8_t> page83(std::uint8_t page_length, std::size_t received = 144) {
    std::vector<std::uint8_t> page(144, 0);
    page[1] = 0x83;
    page[3] = page_length;
    for (std::size_t i = 4; i < 24; ++i) page[i] = static_cast<std::uint8_t>(0xA0 + i);
    page.resize(received);
    return page;
}

TEST_F(IdentifyTest, WwnFromPage83WithOrWithoutDescriptorHeader) {
    // The WWN stands at byte 8 of a page of 20 or 28 bytes, at byte 4 of a 16-byte page. A reply
    // that stops before the WWN's last byte leaves it absent (zero), however long the page says it is.
    struct Case { std::uint8_t length; std::size_t received, offset; };
    for (const Case c : {Case{20, 144, 8}, Case{28, 144, 8}, Case{16, 144, 4}, Case{20, 23, 0}, Case{16, 3, 0}}) {
        SCOPED_TRACE(c.received);
        fresh_record();
        fake->reset();
        fake->responder = [c](const std::vector<std::uint8_t>& cdb) {
            if (cdb[0] == 0x12 && cdb[1] == 0x01 && cdb[2] == 0x83) return ScsiAnswer{true, page83(c.length, c.received)};
            return ScsiAnswer{false, {}};
        };
        ASSERT_EQ(identify(fixture("inquiry_korv_5874.hex")), 0);
        for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(dev->wwn[i], c.offset ? 0xA0 + c.offset + i : 0) << i;
        const auto asked = fake->sent(0x12, 0x01);
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].cdb, (std::vector<std::uint8_t>{0x12, 0x01, 0x83, 0x00, 144, 0x00}));
    }
}

TEST_F(IdentifyTest, PublicEntryIdentifiesAKeptRecord) {
    // Inquiry data that arrives as a 216-byte record goes through the same rules.
    ByteImage image = fixture("inquiry_korv_5568.hex");
    dev->inquiry = 1;
    dev->inquiry_data = new KOR_INQ_PAGE0{};
    std::memcpy(dev->inquiry_data, image.data().data(), KOR_INQ_PAGE0_SIZE);
    ASSERT_EQ(identify_array(dev), 0);
    EXPECT_EQ(dev->korv_dev_num, 0xC4u);
    EXPECT_STREQ(dev->korid, "987654321098");
}

}  // namespace
