// Tests of INQUIRY, READ CAPACITY, mode pages, the NAS label, VPD pages and the device identifiers against a scripted device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <string>
#include <vector>

#include "fake_scsi_platform.h"
#include "inquiry_image.h"
#include "silbscsi.h"
#include "sildebug.h"
#include "sildevice.h"
#include "silinqut.h"
#include "silkorinq.h"
#include "silvendor.h"

using testsupport::ByteImage;
using testsupport::FakeScsiPlatform;
using testsupport::inquiry_image;
using testsupport::ScsiAnswer;
using Bytes = std::vector<std::uint8_t>;

namespace {

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &testsupport::fake_scsi_platform();
        dev->isOpen = 1;
        dev->fid = FakeScsiPlatform::kHandle;
    }
    // The mode page reads switch the data dump on for the process: off again for the next test.
    void TearDown() override {
        free_device(dev);
        sil_set_verbosity(0);
    }
    // A new open record, and a device that has seen nothing yet.
    void start_again() {
        TearDown();
        dev = new T_SIL_DEVICE{};
        SetUp();
    }

    // The device answers the standard INQUIRY with `standard` and the other commands through `more`.
    void answer(const ByteImage& standard, FakeScsiPlatform::Responder more = nullptr) {
        const Bytes page(standard.data().begin(), standard.data().begin() + std::min<std::size_t>(254, standard.size()));
        fake->responder = [page, more](const Bytes& cdb) {
            if (cdb[0] == 0x12 && cdb[1] == 0x00) return ScsiAnswer{true, page};
            return more ? more(cdb) : ScsiAnswer{false, {}};
        };
    }

    std::string kept(std::size_t offset, std::size_t length) const {
        return std::string(reinterpret_cast<const char*>(dev->inquiry_data) + offset, length);
    }

    FakeScsiPlatform* fake = nullptr;
    T_SIL_DEVICE* dev = new T_SIL_DEVICE{};
    T_SIL_OPEN_OPEN_OPTIONS options{};
};

ByteImage plain_disk() {
    ByteImage image = inquiry_image("ATA", "ST3500");
    image.byte(4, 0x5B).text(32, "0001").text(36, "SN123456");
    return image;
}

// ---- SIL_Inquiry ---------------------------------------------------------------------------------

