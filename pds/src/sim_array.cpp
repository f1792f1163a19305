// The simulated high-end array's system-call responder: checks each format-6 request and builds the reply a real array gives, pass by pass.
#include "sim_array.h"

#include "pds/byteorder.h"

#include <algorithm>
#include <array>

namespace pds::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kOuterHeader = 8;
constexpr std::size_t kRequestHeader = 104;
constexpr std::size_t kReplyHeader = 24;  // up to the counters
constexpr std::size_t kCounters = 16;
// The host's receive buffer, and so the most one reply may hold whatever the allocation length.
constexpr std::size_t kMostReply = 0xFFF0;

constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr std::uint8_t kAscInvalidFieldInParameters = 0x26;

constexpr std::uint8_t kDataOverrun = 0x84;
// The simulator's answer to a call, subcommand or hop it does not serve; any code the engine does
// not know by name reads as a failed call.
constexpr std::uint8_t kNotServed = 0x81;

constexpr std::uint32_t kFlagCounters = 0x01;
constexpr std::uint32_t kFlagVariable = 0x08;

constexpr std::size_t kRemoteRecord = 32;
constexpr std::size_t kGroupRecord = 8;
constexpr std::size_t kStateRecord = 48;
constexpr std::uint32_t kGroupTable = 256;
constexpr std::size_t kNewSlots = 2;  // slots of a 0x9250 record

std::span<std::uint8_t> at(Bytes& b, std::size_t offset) { return std::span<std::uint8_t>(b).subspan(offset); }

SimArrayReply refused(std::uint8_t asc) { return SimArrayReply{false, asc, {}}; }

// The first eight bytes say the array could not take the request's parameter buffer; a zero reply
// header follows, so that a reader checking lengths first still finds a whole one.
Bytes bad_buffer_reply() {
    Bytes b(kOuterHeader + kReplyHeader, 0);
    b[0] = 0x01;
    return b;
}

const SimArrayDevice* find_device(const SimArray& a, std::uint32_t number) {
    const auto it = std::lower_bound(a.devices.begin(), a.devices.end(), number,
                                     [](const SimArrayDevice& d, std::uint32_t n) { return d.device_number < n; });
    return it != a.devices.end() && it->device_number == number ? &*it : nullptr;
}

// One table the array answers from: how many records it holds and how to build record `i`.
struct Table {
    std::uint32_t records = 0;
    std::size_t record_bytes = 0;
    bool variable = false;
    Bytes (*build)(const SimArray&, std::uint32_t) = nullptr;
};

Bytes remote_record(const SimArray& a, std::uint32_t i) {
    Bytes r(kRemoteRecord, 0);
    for (const SimRemoteArray& remote : a.remote_arrays) {
        if (remote.id != i) continue;
        std::copy_n(remote.serial.begin(), std::min<std::size_t>(remote.serial.size(), 12), r.begin());
        store_be16(at(r, 16), remote.microcode);
        if (remote.valid) r[31] = 'V';
    }
    return r;
}

Bytes group_record(const SimArray& a, std::uint32_t g) {
    Bytes r(kGroupRecord, 0);
    for (const SimRemoteArray& remote : a.remote_arrays) {
        if (std::find(remote.groups.begin(), remote.groups.end(), g) == remote.groups.end()) continue;
        r[0] = remote.id;
        r[7] = 'V';
    }
    return r;
}

// Call 0x0116: 16-bit numbers, four slots, slot k is mirror k + 1.
Bytes old_state_record(const SimArray& a, std::uint32_t number) {
    Bytes r(kStateRecord, 0);
    store_be16(at(r, 0), static_cast<std::uint16_t>(number));
    if (const SimArrayDevice* d = find_device(a, number)) {
        for (const SimMirror& m : d->mirrors) {
            const std::size_t slot = 16 + 8 * std::size_t{m.mirror - 1u};
            r[4 + m.mirror - 1u] = static_cast<std::uint8_t>(m.role);
            store_be16(at(r, slot), static_cast<std::uint16_t>(m.remote_device));
            r[slot + 2] = m.group;
            if (m.valid) r[slot + 7] = 'V';
        }
    }
    return r;
}

// Call 0x9250: 32-bit numbers, two slots naming their mirror. A variable-length record ends after
// its last used slot.
Bytes new_state_record(const SimArray& a, std::uint32_t number, bool cut) {
    Bytes r(kStateRecord, 0);
    store_be32(at(r, 0), number);
    std::size_t used = 0;
    if (const SimArrayDevice* d = find_device(a, number)) {
        for (const SimMirror& m : d->mirrors) {
            if (used == kNewSlots) break;  // the loader lets no device of such an array have more
            const std::size_t slot = 24 + 12 * used++;
            r[13 + m.mirror] = static_cast<std::uint8_t>(m.role);
            store_be32(at(r, slot), m.remote_device);
            r[slot + 8] = m.mirror;
            r[slot + 9] = m.group;
            if (m.valid) r[slot + 11] = 'V';
        }
    }
    if (cut) r.resize(24 + 12 * used);
    return r;
}

