// Replaying a device's recorded answers: the pass-through exchanges and the other control codes, in the order they were recorded.
#include "sim_recorded.h"

#include "pds/win_device_layouts.h"

#include <algorithm>
#include <cstring>

namespace pds::sim {

namespace {

// The n-th time a question is asked it gets the n-th recorded answer to it; from then on the last.
// Questions are counted by their first entry's index plus `tally_base`, which keeps the kinds apart.
template <typename Entry, typename Same>
const Entry* nth_match(const std::vector<Entry>& entries, std::map<std::size_t, std::size_t>& asked,
                       std::size_t tally_base, Same same) {
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (same(entries[i])) matches.push_back(i);
    }
    if (matches.empty()) return nullptr;
    std::size_t& count = asked[tally_base + matches.front()];
    const std::size_t at = std::min(count, matches.size() - 1);
    ++count;
    return &entries[matches[at]];
}

}  // namespace

const RecordedExchange* RecordedDevice::next_exchange(bool multipath, const RecordedBytes& cdb) const {
    std::lock_guard lock(mutex_);
    return nth_match(exchanges, asked_, 0, [&](const RecordedExchange& e) { return e.multipath == multipath && e.cdb == cdb; });
}

const RecordedIoctl* RecordedDevice::next_ioctl(std::uint32_t code, const RecordedBytes& in, std::uint32_t out_length) const {
    std::lock_guard lock(mutex_);
    return nth_match(ioctls, asked_, exchanges.size(), [&](const RecordedIoctl& r) {
        return r.code == code && r.in == in && r.out_length == out_length;
    });
}

std::optional<os_error> RecordedDevice::pass_through(bool multipath, const void* in, std::uint32_t in_length, void* out,
                                                     std::uint32_t out_length, std::uint32_t& returned) const {
    constexpr std::uint32_t kBlock = sizeof(win::ScsiPassThroughDirectWithSense);
    if (exchanges.empty() || in == nullptr || out == nullptr || in_length < kBlock || out_length < kBlock) return std::nullopt;
    win::ScsiPassThroughDirect sptd;
    std::memcpy(&sptd, in, sizeof sptd);
    if (sptd.CdbLength == 0 || sptd.CdbLength > sizeof sptd.Cdb) return std::nullopt;
    const RecordedExchange* e = next_exchange(multipath, RecordedBytes(sptd.Cdb, sptd.Cdb + sptd.CdbLength));
    if (e == nullptr) return std::nullopt;
    if (e->error != 0) return e->error;
    const std::uint32_t moved = std::min<std::uint32_t>(
        {e->transferred, sptd.DataTransferLength, static_cast<std::uint32_t>(e->data.size())});
    if (sptd.DataIn == win::SCSI_IOCTL_DATA_IN && moved > 0 && sptd.DataBuffer != nullptr) {
        std::memcpy(sptd.DataBuffer, e->data.data(), moved);
    }
    const bool sense_fits = sptd.SenseInfoOffset >= sizeof sptd && sptd.SenseInfoOffset <= out_length;
    const std::uint32_t room = sense_fits ? std::min<std::uint32_t>(sptd.SenseInfoLength, out_length - sptd.SenseInfoOffset) : 0;
    const auto sense_length = static_cast<std::uint8_t>(std::min<std::size_t>(e->sense.size(), room));
    sptd.ScsiStatus = e->status;
    sptd.DataTransferLength = std::min(e->transferred, sptd.DataTransferLength);
    sptd.SenseInfoLength = sense_length;
    std::memcpy(out, &sptd, sizeof sptd);
    if (sense_length > 0) std::memcpy(static_cast<std::uint8_t*>(out) + sptd.SenseInfoOffset, e->sense.data(), sense_length);
    returned = e->returned ? std::min(*e->returned, out_length)
                           : sense_length > 0 ? sptd.SenseInfoOffset + sense_length : static_cast<std::uint32_t>(sizeof sptd);
    return os_error{0};
}

std::optional<os_error> RecordedDevice::io_control(std::uint32_t code, const void* in, std::uint32_t in_length, void* out,
                                                   std::uint32_t out_length, std::uint32_t& returned) const {
    if (ioctls.empty()) return std::nullopt;
    RecordedBytes input;
    if (in != nullptr && in_length > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(in);
        input.assign(bytes, bytes + in_length);
    }
    const RecordedIoctl* r = next_ioctl(code, input, out_length);
    if (r == nullptr) return std::nullopt;
    const std::size_t copied = out == nullptr ? 0 : std::min<std::size_t>(r->out.size(), out_length);
    if (copied > 0) std::memcpy(out, r->out.data(), copied);
    returned = std::min(r->returned, out_length);
    return r->error;
}

}  // namespace pds::sim