TEST_F(DeviceTest, FailedInquiryLeavesNoData) {
    struct Case { const char* what; int byte0; bool open; std::int32_t rc; std::size_t sent; };
    const Case cases[] = {
        {"no answer: asked twice", -1, true, -5, 2},
        {"LUN not supported: qualifier 1, no device type", 0x3F, true, -7, 1},
        {"not open", 0x00, false, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start_again();
        dev->isOpen = c.open ? 1 : 0;
        if (c.byte0 >= 0) answer(plain_disk().byte(0, static_cast<std::uint8_t>(c.byte0)));
        EXPECT_EQ(SIL_Inquiry(dev, nullptr), c.rc);
        EXPECT_EQ(fake->sent(0x12).size(), c.sent);
        EXPECT_EQ(dev->inquiry, 2u);
        EXPECT_EQ(dev->inquiry_data, nullptr);
    }
    EXPECT_EQ(SIL_Inquiry(nullptr, nullptr), -105);
    start_again();
    answer(plain_disk().byte(0, 0x1F));  // qualifier 0: the LUN is there
    EXPECT_EQ(SIL_Inquiry(dev, nullptr), 0);
}

TEST_F(DeviceTest, ValidDataIsReadAgainOnlyOnRequest) {
    answer(plain_disk());
    ASSERT_EQ(SIL_Inquiry(dev, nullptr), 0);
    ASSERT_EQ(SIL_Inquiry(dev, &options), 0);
    EXPECT_EQ(fake->sent(0x12).size(), 1u);

    ByteImage other = plain_disk();
    other.text(36, "NEWSERIA");
    answer(other);
    options.skip_inquiry = 1;  // byte 4: read again
    ASSERT_EQ(SIL_Inquiry(dev, &options), 0);
    EXPECT_EQ(fake->sent(0x12).size(), 2u);
    EXPECT_EQ(kept(36, 8), "NEWSERIA");
}

TEST_F(DeviceTest, TimeoutFromTheEnvironment) {
    answer(plain_disk());
    ASSERT_EQ(SIL_Inquiry(dev, nullptr), 0);
    EXPECT_EQ(fake->commands.back().timeout, 30u);  // INQUIRY's own default

    options.skip_inquiry = 1;  // read again
    fake->environment["IOCTL_TIMEOUT_OVERRIDE"] = "45";
    ASSERT_EQ(SIL_Inquiry(dev, &options), 0);
    EXPECT_EQ(fake->commands.back().timeout, 45u);

    // 0 is refused by the transport, which keeps its own default
    fake->environment["IOCTL_TIMEOUT_OVERRIDE"] = "0";
    ASSERT_EQ(SIL_Inquiry(dev, &options), 0);
    EXPECT_EQ(fake->commands.back().timeout, 120u);
}

// ---- identifiers -------------------------------------------------------------------------------------

ByteImage korvalith_at(const char* revision) {
    ByteImage image = inquiry_image("XMV", "KORVALITH");
    image.text(32, revision).text(41, "011");
    return image;
}

// A vendor name page (E0/E1): "XMV" at 20-22, the length at 23, the text from 24; `received` bytes of it.
Bytes vendor_name_page(std::string_view name, std::size_t length_byte, std::size_t received = 144) {
    Bytes page(144, 0);
    std::memcpy(page.data() + 20, "XMV", 3);
    page[23] = static_cast<std::uint8_t>(length_byte);
    std::memcpy(page.data() + 24, name.data(), name.size());
    page.resize(received);
    return page;
}

TEST_F(DeviceTest, IdentifierBuilders) {
    Bytes hp(132, 0);
    hp[3] = 6;
    std::memcpy(hp.data() + 4, "HP-ID7", 6);
    struct Case { std::uint16_t kind; const char* level; Bytes cdb, reply; const char* expected; };
    const Case cases[] = {
        {1, "5773", {0x12, 0x01, 0xE1, 0x00, 0x90, 0x00}, vendor_name_page("lun-name-01", 11), "lun-name-01"},
        {1, "5773", {0x12, 0x01, 0xE1, 0x00, 0x90, 0x00}, vendor_name_page("lun-name-01", 11, 30), nullptr},  // short
        {2, "5773", {0x12, 0x01, 0xE0, 0x00, 0x90, 0x00}, vendor_name_page("ABCDEFGHIJKLMNOP", 16), "ABCDEFGHIJKLMNOP"},
        {2, "5773", {0x12, 0x01, 0xE0, 0x00, 0x90, 0x00}, vendor_name_page("ABCDEFGHIJKLMNOPQ", 17), nullptr},
        {3, "5773", {0xA3, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x84, 0, 0}, hp, "HP-ID7"},
        {4, "5773", {0xEC, 0, 0, 0, 0, 0, 0, 0x08, 0, 0}, {0, 0, 1, 4, 0x00, 0x00, 0x04, 0xD2}, "1234"},
        {4, "5773", {0xEC, 0, 0, 0, 0, 0, 0, 0x08, 0, 0}, {0, 0, 1, 4, 0x80, 0x00, 0x00, 0x00}, "-214748364"},
        {4, "5773", {0xEC, 0, 0, 0, 0, 0, 0, 0x08, 0, 0}, {0, 0, 1, 5, 0x00, 0x00, 0x04, 0xD2}, nullptr},
        {4, "5773", {0xEC, 0, 0, 0, 0, 0, 0, 0x08, 0, 0}, {0, 0, 1, 4, 0x00, 0x00, 0x04}, nullptr},  // 7 bytes
        {3, "5772", {}, {}, nullptr},  // older microcode is not asked
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.kind << " " << c.reply.size());
        start_again();
        answer(korvalith_at(c.level), [&c](const Bytes& cdb) { return ScsiAnswer{cdb == c.cdb, c.reply}; });
        options.get_dev_ident = c.kind;
        ASSERT_EQ(SIL_Inquiry(dev, &options), 0);
        EXPECT_EQ(fake->commands.size(), c.cdb.empty() ? 2u : 3u);  // INQUIRY, the WWN page, the builder's
        EXPECT_EQ(dev->device_identifier == nullptr ? std::string("none") : std::string(dev->device_identifier),
                  c.expected == nullptr ? "none" : c.expected);
    }
    // a second builder does not replace an identifier
    EXPECT_EQ(get_korv_nice_name(dev, 0), -1);
}

