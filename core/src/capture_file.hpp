// Capture files: classic pcap (micro- and nanosecond magic, either byte
// order) and pcapng (Section Header, Interface Description with if_tsresol
// and if_tsoffset, Enhanced, Simple and the old Packet blocks; any other
// block skipped), read as a pure parser over a window of the file's octets.
// Whoever holds the file (io/'s FileReader) hands the parser the octets from
// its offset on; the parser answers with a record, the number of octets it
// needs before it can, the end, or an error. No OS calls, no allocation per
// record (pcapng interfaces and the cooked-capture scratch frame aside).
//
//   classic: file header (24) | record header (16) | frame | record header | ...
//   pcapng:  block type (4) | block length (4) | body | block length (4)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace valdrin::capfile {

using Bytes = std::span<const std::uint8_t>;

// The link types this reader turns into Ethernet frames.
inline constexpr std::uint16_t LINKTYPE_ETHERNET = 1;
inline constexpr std::uint16_t LINKTYPE_LINUX_SLL = 113;
inline constexpr std::uint16_t LINKTYPE_LINUX_SLL2 = 276;

// The longest packet record and the longest pcapng block this reader takes:
// a frame is at most a few hundred KiB, and a longer length is a corrupt one.
inline constexpr std::uint32_t MAX_RECORD = 16u << 20;
inline constexpr std::uint32_t MAX_BLOCK = 64u << 20;
// pcapng interfaces described in one section, at most.
inline constexpr std::size_t MAX_INTERFACES = 65536;

// Why a capture cannot be read (further).
enum class ReadError : std::uint8_t {
    empty_file,
    not_a_capture,        // hex: the first octets
    truncated_header,     // the file header is cut short
    truncated_frame,      // frame, offset: the file ends inside a packet record
    truncated_block,      // offset: the file ends inside a pcapng block that holds no packet
    frame_too_long,       // frame, offset, value: the length claimed
    block_too_long,       // offset, value
    bad_block_length,     // offset, value
    lengths_differ,       // offset, value: the trailing length
    bad_byte_order,       // offset, hex: the magic found
    block_too_short,      // offset, value: the block type
    unknown_interface,    // offset, value: the interface index
    too_many_interfaces,  // offset
    captured_past_block,  // offset, value: the octets claimed
    option_past_block,    // offset, value: the option code
    count_
};

// One row per ReadError: its whole message, with {frame} (the 1-based frame
// number, digits grouped), {offset} (octets from the file's start), {value}
// and {hex} standing for the error's numbers.
inline constexpr std::array<std::pair<ReadError, std::string_view>, static_cast<std::size_t>(ReadError::count_)>
    read_error_messages{{
        {ReadError::empty_file, "empty file, not a pcap or pcapng capture"},
        {ReadError::not_a_capture, "not a pcap or pcapng capture (starts with {hex})"},
        {ReadError::truncated_header, "capture ends inside its file header at offset {offset}"},
        {ReadError::truncated_frame,
         "capture ends inside frame {frame} at offset {offset}: the frames before it are reported"},
        {ReadError::truncated_block,
         "capture ends inside a pcapng block at offset {offset}: the frames before it are reported"},
        {ReadError::frame_too_long,
         "frame {frame} at offset {offset} claims {value} octets, more than any frame (16 MiB)"},
        {ReadError::block_too_long, "pcapng block at offset {offset} claims {value} octets, more than 64 MiB"},
        {ReadError::bad_block_length, "pcapng block at offset {offset} with an invalid length {value}"},
        {ReadError::lengths_differ,
         "pcapng block at offset {offset}: its trailing length {value} differs from its leading one"},
        {ReadError::bad_byte_order, "pcapng Section Header Block at offset {offset} with a bad byte-order magic {hex}"},
        {ReadError::block_too_short, "pcapng block of type {value} at offset {offset} too short for its fields"},
        {ReadError::unknown_interface,
         "pcapng packet block at offset {offset} names interface {value}, which no Interface Description Block describes"},
        {ReadError::too_many_interfaces, "pcapng block at offset {offset}: more than 65536 interfaces in one section"},
        {ReadError::captured_past_block,
         "pcapng packet block at offset {offset}: {value} octets captured but fewer present"},
        {ReadError::option_past_block, "pcapng option {value} in the block at offset {offset} runs past its block"},
    }};
static_assert([] {
    for (std::size_t i = 0; i < read_error_messages.size(); ++i) {
        if (static_cast<std::size_t>(read_error_messages[i].first) != i) return false;
    }
    return true;
}());

// An error and the numbers its message names.
struct Error {
    ReadError kind = ReadError::empty_file;
    std::uint64_t offset = 0;
    std::uint64_t frame = 0;
    std::uint64_t value = 0;
    friend bool operator==(const Error&, const Error&) = default;
};

