// The discovery's device check: SCSI address, the vendor texts, and the decision to leave a device alone.
#include "silfindd_check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include <pds/byteorder.h>
#include <pds/platform.h>
#include <pds/win_device_layouts.h>

#include "sildebug.h"
#include "silinitl.h"
#include "silkorinq.h"

namespace {

namespace win = pds::win;

constexpr std::uint32_t kTraceCheck = 0x1000401;
constexpr std::size_t kImageSize = 100;
constexpr std::size_t kInquiryDataTaken = 90;
constexpr std::size_t kPropertyBufferSize = 2048;
constexpr std::size_t kInquiryDataBufferSize = 4096;

using Image = std::array<std::uint8_t, kImageSize>;

struct Version {
    std::uint32_t major;
    std::uint32_t minor;
};

bool at_least(const pds::HostIdentity& host, Version v) {
    return host.os_major != v.major ? host.os_major > v.major : host.os_minor >= v.minor;
}

bool begins(const Image& image, std::size_t offset, std::string_view text) {
    return std::memcmp(image.data() + offset, text.data(), text.size()) == 0;
}

// A NUL-terminated text at `offset` of the descriptor into the image, at most `width` bytes.
void copy_descriptor_text(std::span<const std::uint8_t> descriptor, std::uint32_t offset, Image& image,
                          std::size_t at, std::size_t width) {
    if (offset == 0 || offset >= descriptor.size()) return;
    const auto text = descriptor.subspan(offset);
    const auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
    const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(end - text.begin()), width);
    std::copy_n(text.begin(), length, image.begin() + static_cast<std::ptrdiff_t>(at));
}

// The standard device descriptor's vendor, product and revision texts.
bool texts_from_storage_property(T_SIL_DEVICE* device, Image& image) {
    win::StoragePropertyQuery query{};
    std::vector<std::uint8_t> out(kPropertyBufferSize, 0);
    std::uint32_t returned = 0;
    if (pds::platform().device_io_control(device->fid, win::IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                          out.data(), static_cast<std::uint32_t>(out.size()), returned) != 0) {
        return false;
    }
    const std::span<const std::uint8_t> descriptor(out.data(), std::min<std::size_t>(returned, out.size()));
    if (descriptor.size() < win::kStorageDeviceDescriptorHeader) return false;
    copy_descriptor_text(descriptor, pds::load_le32(descriptor.subspan(12)), image, 8, 8);
    copy_descriptor_text(descriptor, pds::load_le32(descriptor.subspan(16)), image, 16, 16);
    copy_descriptor_text(descriptor, pds::load_le32(descriptor.subspan(20)), image, 32, 4);
    return true;
}

// The INQUIRY data the port driver keeps for the device's path, target and LUN (an adapter with
// several paths lists the same target and LUN once per path).
bool texts_from_inquiry_data(T_SIL_DEVICE* device, Image& image) {
    std::vector<std::uint8_t> out(kInquiryDataBufferSize, 0);
    std::uint32_t returned = 0;
    if (pds::platform().device_io_control(device->fid, win::IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, out.data(),
                                          static_cast<std::uint32_t>(out.size()), returned) != 0) {
        return false;
    }
    const std::span<const std::uint8_t> info(out.data(), std::min<std::size_t>(returned, out.size()));
    if (info.empty()) return false;
    const std::size_t buses = info[0];
    for (std::size_t bus = 0; bus < buses; ++bus) {
        const std::size_t bus_at = 4 + bus * sizeof(win::ScsiBusData);
        if (bus_at + sizeof(win::ScsiBusData) > info.size()) return false;
        std::size_t entry = pds::load_le32(info.subspan(bus_at + 4));
        // Each entry names the next; a chain longer than the buffer can hold entries is broken.
        for (std::size_t hops = 0; entry != 0 && hops < info.size() / win::kScsiInquiryDataHeader; ++hops) {
            if (entry > info.size() || info.size() - entry < win::kScsiInquiryDataHeader) return false;
            const auto header = info.subspan(entry);
            const std::size_t length = pds::load_le32(header.subspan(4));
            if (header[0] == device->bus && header[1] == device->tid && header[2] == device->lun) {
                const auto data = header.subspan(win::kScsiInquiryDataHeader);
                std::copy_n(data.begin(), std::min({length, kInquiryDataTaken, data.size()}), image.begin());
                return true;
            }
            entry = pds::load_le32(header.subspan(8));
        }
    }
    return false;
}

}  // namespace