// ---- the midrange array's name reply ------------------------------------------------------------

const Bytes kLunWwn = {0x65, 0x34, 0x94, 0xD0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};

// A reply with one entry: header item (tag 36), list item (tag 47, constructed) holding an item
// carrying the WWN and the name item (tag 68).
Bytes drav_reply(std::string_view name, bool more = false, std::uint32_t declared_total = 0) {
    Bytes entries = {0x00, 0x0A, 16};
    entries.insert(entries.end(), kLunWwn.begin(), kLunWwn.end());
    entries.insert(entries.end(), {0x00, 68, static_cast<std::uint8_t>(name.size())});
    entries.insert(entries.end(), name.begin(), name.end());
    const std::uint32_t total = 9 + 3 + static_cast<std::uint32_t>(entries.size());
    const std::uint32_t size = declared_total != 0 ? declared_total : total;
    Bytes reply = {0x00, 36, 6, 0x02, 0x01, static_cast<std::uint8_t>(more ? 1 : 0),
                   static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 8),
                   static_cast<std::uint8_t>(size), 0x20, 47, static_cast<std::uint8_t>(entries.size())};
    reply.insert(reply.end(), entries.begin(), entries.end());
    return reply;
}

TEST(DravNameWalk, GoodRepliesAndMalformedOnes) {
    const auto walk = [](Bytes reply) {
        std::string name;
        const std::int32_t rc = drav_nice_name_walk(reply, kLunWwn, name);
        return rc == 0 ? name : "rc " + std::to_string(rc);
    };
    Bytes r = drav_reply("LUN_A");
    r.resize(8192, 0);  // the buffer past the reply is not data
    EXPECT_EQ(walk(r), "LUN_A");
    EXPECT_EQ(walk(drav_reply(std::string(64, 'n'))), std::string(64, 'n')) << "64 characters is the longest name";
    r = drav_reply("LUN_A"); r[1] = 37;                 EXPECT_EQ(walk(r), "rc -1") << "header tag";
    r = drav_reply("LUN_A"); r[2] = 7;                  EXPECT_EQ(walk(r), "rc -1") << "header length";
    r = drav_reply("LUN_A"); r[4] = 0x02;               EXPECT_EQ(walk(r), "rc -1") << "not our request echoed";
    r = drav_reply("LUN_A"); r[10] = 48;                EXPECT_EQ(walk(r), "rc -1") << "list tag";
    r = drav_reply("LUN_A"); r[9] = 0x00;               EXPECT_EQ(walk(r), "rc -1") << "constructed bit missing";
    r = drav_reply("LUN_A"); r[11] += 1;                EXPECT_EQ(walk(r), "rc -1") << "list past the end";
    r = drav_reply("LUN_A"); r[11] -= 1;                EXPECT_EQ(walk(r), "rc -1") << "list short of the end";
    r = drav_reply("LUN_A"); r[12 + 19 + 1] = 69;       EXPECT_EQ(walk(r), "rc -1") << "name tag";
    r = drav_reply("LUN_A"); r[12 + 19 + 2] = 6;        EXPECT_EQ(walk(r), "rc -1") << "name past the end";
    r = drav_reply("LUN_A", true);                      EXPECT_EQ(walk(r), "rc -1") << "more to come";
    r = drav_reply("LUN_A", false, 200);                EXPECT_EQ(walk(r), "rc -1") << "declared size past the buffer";
    r = drav_reply("LUN_A"); r[12 + 3] ^= 0xFF;         EXPECT_EQ(walk(r), "rc -1") << "WWN not found";
    EXPECT_EQ(walk(drav_reply(std::string(65, 'n'))), "rc -1") << "name of 65";
    EXPECT_EQ(walk(Bytes{}), "rc -1");
    EXPECT_EQ(walk(Bytes{0x00}), "rc -1");
}