Bytes fixed_state_record(const SimArray& a, std::uint32_t i) { return new_state_record(a, i, false); }
Bytes cut_state_record(const SimArray& a, std::uint32_t i) { return new_state_record(a, i, true); }

std::optional<Table> table_for(const SimArray& a, std::uint16_t call, std::uint8_t subcommand) {
    if (call == 0x0181 && subcommand == 1) {
        std::uint32_t records = 0;
        for (const SimRemoteArray& r : a.remote_arrays) records = std::max<std::uint32_t>(records, r.id + 1u);
        return Table{records, kRemoteRecord, false, remote_record};
    }
    if (call == 0x0181 && subcommand == 2) return Table{kGroupTable, kGroupRecord, false, group_record};
    if (call == 0x0116 && subcommand == 1) return Table{a.device_count, kStateRecord, false, old_state_record};
    if (call == 0x9250 && subcommand == 1 && a.microcode >= 0x5874) {
        return Table{a.device_count, kStateRecord, a.variable_records, a.variable_records ? cut_state_record : fixed_state_record};
    }
    return std::nullopt;
}

bool takes(const SimArrayFault& f, std::uint16_t call, std::uint8_t subcommand, std::uint32_t pass) {
    return (!f.call || *f.call == call) && (!f.subcommand || *f.subcommand == subcommand) && pass >= f.pass &&
           (!f.times || pass - f.pass < *f.times);
}

}  // namespace

std::uint32_t syscall_crc(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0;
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
    }
    return crc;
}

SimArrayReply SimArrayResponder::write_buffer(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data) {
    if (cdb.size() < 10 || cdb[1] != 0x01 || cdb[2] != 0x5D || cdb[3] != 0x04) return refused(kAscInvalidFieldInCdb);
    if (load_be24(cdb.subspan(6)) != data.size()) return refused(kAscInvalidFieldInParameters);
    const std::uint16_t chain = load_be16(cdb.subspan(4));
    Request r;
    r.chain = chain;
    const std::size_t n = data.size();
    const bool whole = n >= kOuterHeader + kRequestHeader && data[0] == 'X' && data[1] == 'M' && data[2] == 'V' &&
                       data[3] == 0x04 && load_be16(data.subspan(4)) == chain && load_be16(data.subspan(6)) == n - 8;
    const std::span<const std::uint8_t> h = whole ? data.subspan(kOuterHeader) : data.first(0);
    if (!whole || h[0] != 0x17 || h[1] != 0xCE || h[2] != 0x03 || h[3] != 0x06 || load_be16(h.subspan(6)) != h.size() - 8 ||
        load_be32(h.subspan(8)) != syscall_crc(h.subspan(12))) {
        r.bad_buffer = true;
    } else {
        r.call = load_be16(h.subspan(4));
        r.crc = load_be32(h.subspan(8));
        r.subcommand = h[16];
        r.subformat = h[17];
        r.hops = h[57];
        r.start_entry = load_be32(h.subspan(72));
        r.entry_count = load_be32(h.subspan(76));
        r.pass = ++passes_[std::uint32_t{r.call} << 8 | r.subcommand];
    }
    pending_[chain] = r;
    return {};
}

SimArrayReply SimArrayResponder::read_buffer(std::span<const std::uint8_t> cdb) {
    if (cdb.size() < 10 || cdb[1] != 0x01 || cdb[2] != 0x1C || cdb[3] != 0x04) return refused(kAscInvalidFieldInCdb);
    const auto request = pending_.find(load_be16(cdb.subspan(4)));
    if (request == pending_.end()) return refused(kAscInvalidFieldInCdb);  // no request of this chain code
    return SimArrayReply{true, 0, reply_to(request->second, std::min<std::size_t>(load_be24(cdb.subspan(6)), kMostReply))};
}

