// What the device tables share: cell texts decoded from a high-end array's INQUIRY bytes, the
// capacity cell, the device-name column and the walk over the devices the filter shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "inquiry.h"
#include "sil/silkordecode.h"
#include "sil/siltext.h"

// ---- reading a record --------------------------------------------------------------------------

// The device's INQUIRY record when its data is valid (`inquiry` 1 and the record present).
const KOR_INQ_PAGE0* valid_inquiry(const T_SIL_DEVICE& dev);

// A fixed-length INQUIRY or record field as a cell text: exactly the field's bytes, ended at the
// first NUL among them (a device that put a NUL inside its vendor text gets a shorter cell, as a
// printf of the NUL-terminated copy would show it), never reading past the field.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
    return std::string(inq_field_text(field));
}

// The first `count` characters of a cell.
std::string first_chars(std::string text, std::size_t count);

// printf into a string; cells are built with the tables' own formats.
[[gnu::format(printf, 1, 2)]] std::string sil_format(const char* format, ...);

// A run of `count` dashes.
std::string dashes(std::size_t count);

// A virtual disk backed by a Korvalith device: such a disk takes the array's columns.
bool is_korv_backed_virtual(const T_SIL_DEVICE& dev);

// A virtual disk shows its back-end device's 8-character serial in place of its own.
void replace_virtual_serial(const T_SIL_DEVICE& dev, std::string& serial);

// ---- the device-name column ----------------------------------------------------------------------

// W: the longest name of the whole list (skipped devices too), at least 8, plus one.
std::size_t device_name_width(const T_SIL_DEVICE_LIST* list);
// A name (or the "DEVICE" heading) left-justified in W columns.
std::string padded_name(std::string_view name, std::size_t width);

// ---- the walk ------------------------------------------------------------------------------------

// Calls show(device) for every device of the list that filter_device accepts, in list order.
template <class Show>
void for_each_shown_device(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                           const T_DISPLAY_OPTIONS* opts, Show&& show) {
    if (list == nullptr || list->devices == nullptr || opts == nullptr) return;
    static const create_dev_list no_list_options{};
    const create_dev_list* list_options = cdl != nullptr ? cdl : &no_list_options;
    for (std::int32_t i = 0; i < list->count; ++i) {
        const T_SIL_DEVICE* dev = list->devices[i];
        if (dev != nullptr && filter_device(dev, list_options, opts) == 0) show(*dev);
    }
}

// ---- capacity ------------------------------------------------------------------------------------

// (num_blocks x block_size) / 1024, worked out in 64 bits.
std::int64_t capacity_kb(const T_SIL_DEVICE& dev);
// "%8" PRId64 of the capacity when it is valid, " FAILED" when READ CAPACITY failed, else the
// table's placeholder.
std::string capacity_cell(const T_SIL_DEVICE& dev, std::string_view placeholder);

// The capacity and block-size cells of the -all and -sil tables: " ----- " and " --- " without a
// capacity, " FAILED" and four blanks after a failed READ CAPACITY, else the capacity and "%5d" of
// the block size (blank for 512-byte blocks when `blank_512` is set).
struct T_CAPACITY_CELLS {
    std::string capacity;
    std::string block_size;
};
T_CAPACITY_CELLS capacity_and_block_cells(const T_SIL_DEVICE& dev, bool blank_512);

// ---- the high-end array's INQUIRY vocabulary ---------------------------------------------------

// Where an RPX device's "/V-RAID" and "/mirrored" suffixes go: the -et table names V-RAID first,
// the -all table mirroring first.
enum class RpxSuffixOrder { vraid_first, mirrored_first };
std::string korv_protection_name(const KOR_INQ_PAGE0& inq, RpxSuffixOrder order);

// Model names. The -all table was never taught the 0x800 model.
inline constexpr std::uint16_t KORV_MODEL_NEWEST = 0x800;
inline constexpr std::uint16_t KORV_MODEL_NEWEST_IN_ALL = 0x700;
// "KORV3" .. up to the newest model given, "-----" for anything else.
const char* korv_model_name(std::uint16_t korv_model, std::uint16_t newest_known);

// `width` spaces with "S" first when the device is shared and "M" second when it is a meta device.
std::string korv_share_meta(const KOR_INQ_PAGE0& inq, std::size_t width);

// The director-port cell of the -sil and -connections tables ("%2d-%d" on the 0x300 model,
// "%2d%c%d" with the board letter otherwise).
std::string korv_director_cell(const T_SIL_DEVICE& dev);
// The director-port cell of the -et table ("R%02d%c-%d" with extended directors, else "R%02d-%d").
std::string korv_et_director_cell(const KOR_INQ_PAGE0& inq);

// The replication-role cell: r1 and r2 as given, `none` otherwise.
const char* korv_rpx_cell(const KOR_INQ_PAGE0& inq, const char* r1, const char* r2, const char* none);

// ---- INQUIRY byte ranges that span several fields ---------------------------------------------

// Bytes 36-43 (the device serial characters of the standard page) as a cell text, ended at the
// first NUL among them.
std::string inquiry_serial_text(const KOR_INQ_PAGE0& inq);
