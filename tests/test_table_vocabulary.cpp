// Tests of the tables' vocabulary beyond what the case hosts show: protection rule order, model and director limits, 64-bit capacity, EBCDIC.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "inquiry_tables_vocab.h"
#include "pds/util.h"
#include "silkorinq.h"

namespace {

// Worked from the protection rules: the flag byte is 44, else 49, else 120; RAID beats RPX, RPX
// takes its suffixes in the table's order, V-RAID is named before mirroring.
TEST(TableVocabulary, ProtectionNameTakesTheFirstRuleThatApplies) {
    const struct {
        std::uint8_t byte44, byte49, byte120, byte130;
        const char *et, *all;
    } rows[] = {
        {0x11, 0, 0, 0x08, "RAID-5", "RAID-5"},
        {0x00, 0x10, 0, 0x00, "RAID-S", "RAID-S"},
        {0x00, 0x00, 0x34, 0x00, "RAID-S/mirrored", "RAID-S/mirrored"},
        {0x00, 0x00, 0x24, 0, "RPX2/V-RAID/mirrored", "RPX2/mirrored/V-RAID"},
        {0x20, 0, 0, 0, "V-RAID", "V-RAID"},
        {0x00, 0, 0, 0, "V-RAID", "V-RAID"},
        {0x01, 0, 0, 0, "unprotected", "unprotected"},
    };
    for (const auto& row : rows) {
        KOR_INQ_PAGE0 inq{};
        inq.rpx_flags_1 = row.byte44;
        inq.rpx_flags_2 = row.byte49;
        inq.rpx_flags_3 = row.byte120;
        inq.protection = row.byte130;
        EXPECT_EQ(korv_protection_name(inq, RpxSuffixOrder::vraid_first), row.et) << int(row.byte44);
        EXPECT_EQ(korv_protection_name(inq, RpxSuffixOrder::mirrored_first), row.all) << int(row.byte44);
    }
}

TEST(TableVocabulary, ModelNamesBetweenAndPastTheKnownOnes) {
    EXPECT_STREQ(korv_model_name(0x480, KORV_MODEL_NEWEST), "-----");
    EXPECT_STREQ(korv_model_name(0x900, KORV_MODEL_NEWEST), "-----");
}

TEST(TableVocabulary, DirectorLettersEndAtZ) {
    T_SIL_DEVICE dev{};
    dev.korv_model = 0x500;
    dev.director = 0x1A0;  // index 0x19F: letter index 25, 'z'
    dev.port = 1;
    EXPECT_EQ(korv_director_cell(dev), "16z1");
    dev.director = 0x1A1;  // letter index 26: no letter left
    EXPECT_EQ(korv_director_cell(dev), " 1?1");
}

TEST(TableVocabulary, CapacityWorksIn64Bits) {
    T_SIL_DEVICE dev{};
    dev.cap_state = 1;
    dev.num_blocks = 0x200000000ULL;  // 8 Gi blocks of 4 KB: 32 TB, past any 32-bit count
    dev.block_size = 4096;
    EXPECT_EQ(capacity_cell(dev, " ----- "), "34359738368");
}

TEST(EbcdicToAscii, CodePage037) {
    const std::uint8_t text[] = {0xC8, 0x85, 0x93, 0x93, 0x96, 0x6B, 0x40, 0xE6, 0x96, 0x99, 0x93, 0x84, 0x5A,
                                 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x5C, 0x5D, 0x5E, 0x60, 0x61, 0x6C, 0x6E, 0x6F,
                                 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F, 0xA1, 0xB0, 0xBA, 0xBB, 0xC0, 0xD0,
                                 0xE0, 0xF0, 0xF9, 0xA9, 0xE9, 0xD1, 0x05, 0x25, 0x3F, 0x41, 0xFF};
    char ascii[sizeof text + 1]{};
    pds::pdsUtilEbcdicToAscii(text, ascii, sizeof text);
    EXPECT_STREQ(ascii, "Hello, World!<(+|&*);-/%>?`:#@'=\"~^[]{}\\09zZJ.....");
}

}  // namespace
