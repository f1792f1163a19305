// INQUIRY, READ CAPACITY, mode pages, VPD pages, the NAS label and the device identifier builders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <pds/platform.h>

#include "sildevice.h"
#include "sildopen.h"
#include "silfmtpg0.h"  // get_evpd_page, GetKorvalithEVPDPage
#include "siltxcdb.h"

// READ CAPACITY refused for a write-protected BCV device on old microcode.
inline constexpr std::int32_t SIL_ERR_WP_BCV = -107;

// Bytes GetKorvalithEVPDPage asks for: its buffer must hold at least this many.
inline constexpr std::size_t SIL_KORV_EVPD_LENGTH = 144;

// Reads the standard INQUIRY data, identifies the array and, on request, builds the device
// identifier. `options` (may be null) is read for: `verbose` (the transport's data dump), byte 4
// (`skip_inquiry` in the open's record; here 1 means read again although valid data is present),
// `get_dev_ident` and `get_spoofed_inquiry_data`.
std::int32_t SIL_Inquiry(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options);

// Capacity and block size (READ CAPACITY(10), and (16) for devices past 2 TiB where the host allows it).
std::int32_t SIL_ReadCapacity(T_SIL_DEVICE* device);

// MODE SENSE(6) of `page` (saved values). `buffer` receives the page itself, without the mode
// parameter header and block descriptor: at most length - 12 bytes. `length` is the allocation
// length, at most 255.
std::int32_t get_mode_page(T_SIL_DEVICE* device, std::uint8_t page, std::uint8_t* buffer, std::uint32_t length);

// Cylinders and heads (page 4) and sectors per track (page 3). The result is that of page 3.
std::int32_t SIL_GetDevGeometry(T_SIL_DEVICE* device);

// Looks for the NAS label near the end of the disk. 0 found, -1 absent or unreadable.
std::int32_t SIL_ReadVantrelSig(T_SIL_DEVICE* device);

// INQUIRY of VPD page `page` into `buffer` (cleared first; at most 255 bytes asked for). A reply
// with GOOD status shorter than the page's 4-byte header is a failed page read (-1).
T_SIL_REPLY read_vpd_page(T_SIL_DEVICE* device, std::uint8_t page, std::span<std::uint8_t> buffer);

// GetKorvalithEVPDPage with the bytes received: `buffer` holds at least SIL_KORV_EVPD_LENGTH
// bytes, the page code in buffer[1]. Without `fetch`, the reply is the caller's buffer as it is.
T_SIL_REPLY korv_evpd_page(T_SIL_DEVICE* device, std::span<std::uint8_t> buffer, int fetch, int force_dump);


// Device identifier builders: each fills `device_identifier` when the device is open, can answer
// and has no identifier yet; otherwise -1 without sending anything.
std::int32_t get_korv_dev_name(T_SIL_DEVICE* device, std::uint64_t trace_ctx);
std::int32_t get_korv_nice_name(T_SIL_DEVICE* device, std::uint64_t trace_ctx);
std::int32_t get_korv_hp_id(T_SIL_DEVICE* device, std::uint64_t trace_ctx);
std::int32_t get_korv_vms_id(T_SIL_DEVICE* device, std::uint64_t trace_ctx);
std::int32_t get_drav_nice_name(T_SIL_DEVICE* device, std::uint64_t trace_ctx);

// Bus, target and LUN as the host knows them: nothing to add on this host (0).
std::int32_t get_bus_tid_lun_from_host(T_SIL_DEVICE* device, std::uint64_t trace_ctx);

// Whether the disk belongs to a failover cluster (1) or not (0). Cluster membership is kept by
// the cluster service, which this build does not talk to: every disk answers 0.
std::uint8_t SIL_IsClusterDisk(std::uint32_t name_size, const char* name, std::uint64_t trace_ctx);

// Whether this host's pass-through carries READ CAPACITY(16): versions after 5.2, or 5.2 with a
// service pack.
bool ext_read_cap_allowed(const pds::HostIdentity& host);

// ---- the midrange array's name reply ------------------------------------------------------------
// The reply is a nest of tag/length/value items. An item header byte gives the number of tag
// bytes (bits 7-6, plus 1), the constructed flag (bit 5) and the number of length bytes (bits 4-2,
// plus 1); the tag and the length (big-endian) follow, then the value.
struct T_TLV_ITEM {
    std::uint32_t tag;
    bool constructed;
    std::uint64_t length;      // value length as the item states it
    std::size_t value_offset;  // where the value starts in the data
};

// Reads the item header at `offset` of `data`. nullopt when the header itself runs past the data
// or the tag or length are wider than their fields. Does not check that the value fits.
std::optional<T_TLV_ITEM> parse_tlv_header(std::span<const std::uint8_t> data, std::size_t offset);

// What the reply's leading item says: the reply is ours (02 01 echoed) and how long it is.
struct T_DRAV_REPLY_HEADER {
    bool more;                 // the reply did not fit the buffer
    std::uint32_t total_size;  // bytes the array has for this reply
};
std::optional<T_DRAV_REPLY_HEADER> drav_reply_header(std::span<const std::uint8_t> reply);

// Walks a whole reply (header item, then the list item reaching exactly to `total_size`) for the
// name that follows `lun_wwn`. 0 and `name` set, or -1 when any item is malformed or missing.
std::int32_t drav_nice_name_walk(std::span<const std::uint8_t> reply, std::span<const std::uint8_t> lun_wwn,
                                 std::string& name);