TEST_F(DeviceTest, DravNiceNameAsksAgainWhenTheReplyDidNotFit) {
    dev->is_drav = 1;
    dev->drav_device = new T_DRAVONIS_DEVICE{};
    std::memcpy(dev->drav_device->lun_wwn, kLunWwn.data(), 16);
    // 9000 bytes in all: the header item, a list item with a two-byte length, the entry, padding
    Bytes reply = {0x00, 36, 6, 0x02, 0x01, 0x00, 0x00, 0x23, 0x28};
    const std::size_t list_length = 9000 - 9 - 4;
    reply.insert(reply.end(), {0x24, 47, static_cast<std::uint8_t>(list_length >> 8), static_cast<std::uint8_t>(list_length)});
    Bytes entries = drav_reply("big-lun");
    reply.insert(reply.end(), entries.begin() + 12, entries.end());
    reply.resize(9000, 0);

    fake->responder = [reply](const Bytes& cdb) {
        if (cdb[0] != 0xEF) return ScsiAnswer{false, {}};
        const std::uint32_t asked = (cdb[6] << 16) | (cdb[7] << 8) | cdb[8];
        if (asked < 9000) {
            Bytes head(reply.begin(), reply.begin() + 9);
            head[5] = 0x01;  // more than fits
            return ScsiAnswer{true, head};
        }
        return ScsiAnswer{true, reply};
    };
    ASSERT_EQ(get_drav_nice_name(dev, 0), 0);
    const auto sent = fake->sent(0xEF);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].cdb, (Bytes{0xEF, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00}));
    EXPECT_EQ(sent[0].transfer_length, 8192u);
    EXPECT_EQ(sent[1].cdb, (Bytes{0xEF, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x23, 0x28, 0x00}));
    EXPECT_EQ(sent[1].transfer_length, 9000u);
    ASSERT_NE(dev->device_identifier, nullptr);
    EXPECT_STREQ(dev->device_identifier, "big-lun");
}

TEST_F(DeviceTest, DravNiceNameRefusesASecondOversizedReply) {
    dev->drav_device = new T_DRAVONIS_DEVICE{};
    fake->responder = [](const Bytes&) { return ScsiAnswer{true, drav_reply("x", true, 9000)}; };
    EXPECT_EQ(get_drav_nice_name(dev, 0), -1);
    EXPECT_EQ(fake->sent(0xEF).size(), 2u);
    EXPECT_EQ(dev->device_identifier, nullptr);
}

// ---- capacity ------------------------------------------------------------------------------------

FakeScsiPlatform::Responder capacity(Bytes rc10, Bytes rc16 = {}) {
    return [rc10, rc16](const Bytes& cdb) {
        if (cdb[0] == 0x25) return ScsiAnswer{true, rc10};
        if (cdb[0] == 0x9E && !rc16.empty()) return ScsiAnswer{true, rc16};
        return ScsiAnswer{false, {}};
    };
}

