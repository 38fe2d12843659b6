#include "capture_file.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace valdrin::capfile {
namespace {

constexpr std::uint32_t PCAP_MAGIC_US = 0xA1B2C3D4;
constexpr std::uint32_t PCAP_MAGIC_NS = 0xA1B23C4D;
constexpr std::size_t FILE_HEADER = 24;
constexpr std::size_t RECORD_HEADER = 16;

// pcapng block types, option codes and sizes.
constexpr std::uint32_t SHB = 0x0A0D0D0A;
constexpr std::uint32_t IDB = 1;
constexpr std::uint32_t PB = 2;  // the old Packet Block, superseded by the EPB
constexpr std::uint32_t SPB = 3;
constexpr std::uint32_t EPB = 6;
constexpr std::uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr std::uint16_t OPT_END = 0;
constexpr std::uint16_t IF_TSRESOL = 9;
constexpr std::uint16_t IF_TSOFFSET = 14;
constexpr std::size_t BLOCK_OVERHEAD = 12;  // type, length, trailing length
constexpr std::size_t SHB_LEAST = 28;
constexpr std::size_t PACKET_FIELDS = 20;  // EPB and PB: interface, time, captured, original

// The sizeof(T) octets at `at` as a number in the given byte order.
template <class T>
T load(const std::uint8_t* at, bool big) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return big == (std::endian::native == std::endian::big) ? value : std::byteswap(value);
}

std::uint32_t load32(const std::uint8_t* at, bool big) noexcept { return load<std::uint32_t>(at, big); }

// `n` with its digits grouped by commas: 1234567 -> "1,234,567".
std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
    return digits;
}

std::string hex(std::uint64_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[n & 15]);
        n >>= 4;
    } while (n);
    if (text.size() % 2) text.insert(text.begin(), '0');
    return text;
}

// Nanoseconds of `units` ticks of 10^-exponent (or 2^-exponent) seconds plus
// `offset_s` seconds, saturated to the int64 range.
std::int64_t to_ns(std::uint64_t units, bool binary, std::uint8_t exponent, std::int64_t offset_s) noexcept {
    using Wide = __int128;
    Wide ns;
    if (binary) {
        ns = exponent >= 127 ? 0 : static_cast<Wide>(static_cast<unsigned __int128>(units) * 1'000'000'000u >> exponent);
    } else if (exponent <= 9) {
        std::uint64_t scale = 1;
        for (int i = exponent; i < 9; ++i) scale *= 10;
        ns = static_cast<Wide>(units) * scale;
    } else if (exponent - 9 <= 19) {
        std::uint64_t scale = 1;
        for (int i = 9; i < exponent; ++i) scale *= 10;
        ns = static_cast<Wide>(units / scale);
    } else {
        ns = 0;
    }
    ns += static_cast<Wide>(offset_s) * 1'000'000'000;
    constexpr Wide lo = std::numeric_limits<std::int64_t>::min();
    constexpr Wide hi = std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(std::clamp(ns, lo, hi));
}

struct LinkName {
    std::uint32_t linktype;
    std::string_view name;
};

constexpr LinkName link_names[] = {
    {0, "BSD loopback"},
    {1, "Ethernet"},
    {6, "IEEE 802.5 Token Ring"},
    {9, "PPP"},
    {101, "raw IP"},
    {105, "IEEE 802.11"},
    {113, "Linux cooked capture v1"},
    {127, "IEEE 802.11 radiotap"},
    {192, "PPI"},
    {195, "IEEE 802.15.4"},
    {201, "Bluetooth HCI H4 with direction"},
    {220, "USB Linux mmapped"},
    {228, "raw IPv4"},
    {229, "raw IPv6"},
    {249, "USBPcap"},
    {252, "Wireshark upper PDU"},
    {274, "Linux netlink"},
    {276, "Linux cooked capture v2"},
};

}  // namespace