Bytes SimArrayResponder::reply_to(const Request& q, std::size_t room) const {
    const SimArrayFault* fault = nullptr;
    for (const SimArrayFault& f : array_.faults) {
        if (!q.bad_buffer && takes(f, q.call, q.subcommand, q.pass)) {
            fault = &f;
            break;
        }
    }
    if (q.bad_buffer || (fault && fault->kind == SimArrayFaultKind::bad_buff)) return bad_buffer_reply();

    std::uint8_t primary = 0;
    std::uint8_t secondary = 0;
    std::uint8_t subformat = q.subformat;
    std::uint32_t flags = 0;
    Bytes counters(kCounters, 0);
    Bytes data;
    const std::optional<Table> table = q.hops == 0 ? table_for(array_, q.call, q.subcommand) : std::nullopt;
    const bool answers = !fault || fault->kind == SimArrayFaultKind::bad_crc ||
                         fault->kind == SimArrayFaultKind::other_format || fault->kind == SimArrayFaultKind::other_subcommand;
    if (answers && table) {
        // The newer state call has one layout for subformats 0 and 1, and says so for any other.
        if (q.call == 0x9250 && subformat > 1) subformat = 1;
        const std::uint32_t first = q.start_entry;
        const std::uint32_t end = first >= table->records ? first
                                  : static_cast<std::uint32_t>(std::min<std::uint64_t>(table->records, std::uint64_t{first} + q.entry_count));
        const std::size_t space = room > kOuterHeader + kReplyHeader + kCounters ? room - kOuterHeader - kReplyHeader - kCounters : 0;
        std::uint32_t i = first;
        for (; i < end; ++i) {
            const Bytes record = table->build(array_, i);
            const std::size_t need = record.size() + (table->variable ? 4 : 0);
            if (data.size() + need > space) break;
            if (table->variable) {
                data.insert(data.end(), {0, 0, 0, 0});
                store_be16(at(data, data.size() - 2), static_cast<std::uint16_t>(record.size()));
            }
            data.insert(data.end(), record.begin(), record.end());
        }
        if (i < end) primary = kDataOverrun;  // the host asks again from the first record it lacks
        if (array_.record_header) {
            // The loader keeps every table of such an array below 65536 records.
            Bytes header(kCounters, 0);
            store_be16(at(header, 0), static_cast<std::uint16_t>(i - first));
            store_be16(at(header, 2), static_cast<std::uint16_t>(table->record_bytes));
            store_be16(at(header, 4), static_cast<std::uint16_t>(std::min<std::uint32_t>(first, 0xFFFF)));
            store_be16(at(header, 6), static_cast<std::uint16_t>(table->records));
            data.insert(data.begin(), header.begin(), header.end());
            flags = table->variable ? kFlagVariable : 0;
        } else {
            flags = kFlagCounters | (table->variable ? kFlagVariable : 0);
            store_be32(at(counters, 0), i - first);
            store_be32(at(counters, 4), static_cast<std::uint32_t>(table->record_bytes));
            store_be32(at(counters, 8), first);
            store_be32(at(counters, 12), table->records);
        }
    } else if (answers) {
        primary = kNotServed;
    } else {
        switch (fault->kind) {
        case SimArrayFaultKind::busy: primary = 0x95; break;
        case SimArrayFaultKind::ndu: primary = 0xB0; break;
        case SimArrayFaultKind::blocked: primary = 0x97; break;
        case SimArrayFaultKind::overrun: primary = kDataOverrun; break;
        case SimArrayFaultKind::timeout: primary = 0xA7; break;
        case SimArrayFaultKind::code:
            primary = fault->primary;
            secondary = fault->secondary;
            break;
        case SimArrayFaultKind::poll:
            // The data come back as the continuation of the call: the sleep, then which pass asked.
            primary = 0xA0;
            data.resize(8);
            store_be32(at(data, 0), fault->sleep_tenths);
            store_be32(at(data, 4), q.pass);
            break;
        default: break;
        }
    }

    Bytes reply(kOuterHeader + kReplyHeader, 0);
    if (flags & kFlagCounters) reply.insert(reply.end(), counters.begin(), counters.end());
    reply.insert(reply.end(), data.begin(), data.end());
    const std::span<std::uint8_t> h = at(reply, kOuterHeader);
    std::copy_n("XMV\x04", 4, reply.begin());
    store_be16(at(reply, 4), q.chain);
    store_be16(at(reply, 6), static_cast<std::uint16_t>(h.size()));
    h[1] = primary;
    h[2] = secondary;
    h[3] = fault && fault->kind == SimArrayFaultKind::other_format ? 0x05 : 0x06;
    store_be16(h.subspan(4), q.call);
    store_be16(h.subspan(6), static_cast<std::uint16_t>(h.size() - 8));
    store_be32(h.subspan(8), q.crc);
    h[16] = static_cast<std::uint8_t>(q.subcommand + (fault && fault->kind == SimArrayFaultKind::other_subcommand ? 1 : 0));
    h[17] = subformat;
    store_be32(h.subspan(20), flags);
    const std::uint32_t crc = syscall_crc(h.subspan(16));
    store_be32(h.subspan(12), fault && fault->kind == SimArrayFaultKind::bad_crc ? ~crc : crc);
    return reply;
}

}  // namespace pds::sim
