// Byte-order loads and stores over spans, and a bounds-checked reader for device replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace pds {

// ---- unchecked loads/stores: the caller has checked the span is long enough ----------------
inline std::uint16_t load_be16(std::span<const std::uint8_t> b) {
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
inline std::uint32_t load_be24(std::span<const std::uint8_t> b) {
    return (std::uint32_t{b[0]} << 16) | (std::uint32_t{b[1]} << 8) | b[2];
}
inline std::uint32_t load_be32(std::span<const std::uint8_t> b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}
inline std::uint64_t load_be64(std::span<const std::uint8_t> b) {
    return (std::uint64_t{load_be32(b)} << 32) | load_be32(b.subspan(4));
}
// A big-endian number of 1 to 8 bytes (the width is the span's size).
inline std::uint64_t load_be_n(std::span<const std::uint8_t> b) {
    std::uint64_t value = 0;
    for (std::uint8_t byte : b) value = (value << 8) | byte;
    return value;
}
inline std::uint16_t load_le16(std::span<const std::uint8_t> b) {
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}
inline std::uint32_t load_le32(std::span<const std::uint8_t> b) {
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 24);
}
inline std::uint64_t load_le64(std::span<const std::uint8_t> b) {
    return std::uint64_t{load_le32(b)} | (std::uint64_t{load_le32(b.subspan(4))} << 32);
}
inline void store_be16(std::span<std::uint8_t> b, std::uint16_t v) {
    b[0] = static_cast<std::uint8_t>(v >> 8);
    b[1] = static_cast<std::uint8_t>(v);
}
inline void store_be24(std::span<std::uint8_t> b, std::uint32_t v) {
    b[0] = static_cast<std::uint8_t>(v >> 16);
    b[1] = static_cast<std::uint8_t>(v >> 8);
    b[2] = static_cast<std::uint8_t>(v);
}
inline void store_be32(std::span<std::uint8_t> b, std::uint32_t v) {
    store_be16(b, static_cast<std::uint16_t>(v >> 16));
    store_be16(b.subspan(2), static_cast<std::uint16_t>(v));
}
inline void store_be64(std::span<std::uint8_t> b, std::uint64_t v) {
    store_be32(b, static_cast<std::uint32_t>(v >> 32));
    store_be32(b.subspan(4), static_cast<std::uint32_t>(v));
}
inline void store_le16(std::span<std::uint8_t> b, std::uint16_t v) {
    b[0] = static_cast<std::uint8_t>(v);
    b[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void store_le32(std::span<std::uint8_t> b, std::uint32_t v) {
    store_le16(b, static_cast<std::uint16_t>(v));
    store_le16(b.subspan(2), static_cast<std::uint16_t>(v >> 16));
}

// Reads fields of a device reply. Every read names its offset; a read that falls outside the
// bytes actually received returns nullopt and marks the reader short, so a truncated reply is
// noticed instead of decoding as zeros.
class ReplyReader {
public:
    explicit ReplyReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t size() const { return bytes_.size(); }
    std::span<const std::uint8_t> all() const { return bytes_; }
    bool has(std::size_t offset, std::size_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    // True once any read fell outside the reply.
    bool short_reply() const { return short_; }

    std::optional<std::uint8_t> u8(std::size_t off) { return take(off, 1) ? std::optional<std::uint8_t>(bytes_[off]) : std::nullopt; }
    std::optional<std::uint16_t> be16(std::size_t off) { return take(off, 2) ? std::optional<std::uint16_t>(load_be16(bytes_.subspan(off))) : std::nullopt; }
    std::optional<std::uint32_t> be24(std::size_t off) { return take(off, 3) ? std::optional<std::uint32_t>(load_be24(bytes_.subspan(off))) : std::nullopt; }
    std::optional<std::uint32_t> be32(std::size_t off) { return take(off, 4) ? std::optional<std::uint32_t>(load_be32(bytes_.subspan(off))) : std::nullopt; }
    std::optional<std::uint64_t> be64(std::size_t off) { return take(off, 8) ? std::optional<std::uint64_t>(load_be64(bytes_.subspan(off))) : std::nullopt; }
    std::optional<std::uint32_t> le32(std::size_t off) { return take(off, 4) ? std::optional<std::uint32_t>(load_le32(bytes_.subspan(off))) : std::nullopt; }
    // A byte for diagnostics (dumps, summary lines), where a byte the reply does not reach shows
    // as `absent` rather than stopping the line. Does not mark the reader short.
    std::uint8_t u8_or(std::size_t off, std::uint8_t absent) const { return off < bytes_.size() ? bytes_[off] : absent; }
    // The bytes [off, off+len), or nullopt when the reply is shorter.
    std::optional<std::span<const std::uint8_t>> bytes(std::size_t off, std::size_t len) {
        return take(off, len) ? std::optional<std::span<const std::uint8_t>>(bytes_.subspan(off, len)) : std::nullopt;
    }
    // The bytes from `off` up to at most `len`, cut at the end of the reply (never past it).
    std::span<const std::uint8_t> bytes_upto(std::size_t off, std::size_t len) const {
        if (off >= bytes_.size()) return {};
        std::size_t avail = bytes_.size() - off;
        return bytes_.subspan(off, len < avail ? len : avail);
    }

private:
    bool take(std::size_t off, std::size_t len) {
        if (has(off, len)) return true;
        short_ = true;
        return false;
    }
    std::span<const std::uint8_t> bytes_;
    bool short_ = false;
};

}  // namespace pds