std::int32_t check_for_valid_WIN32_device(T_SIL_DEVICE* device, std::uint64_t trace_ctx) {
    SIL_FUNCTION("check_for_valid_WIN32_device");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    device->trace_ctx = trace_ctx;
    pds::Platform& platform = pds::platform();

    win::ScsiAddress address{};
    std::uint32_t returned = 0;
    const pds::os_error address_error =
        platform.device_io_control(device->fid, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, returned);
    if (address_error == 0) {
        device->btl_valid = SIL_BTL_BUS | SIL_BTL_TID | SIL_BTL_LUN;
        device->bus = address.PathId;
        device->tid = address.TargetId;
        device->lun = address.Lun;
    }
    SIL_TRACE(kTraceCheck, "Attempt to get device address: result=%d bus=%d tid=%d lun=%d",
              static_cast<int>(address_error), device->bus, device->tid, device->lun);

    const pds::HostIdentity host = platform.host_identity();
    Image image;
    image.fill(' ');
    if (!(at_least(host, {5, 0}) && texts_from_storage_property(device, image))) {
        image.fill(' ');
        if (!texts_from_inquiry_data(device, image)) {
            SIL_TRACE(kTraceCheck, "Not found a matching device, assuming its ok");
            SIL_RETURN(SIL_OK);
        }
    }

    const bool is_mylex = begins(image, 8, "MYLEX");
    const bool is_xmv = begins(image, 8, "XMV");
    const bool other_known = begins(image, 8, "NDQ") || begins(image, 8, "Olvessa") || begins(image, 8, "SGI") ||
                             begins(image, 8, "FSC FC") || begins(image, 8, "DEC") || begins(image, 8, "HP") ||
                             begins(image, 8, "HITACHI") || begins(image, 8, "EUROLOGC") ||
                             begins(image, 8, "IBM") || begins(image, 8, "VMware") || begins(image, 16, "Virtual HD");
    SIL_TRACE(kTraceCheck, "Found a matching device is_mylex_device=%d is_xmv_device=%d", is_mylex ? 1 : 0,
              is_xmv ? 1 : 0);
    if (is_mylex) {
        SIL_TRACE(SIL_TRACE_ERROR, "!!!! WARNING: MYLEX DRIVE PRESENT !!!!");
        device->skip = 1;
        SIL_RETURN(SIL_ERR_FAILED);
    }
    if (at_least(host, {6, 1}) || is_xmv || other_known) SIL_RETURN(SIL_OK);

    SIL_TRACE(kTraceCheck, " Warning: non-XMV device, to open this device 'set XMV_INQ_ALL_DEVICES=1'");
    if (platform.get_env("XMV_INQ_ALL_DEVICES").has_value()) SIL_RETURN(SIL_OK);
    auto* page = new (std::nothrow) KOR_INQ_PAGE0{};
    if (page == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);
    // Some older controllers put their texts four bytes early, behind a "Compaq" mark.
    const bool compaq = begins(image, 4, "Compaq");
    std::memcpy(page->vendor, image.data() + (compaq ? 4 : 8), sizeof page->vendor);
    std::memcpy(page->product, image.data() + (compaq ? 13 : 16), sizeof page->product);
    std::memcpy(page->revision, image.data() + (compaq ? 30 : 32), sizeof page->revision);
    delete device->inquiry_data;
    device->inquiry_data = page;
    device->inquiry = 1;
    device->skip = 1;
    SIL_RETURN(SIL_ERR_FAILED);
}
