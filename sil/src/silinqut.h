// Array identification: make classification, the high-end array's vendor bytes, the 216-byte cut and the device WWN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <span>

#include "sildevice.h"

// The inquiry data block as first read: the device's reply (at most 254 bytes) in a zero-filled
// block of this size. After identification only the first KOR_INQ_PAGE0_SIZE bytes are kept.
inline constexpr std::size_t SIL_INQUIRY_BLOCK_SIZE = 2264;

// korv_model codes.
inline constexpr std::uint16_t KORV_MODEL_3 = 0x0300;
inline constexpr std::uint16_t KORV_MODEL_4 = 0x0400;
inline constexpr std::uint16_t KORV_MODEL_5 = 0x0500;
inline constexpr std::uint16_t KORV_MODEL_6 = 0x0600;
inline constexpr std::uint16_t KORV_MODEL_7 = 0x0700;
inline constexpr std::uint16_t KORV_MODEL_8 = 0x0800;

// Classifies the device from its inquiry data, runs its make's decoder, decodes the high-end
// array's vendor bytes and leaves `inquiry_data` as the 216-byte record. Needs `inquiry` == 1
// (else -1); no device: -105. Returns the decoder's status, or 0.
std::int32_t identify_array(T_SIL_DEVICE* device);

// The same on the raw inquiry block `raw` (normally SIL_INQUIRY_BLOCK_SIZE bytes, at least
// KOR_INQ_PAGE0_SIZE). The record must already hold `inquiry` == 1 and a KOR_INQ_PAGE0 copy of
// the block's start in `inquiry_data`: decoders that run during identification read the record,
// and the copy is kept in step with the bytes identification changes. `raw` is modified the same
// way (serial bytes of virtual disks cleared). SIL_Inquiry calls this with the block it read.
std::int32_t identify_array_block(T_SIL_DEVICE* device, std::span<std::uint8_t> raw);

// Replaces `inquiry_data` by a fresh 216-byte KOR_INQ_PAGE0 holding the first 216 bytes of `raw`.
// When the copy cannot be allocated the record is left without inquiry data (`inquiry` = 2).
void shrink_inquiry_data(T_SIL_DEVICE* device, std::span<const std::uint8_t> raw);

// The inquiry bytes a decoder may read for `device`: while identification of that device runs on
// this thread, the whole raw block (some makes keep data past byte 215); otherwise the 216 bytes
// of `inquiry_data`. Empty when the record has no inquiry data.
std::span<const std::uint8_t> sil_inquiry_bytes(const T_SIL_DEVICE* device);

// The 216 bytes of a KOR_INQ_PAGE0 seen as bytes (the record is all byte arrays, so this is its
// wire image).
std::span<std::uint8_t> kor_inq_bytes(KOR_INQ_PAGE0* page);
std::span<const std::uint8_t> kor_inq_bytes(const KOR_INQ_PAGE0* page);

// The date of a microcode level the array left undated, or 0 for a level not in the table.
std::uint32_t ucode_date_from_level(std::uint32_t ucode_level);
// The microcode date of the four date bytes (month, day, year in bytes 1-3, BCD), or 0 when they
// do not form a valid date.
std::uint32_t ucode_date_from_bytes(std::span<const std::uint8_t> date4);

// Reads the device's WWN from the high-end array's page 0x83 into `wwn`.
std::int32_t SIL_Get_Korv_Dev_Wwn(T_SIL_DEVICE* device, int force_dump);

// Per-make decoders, dispatched by identify_array.
std::int32_t SIL_Get_Dravonis_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_Meshvar_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_StorWrks_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_Hds_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_S80_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_IBM_Shark_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_iVantrel_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_Compaq_HSV_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_Netapp_Info(T_SIL_DEVICE* device);
std::int32_t SIL_Get_TPStorage_Info(T_SIL_DEVICE* device);
// A short character field read as a number the way arrays write it: leading blanks skipped, then
// digits of `base` up to the first character that is not one (none gives 0).
std::uint32_t parse_number_text(std::span<const std::uint8_t> chars, std::uint32_t base);

// The array model an HDS/HP model-number text names (read as decimal after one leading non-digit):
// the HP names when `hp`, the HDS names otherwise, "Unknown" for any other number.
const char* hds_model_name(std::string_view model_number, bool hp);