TEST_F(DeviceTest, CapacityFromWholeRepliesOnly) {
    // A reply with GOOD status that stops before its last field is a failed read (-8), not capacity 0.
    struct Case { const char* what; Bytes rc10, rc16; std::int32_t rc; std::uint64_t blocks; std::uint32_t cap; Bytes kept; };
    const Bytes big = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
    const Case cases[] = {
        {"READ CAPACITY(16), bytes 2-11 kept", big, {0, 0, 0, 1, 0x3F, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0}, 0, 0x140000000,
         0xA0000000, {0, 1, 0x3F, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0}},
        {"an empty LUN has no blocks; bytes 8-9 were not received", {0, 0, 0, 0, 0, 0, 2, 0}, {}, 0, 0, 0,
         {0, 0, 0, 0, 0, 0, 2, 0, 0, 0}},
        {"READ CAPACITY(10) of 7 bytes", {0, 0, 0x7F, 0xFF, 0, 0, 2}, {}, -8, 77, 5, {}},
        {"READ CAPACITY(16) of 11 bytes", big, {0, 0, 0, 1, 0x3F, 0xFF, 0xFF, 0xFF, 0, 0, 2}, -8, 77, 5, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start_again();
        dev->num_blocks = 77;
        dev->cap = 5;
        fake->responder = capacity(c.rc10, c.rc16);
        ASSERT_EQ(SIL_ReadCapacity(dev), c.rc);
        EXPECT_EQ(dev->cap_state, c.rc == 0 ? 1u : 2u);
        EXPECT_EQ(std::make_tuple(dev->num_blocks, dev->cap), std::make_tuple(c.blocks, c.cap));
        if (c.rc == 0) {
            EXPECT_EQ(Bytes(dev->read_capacity_data, dev->read_capacity_data + 10), c.kept);
        }
    }
}

// ---- mode pages and geometry -------------------------------------------------------------------------

Bytes mode_reply(std::uint8_t page_code, std::initializer_list<std::pair<std::size_t, std::uint8_t>> page_bytes) {
    Bytes reply(255, 0);
    reply[0] = 0x2F;
    reply[3] = 8;  // block descriptor length
    reply[12] = page_code;
    for (auto [offset, value] : page_bytes) reply[12 + offset] = value;
    return reply;
}

TEST_F(DeviceTest, GeometryFromPagesFourAndThree) {
    fake->responder = [](const Bytes& cdb) {
        if (cdb[0] != 0x1A) return ScsiAnswer{false, {}};
        if ((cdb[2] & 0x3F) == 4) return ScsiAnswer{true, mode_reply(0x04, {{2, 0x01}, {3, 0x23}, {4, 0x45}, {5, 0xF0}})};
        return ScsiAnswer{true, mode_reply(0x83, {{10, 0x01}, {11, 0x3F}})};
    };
    ASSERT_EQ(SIL_GetDevGeometry(dev), 0);
    EXPECT_EQ(dev->cylinders, 0x012345u);
    EXPECT_EQ(dev->heads, 0xF0u);
    EXPECT_EQ(dev->sectors_per_track, 0x013Fu);
    const auto sent = fake->sent(0x1A);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].cdb, (Bytes{0x1A, 0x00, 0xC4, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(sent[1].cdb, (Bytes{0x1A, 0x00, 0xC3, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(sent[0].timeout, 30u);
}

TEST_F(DeviceTest, ModePageCopiesThePageEvenOnMismatch) {
    fake->responder = [](const Bytes&) { return ScsiAnswer{true, mode_reply(0x08, {{1, 0x12}, {2, 0xAB}})}; };
    std::uint8_t buffer[20];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(get_mode_page(dev, 4, buffer, 16), -1);
    EXPECT_EQ(fake->commands[0].cdb[4], 16);
    EXPECT_EQ(buffer[0], 0x08);
    EXPECT_EQ(buffer[1], 0x12);
    EXPECT_EQ(buffer[2], 0xAB);
    EXPECT_EQ(buffer[3], 0x00);
    EXPECT_EQ(buffer[4], 0xEE);  // 16 - 12 bytes, no more
    EXPECT_EQ(get_mode_page(dev, 4, nullptr, 16), -105);
}


// ---- VPD pages -------------------------------------------------------------------------------------------

TEST_F(DeviceTest, EvpdPageIsClearedAndAskedForAtMost255Bytes) {
    Bytes page = {0x00, 0x80, 0x00, 0x04, 'S', 'N', '0', '1'};
    fake->responder = [&page](const Bytes&) { return ScsiAnswer{true, page}; };
    Bytes buffer(300, 0xEE);
    ASSERT_EQ(get_evpd_page(dev, 0x80, buffer.data(), 300), 0);
    EXPECT_EQ(fake->commands[0].cdb, (Bytes{0x12, 0x01, 0x80, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(buffer[7], '1');
    EXPECT_EQ(buffer[8], 0x00);
    EXPECT_EQ(buffer[299], 0x00);
    // A reply shorter than the page header is a failed page read.
    page.resize(3);
    EXPECT_EQ(get_evpd_page(dev, 0x80, buffer.data(), 300), -1);
}

TEST_F(DeviceTest, KorvalithVendorPageSkipsCkdDevices) {
    ByteImage ckd = korvalith_at("5773");
    ckd.byte(108, 0x02);
    answer(ckd, [](const Bytes&) { return ScsiAnswer{true, Bytes(144, 0x11)}; });
    ASSERT_EQ(SIL_Inquiry(dev, nullptr), 0);
    Bytes buffer(144, 0);
    buffer[1] = 0xC1;
    EXPECT_EQ(GetKorvalithEVPDPage(dev, nullptr, buffer.data(), nullptr, 1, 0), 0);
    EXPECT_TRUE(fake->sent(0x12, 0x01).empty());
    EXPECT_EQ(buffer[2], 0);
}

}  // namespace