// Returns the template of `kind`'s message ("" for a value out of range).
[[nodiscard]] constexpr std::string_view message_of(ReadError kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < read_error_messages.size() ? read_error_messages[index].second : std::string_view{};
}

// Returns the whole one-line message of `error`, e.g. "capture ends inside
// frame 1,234,567 at offset 99: the frames before it are reported".
[[nodiscard]] std::string describe(const Error& error);

// Returns the name of a LINKTYPE_ number, e.g. "IEEE 802.11" for 105, or ""
// when this reader does not know it.
[[nodiscard]] std::string_view link_name(std::uint32_t linktype) noexcept;

// One packet record; `data` views the window handed to Reader::next.
struct Record {
    std::int64_t time_ns = 0;  // ns since 1970 UTC (saturated); 0 when !has_time
    bool has_time = true;      // false for a pcapng Simple Packet Block
    std::uint32_t linktype = LINKTYPE_ETHERNET;
    std::uint32_t original_length = 0;  // on the wire; above data.size() when the snap length cut it
    bool over_snaplen = false;          // more octets captured than the snap length allows
    Bytes data;
};

// What Reader::next found.
enum class Step : std::uint8_t {
    record,     // record() is the next packet; advance the window by consumed()
    need_more,  // the window must hold at least wanted() octets (or be the file's end)
    end,        // the capture ended cleanly
    error,      // error() says why; further calls repeat it
};

// The format parser: one per capture file, fed windows from its offset on.
class Reader {
public:
    // Reads from `window`, the file's octets from offset() on; `at_end` says
    // that nothing follows the window. Non-packet blocks are consumed within
    // the call (their octets need not be kept once it returns need_more).
    [[nodiscard]] Step next(Bytes window, bool at_end) noexcept;

    // The packet found by the last next() that returned Step::record.
    [[nodiscard]] const Record& record() const noexcept { return record_; }
    // Octets of the window the last step used up (a record and any blocks before it).
    [[nodiscard]] std::size_t consumed() const noexcept { return consumed_; }
    // The window size the last Step::need_more asked for.
    [[nodiscard]] std::size_t wanted() const noexcept { return wanted_; }
    // The error of the last Step::error.
    [[nodiscard]] const Error& error() const noexcept { return error_; }
    // Octets of the file consumed by the steps so far.
    [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
    // Packet records read so far.
    [[nodiscard]] std::uint64_t frames() const noexcept { return frames_; }

private:
    struct Interface {
        std::uint32_t linktype;
        std::uint32_t snaplen;
        bool binary;           // resolution 2^-exponent rather than 10^-exponent
        std::uint8_t exponent;
        std::int64_t offset_s;
    };
    enum class Format : std::uint8_t { unknown, classic, pcapng };

    Step fail(ReadError kind, std::uint64_t at, std::uint64_t value = 0) noexcept;
    Step need(std::size_t size, bool at_end, ReadError truncated, std::uint64_t at) noexcept;
    Step start(Bytes window, bool at_end) noexcept;
    Step classic(Bytes window, bool at_end) noexcept;
    Step pcapng(Bytes window, bool at_end) noexcept;
    Step interface(Bytes body, std::uint64_t at) noexcept;
    Step packet(std::uint32_t type, Bytes body, std::uint64_t at) noexcept;
    static std::uint64_t octets_value(Bytes octets) noexcept;
    std::uint32_t u32(const std::uint8_t* at) const noexcept;
    std::uint16_t u16(const std::uint8_t* at) const noexcept;

    Format format_ = Format::unknown;
    bool big_ = false;  // the file's (or section's) byte order
    std::uint32_t ns_per_unit_ = 1000;
    std::uint32_t linktype_ = LINKTYPE_ETHERNET;
    std::uint32_t snaplen_ = 0;
    std::vector<Interface> interfaces_;
    bool failed_ = false;
    Record record_;
    Error error_;
    std::size_t consumed_ = 0;
    std::size_t wanted_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t frames_ = 0;
};

// The Ethernet frame of a record: its data for Ethernet; for Linux cooked
// captures (v1, v2) the frame rebuilt in `scratch` from the cooked header
// (destination MAC ff-ff-ff-ff-ff-ff for broadcast, else 00-00-00-00-00-00,
// which the cooked header does not keep; source MAC from the header when it
// holds six octets); nothing for any other link type or a record too short
// for its cooked header.
[[nodiscard]] std::optional<Bytes> ethernet_frame(const Record& record, std::vector<std::uint8_t>& scratch);

}  // namespace valdrin::capfile