std::string describe(const Error& error) {
    const std::string_view text = message_of(error.kind);
    std::string out;
    out.reserve(text.size() + 32);
    for (std::size_t i = 0; i < text.size();) {
        const auto place = [&](std::string_view name) { return text.substr(i, name.size()) == name; };
        if (place("{frame}")) {
            out += grouped(error.frame);
            i += 7;
        } else if (place("{offset}")) {
            out += std::to_string(error.offset);
            i += 8;
        } else if (place("{value}")) {
            out += std::to_string(error.value);
            i += 7;
        } else if (place("{hex}")) {
            out += hex(error.value);
            i += 5;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string_view link_name(std::uint32_t linktype) noexcept {
    for (const LinkName& row : link_names) {
        if (row.linktype == linktype) return row.name;
    }
    return {};
}

std::uint32_t Reader::u32(const std::uint8_t* at) const noexcept { return load32(at, big_); }

std::uint16_t Reader::u16(const std::uint8_t* at) const noexcept { return load<std::uint16_t>(at, big_); }

Step Reader::fail(ReadError kind, std::uint64_t at, std::uint64_t value) noexcept {
    failed_ = true;
    error_ = Error{.kind = kind, .offset = at, .frame = frames_ + 1, .value = value};
    return Step::error;
}

Step Reader::need(std::size_t size, bool at_end, ReadError truncated, std::uint64_t at) noexcept {
    if (at_end) return fail(truncated, at);
    wanted_ = size;
    return Step::need_more;
}

Step Reader::next(Bytes window, bool at_end) noexcept {
    consumed_ = 0;
    if (failed_) return Step::error;
    switch (format_) {
    case Format::unknown: return start(window, at_end);
    case Format::classic: return classic(window, at_end);
    case Format::pcapng: return pcapng(window, at_end);
    }
    return Step::error;
}

Step Reader::start(Bytes window, bool at_end) noexcept {
    if (window.size() < 4 && !at_end) return need(4, at_end, ReadError::truncated_header, 0);
    if (window.empty()) return fail(ReadError::empty_file, 0);
    if (window.size() < 4) return fail(ReadError::not_a_capture, 0, octets_value(window));
    if (load32(window.data(), false) == SHB) {
        format_ = Format::pcapng;
        return pcapng(window, at_end);
    }
    for (const bool big : {false, true}) {
        const std::uint32_t magic = load32(window.data(), big);
        if (magic != PCAP_MAGIC_US && magic != PCAP_MAGIC_NS) continue;
        if (window.size() < FILE_HEADER) return need(FILE_HEADER, at_end, ReadError::truncated_header, window.size());
        big_ = big;
        ns_per_unit_ = magic == PCAP_MAGIC_NS ? 1 : 1000;
        snaplen_ = u32(window.data() + 16);
        // The high bits of the link-type word may carry FCS information.
        linktype_ = u32(window.data() + 20) & 0xFFFF;
        format_ = Format::classic;
        offset_ = FILE_HEADER;
        const Step step = classic(window.subspan(FILE_HEADER), at_end);
        consumed_ += FILE_HEADER;
        return step;
    }
    return fail(ReadError::not_a_capture, 0, octets_value(window.first(4)));
}

std::uint64_t Reader::octets_value(Bytes octets) noexcept {
    std::uint64_t value = 0;
    for (std::uint8_t octet : octets) value = value << 8 | octet;
    return value;
}

Step Reader::classic(Bytes window, bool at_end) noexcept {
    if (window.empty() && at_end) return Step::end;
    if (window.size() < RECORD_HEADER) return need(RECORD_HEADER, at_end, ReadError::truncated_frame, offset_);
    const std::uint8_t* header = window.data();
    const std::uint32_t captured = u32(header + 8);
    if (captured > MAX_RECORD) return fail(ReadError::frame_too_long, offset_, captured);
    const std::size_t size = RECORD_HEADER + captured;
    if (window.size() < size) return need(size, at_end, ReadError::truncated_frame, offset_);
    record_ = Record{
        .time_ns = static_cast<std::int64_t>(u32(header)) * 1'000'000'000 +
                   static_cast<std::int64_t>(u32(header + 4)) * ns_per_unit_,
        .has_time = true,
        .linktype = linktype_,
        .original_length = u32(header + 12),
        .over_snaplen = snaplen_ != 0 && captured > snaplen_,
        .data = window.subspan(RECORD_HEADER, captured),
    };
    consumed_ += size;
    offset_ += size;
    ++frames_;
    return Step::record;
}

Step Reader::pcapng(Bytes window, bool at_end) noexcept {
    std::size_t pos = 0;
    for (;;) {
        consumed_ = pos;
        const Bytes rest = window.subspan(pos);
        const std::uint64_t at = offset_;
        if (rest.empty() && at_end) return Step::end;
        if (rest.size() < 8) return need(8, at_end, ReadError::truncated_block, at);
        const std::uint32_t raw_type = load32(rest.data(), false);
        if (raw_type == SHB) {
            // A new section: its byte-order magic decides how everything in it is read.
            if (rest.size() < BLOCK_OVERHEAD) return need(BLOCK_OVERHEAD, at_end, ReadError::truncated_block, at);
            const std::uint32_t magic = load32(rest.data() + 8, false);
            if (magic != BYTE_ORDER_MAGIC && magic != std::byteswap(BYTE_ORDER_MAGIC)) {
                return fail(ReadError::bad_byte_order, at, octets_value(rest.subspan(8, 4)));
            }
            big_ = (magic == BYTE_ORDER_MAGIC) == (std::endian::native == std::endian::big);
            interfaces_.clear();
        }
        const std::uint32_t type = u32(rest.data());
        const std::uint32_t length = u32(rest.data() + 4);
        if (length > MAX_BLOCK) return fail(ReadError::block_too_long, at, length);
        if (length < (type == SHB ? SHB_LEAST : BLOCK_OVERHEAD) || length % 4) {
            return fail(ReadError::bad_block_length, at, length);
        }
        const bool holds_packet = type == EPB || type == PB || type == SPB;
        if (rest.size() < length) {
            return need(length, at_end, holds_packet ? ReadError::truncated_frame : ReadError::truncated_block, at);
        }
        const std::uint32_t trailer = u32(rest.data() + length - 4);
        if (trailer != length) return fail(ReadError::lengths_differ, at, trailer);
        const Bytes body = rest.subspan(8, length - BLOCK_OVERHEAD);
        Step step = Step::end;
        if (type == IDB) {
            step = interface(body, at);
        } else if (holds_packet) {
            step = packet(type, body, at);
        }
        if (step == Step::error) return step;
        pos += length;
        offset_ += length;
        if (step == Step::record) {
            consumed_ = pos;
            ++frames_;
            return step;
        }
        // Any other block (name resolution, statistics, custom, ...) says nothing about packets.
    }
}

Step Reader::interface(Bytes body, std::uint64_t at) noexcept {
    if (body.size() < 8) return fail(ReadError::block_too_short, at, IDB);
    if (interfaces_.size() >= MAX_INTERFACES) return fail(ReadError::too_many_interfaces, at);
    Interface added{.linktype = u16(body.data()), .snaplen = u32(body.data() + 4), .binary = false, .exponent = 6,
                    .offset_s = 0};
    for (std::size_t i = 8; i + 4 <= body.size();) {
        const std::uint16_t code = u16(body.data() + i);
        const std::uint16_t size = u16(body.data() + i + 2);
        if (code == OPT_END) break;
        if (body.size() - i - 4 < size) return fail(ReadError::option_past_block, at, code);
        const std::uint8_t* value = body.data() + i + 4;
        if (code == IF_TSRESOL && size >= 1) {
            added.binary = (value[0] & 0x80) != 0;
            added.exponent = value[0] & 0x7F;
        } else if (code == IF_TSOFFSET && size >= 8) {
            const std::uint64_t first = u32(value);
            const std::uint64_t second = u32(value + 4);
            added.offset_s = static_cast<std::int64_t>(big_ ? first << 32 | second : second << 32 | first);
        }
        i += 4 + (static_cast<std::size_t>(size) + 3) / 4 * 4;
    }
    try {
        interfaces_.push_back(added);
    } catch (...) {  // out of memory: as hopeless as too many
        return fail(ReadError::too_many_interfaces, at);
    }
    return Step::end;
}

Step Reader::packet(std::uint32_t type, Bytes body, std::uint64_t at) noexcept {
    const std::size_t fields = type == SPB ? 4 : PACKET_FIELDS;
    if (body.size() < fields) return fail(ReadError::block_too_short, at, type);
    const std::uint8_t* f = body.data();
    const std::uint32_t index = type == EPB ? u32(f) : type == PB ? u16(f) : 0;
    if (index >= interfaces_.size()) return fail(ReadError::unknown_interface, at, index);
    const Interface& on = interfaces_[index];
    const Bytes rest = body.subspan(fields);
    if (type == SPB) {
        const std::uint32_t original = u32(f);
        std::size_t captured = std::min<std::size_t>(original, rest.size());
        if (on.snaplen != 0) captured = std::min<std::size_t>(captured, on.snaplen);
        record_ = Record{.time_ns = 0, .has_time = false, .linktype = on.linktype, .original_length = original,
                         .over_snaplen = false, .data = rest.first(captured)};
        return Step::record;
    }
    const std::uint32_t captured = u32(f + 12);
    if (captured > rest.size()) return fail(ReadError::captured_past_block, at, captured);
    const std::uint64_t units = static_cast<std::uint64_t>(u32(f + 4)) << 32 | u32(f + 8);
    record_ = Record{.time_ns = to_ns(units, on.binary, on.exponent, on.offset_s),
                     .has_time = true,
                     .linktype = on.linktype,
                     .original_length = u32(f + 16),
                     .over_snaplen = on.snaplen != 0 && captured > on.snaplen,
                     .data = rest.first(captured)};
    return Step::record;
}

std::optional<Bytes> ethernet_frame(const Record& record, std::vector<std::uint8_t>& scratch) {
    // Cooked headers: v1 packet type (2) | ARPHRD (2) | address length (2) | address (8) | protocol (2);
    // v2 protocol (2) | reserved (2) | ifindex (4) | ARPHRD (2) | packet type (1) | address length (1) | address (8).
    constexpr std::uint16_t PACKET_BROADCAST = 1;
    const Bytes in = record.data;
    std::size_t header = 0;
    std::uint16_t packet_type = 0;
    std::size_t address_length = 0;
    std::size_t address_at = 0;
    std::size_t protocol_at = 0;
    switch (record.linktype) {
    case LINKTYPE_ETHERNET: return in;
    case LINKTYPE_LINUX_SLL:
        header = 16;
        if (in.size() < header) return std::nullopt;
        packet_type = static_cast<std::uint16_t>(in[0] << 8 | in[1]);
        address_length = static_cast<std::size_t>(in[4] << 8 | in[5]);
        address_at = 6;
        protocol_at = 14;
        break;
    case LINKTYPE_LINUX_SLL2:
        header = 20;
        if (in.size() < header) return std::nullopt;
        packet_type = in[10];
        address_length = in[11];
        address_at = 12;
        protocol_at = 0;
        break;
    default: return std::nullopt;
    }
    constexpr std::size_t MAC = 6;
    scratch.resize(2 * MAC + 2 + (in.size() - header));
    std::uint8_t* out = scratch.data();
    std::memset(out, packet_type == PACKET_BROADCAST ? 0xFF : 0x00, MAC);
    if (address_length == MAC) {
        std::memcpy(out + MAC, in.data() + address_at, MAC);
    } else {
        std::memset(out + MAC, 0, MAC);
    }
    std::memcpy(out + 2 * MAC, in.data() + protocol_at, 2);
    if (in.size() > header) std::memcpy(out + 2 * MAC + 2, in.data() + header, in.size() - header);
    return Bytes(scratch);
}

}  // namespace valdrin::capfile
