// The capture-file parser: both formats in both byte orders, fed whole and
// in windows of every size, and every malformed file as a byte array with
// the one-line message it must give.
#include "capture_file.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace valdrin::capfile {
namespace {

using Octets = std::vector<std::uint8_t>;

void put32(Octets& out, std::uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(big ? v >> (24 - 8 * i) : v >> (8 * i)));
}
void put16(Octets& out, std::uint16_t v, bool big) {
    out.push_back(static_cast<std::uint8_t>(big ? v >> 8 : v));
    out.push_back(static_cast<std::uint8_t>(big ? v : v >> 8));
}
void append(Octets& out, const Octets& more) { out.insert(out.end(), more.begin(), more.end()); }

Octets classic_header(std::uint32_t magic, bool big, std::uint32_t linktype = 1, std::uint32_t snaplen = 65535) {
    Octets out;
    put32(out, magic, big);
    put16(out, 2, big);
    put16(out, 4, big);
    put32(out, 0, big);
    put32(out, 0, big);
    put32(out, snaplen, big);
    put32(out, linktype, big);
    return out;
}

Octets classic_record(std::uint32_t s, std::uint32_t frac, const Octets& frame, bool big, std::uint32_t original = 0) {
    Octets out;
    put32(out, s, big);
    put32(out, frac, big);
    put32(out, static_cast<std::uint32_t>(frame.size()), big);
    put32(out, original ? original : static_cast<std::uint32_t>(frame.size()), big);
    append(out, frame);
    return out;
}

Octets block(std::uint32_t type, const Octets& body, bool big) {
    Octets padded = body;
    while (padded.size() % 4) padded.push_back(0);
    Octets out;
    const auto length = static_cast<std::uint32_t>(padded.size() + 12);
    put32(out, type, big);
    put32(out, length, big);
    append(out, padded);
    put32(out, length, big);
    return out;
}

Octets shb(bool big) {
    Octets body;
    put32(body, 0x1A2B3C4D, big);
    put16(body, 1, big);
    put16(body, 0, big);
    put32(body, 0xFFFFFFFF, big);
    put32(body, 0xFFFFFFFF, big);
    return block(0x0A0D0D0A, body, big);
}

// An IDB with the options given as (code, value) pairs.
Octets idb(std::uint16_t linktype, bool big, const std::vector<std::pair<std::uint16_t, Octets>>& options = {},
           std::uint32_t snaplen = 0) {
    Octets body;
    put16(body, linktype, big);
    put16(body, 0, big);
    put32(body, snaplen, big);
    for (const auto& [code, value] : options) {
        put16(body, code, big);
        put16(body, static_cast<std::uint16_t>(value.size()), big);
        append(body, value);
        while (body.size() % 4) body.push_back(0);
    }
    if (!options.empty()) put32(body, 0, big);
    return block(1, body, big);
}

Octets epb(std::uint32_t interface, std::uint64_t units, const Octets& frame, bool big, std::uint32_t original = 0) {
    Octets body;
    put32(body, interface, big);
    put32(body, static_cast<std::uint32_t>(units >> 32), big);
    put32(body, static_cast<std::uint32_t>(units), big);
    put32(body, static_cast<std::uint32_t>(frame.size()), big);
    put32(body, original ? original : static_cast<std::uint32_t>(frame.size()), big);
    append(body, frame);
    return block(6, body, big);
}

struct Read {
    std::vector<Record> records;  // data copied into `frames`
    std::vector<Octets> frames;
    std::string error;  // "" when the capture ended cleanly
    std::uint64_t offset = 0;
};

// Reads `file` as a holder of the file would with windows growing `chunk`
// octets at a time (0: the whole file at once).
Read read(const Octets& file, std::size_t chunk = 0) {
    Reader reader;
    Read out;
    std::size_t begin = 0;
    std::size_t end = chunk ? std::min(chunk, file.size()) : file.size();
    for (int guard = 0; guard < 1'000'000; ++guard) {
        const Step step = reader.next({file.data() + begin, end - begin}, end == file.size());
        begin += reader.consumed();
        if (step == Step::record) {
            out.records.push_back(reader.record());
            out.frames.emplace_back(reader.record().data.begin(), reader.record().data.end());
        } else if (step == Step::need_more) {
            EXPECT_GT(begin + reader.wanted(), end) << "asked for octets it already had";
            end = std::min(file.size(), std::max(end + chunk, begin + reader.wanted()));
        } else {
            if (step == Step::error) out.error = describe(reader.error());
            out.offset = reader.offset();
            return out;
        }
    }
    ADD_FAILURE() << "the reader does not end";
    return out;
}

const Octets A = {0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88, 0xBA, 0x40, 0x00};
const Octets B = {0xAB, 0xCD, 0xEF};

TEST(CaptureFile, ClassicBothOrdersAndResolutionsInEveryWindowSize) {
    struct Row {
        std::uint32_t magic;
        bool big;
        std::int64_t unit;
    };
    for (const Row row : {Row{0xA1B2C3D4, false, 1000}, Row{0xA1B2C3D4, true, 1000}, Row{0xA1B23C4D, false, 1},
                          Row{0xA1B23C4D, true, 1}}) {
        Octets file = classic_header(row.magic, row.big, 113);
        append(file, classic_record(1'700'000'000, 999'999, A, row.big));
        append(file, classic_record(0, 0, {}, row.big));
        append(file, classic_record(4'294'967'295u, 1, B, row.big, 1500));
        for (const std::size_t chunk : {0, 1, 3, 16, 17, 40}) {
            const Read got = read(file, chunk);
            ASSERT_EQ(got.error, "") << chunk;
            ASSERT_EQ(got.records.size(), 3u);
            EXPECT_EQ(got.records[0].time_ns, 1'700'000'000'000'000'000 + 999'999 * row.unit);
            EXPECT_EQ(got.records[2].time_ns, 4'294'967'295'000'000'000 + row.unit);
            EXPECT_EQ(got.records[0].linktype, 113u);
            EXPECT_EQ(got.frames, (std::vector<Octets>{A, {}, B}));
            EXPECT_EQ(got.records[2].original_length, 1500u);  // cut by the snap length: original is longer
            EXPECT_EQ(got.offset, file.size());
        }
    }
}

TEST(CaptureFile, AHeaderAloneIsAnEmptyCapture) {
    const Read got = read(classic_header(0xA1B2C3D4, false));
    EXPECT_EQ(got.error, "");
    EXPECT_TRUE(got.records.empty());
}

TEST(CaptureFile, RecordsLongerThanTheSnapLengthAreMarked) {
    Octets file = classic_header(0xA1B2C3D4, false, 1, 4);
    append(file, classic_record(0, 0, A, false));
    append(file, classic_record(0, 0, B, false));
    const Read got = read(file);
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_TRUE(got.records[0].over_snaplen);
    EXPECT_FALSE(got.records[1].over_snaplen);
}

TEST(CaptureFile, PcapngResolutionsOffsetsAndUnknownBlocksInEveryWindowSize) {
    for (const bool big : {false, true}) {
        Octets offset;
        put32(offset, big ? 0 : 100, big);  // if_tsoffset: 100 s, as a 64-bit number in the section's order
        put32(offset, big ? 100 : 0, big);
        Octets file = shb(big);
        append(file, idb(1, big));                                   // microseconds by default
        append(file, idb(276, big, {{9, {9}}, {14, offset}}));       // nanoseconds, 100 s later
        append(file, idb(1, big, {{9, {0x80 | 10}}}));              // 2^-10 s
        append(file, block(0x0BAD, {1, 2, 3, 4, 5}, big));           // unknown: skipped
        append(file, epb(0, 1'500'000, A, big));
        append(file, epb(1, 7000, B, big));
        append(file, epb(2, 1024 * 3 + 512, {}, big));
        Octets spb_body;
        put32(spb_body, 64, big);
        append(spb_body, A);
        append(file, block(3, spb_body, big));
        for (const std::size_t chunk : {0, 1, 5, 28, 100}) {
            const Read got = read(file, chunk);
            ASSERT_EQ(got.error, "") << chunk;
            ASSERT_EQ(got.records.size(), 4u);
            EXPECT_EQ(got.records[0].time_ns, 1'500'000'000);
            EXPECT_EQ(got.records[1].time_ns, 100'000'007'000);
            EXPECT_EQ(got.records[1].linktype, 276u);
            EXPECT_EQ(got.records[2].time_ns, 3'500'000'000);
            EXPECT_FALSE(got.records[3].has_time);
            EXPECT_EQ(got.records[3].original_length, 64u);
            EXPECT_EQ(got.frames, (std::vector<Octets>{A, B, {}, A}));
        }
    }
}

TEST(CaptureFile, ANewSectionChangesByteOrderAndForgetsInterfaces) {
    Octets file = shb(false);
    append(file, idb(1, false));
    append(file, epb(0, 1, A, false));
    append(file, shb(true));
    append(file, idb(228, true));
    append(file, epb(0, 2, B, true));
    const Read got = read(file, 7);
    ASSERT_EQ(got.error, "");
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(got.records[1].linktype, 228u);
    EXPECT_EQ(got.records[1].time_ns, 2000);
}

TEST(CaptureFile, TimestampsSaturateInsteadOfOverflowing) {
    Octets offset(8, 0x7F);
    Octets file = shb(false);
    append(file, idb(1, false, {{9, {0}}, {14, offset}}));  // whole seconds, offset near 2^63 s
    append(file, idb(1, false, {{9, {0x7F}}}));            // 10^-127 s: below a nanosecond
    append(file, epb(0, ~0ull, A, false));
    append(file, epb(1, ~0ull, A, false));
    const Read got = read(file);
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(got.records[0].time_ns, INT64_MAX);
    EXPECT_EQ(got.records[1].time_ns, 0);
}

Octets with(Octets file, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return file;
}

Octets cat(std::initializer_list<Octets> parts) {
    Octets out;
    for (const Octets& part : parts) append(out, part);
    return out;
}

TEST(CaptureFile, MalformedFilesGiveOneLineEach) {
    const Octets good = cat({classic_header(0xA1B2C3D4, false), classic_record(1, 2, A, false),
                             classic_record(3, 4, B, false)});
    const std::size_t shb_size = shb(false).size();  // 28
    const Octets good_ng = cat({shb(false), idb(1, false), epb(0, 5, A, false)});
    struct Row {
        const char* why;
        Octets file;
        std::string message;
        std::size_t frames;
    };
    const std::vector<Row> rows = {
        {"nothing at all", {}, "empty file, not a pcap or pcapng capture", 0},
        {"two octets", {0xD4, 0xC3}, "not a pcap or pcapng capture (starts with d4c3)", 0},
        {"a picture", {'G', 'I', 'F', '8', '9', 'a'}, "not a pcap or pcapng capture (starts with 47494638)", 0},
        {"file header cut", Octets(good.begin(), good.begin() + 23), "capture ends inside its file header at offset 23",
         0},
        {"record header cut", Octets(good.begin(), good.begin() + 30),
         "capture ends inside frame 1 at offset 24: the frames before it are reported", 0},
        {"last frame cut by one octet", Octets(good.begin(), good.end() - 1),
         "capture ends inside frame 2 at offset 56: the frames before it are reported", 1},
        {"a length of 4 GiB in a small file", with(good, 24 + 8, 0xFFFFFFFF),
         "frame 1 at offset 24 claims 4294967295 octets, more than any frame (16 MiB)", 0},
        {"a length just past the file", with(good, 56 + 8, 4),
         "capture ends inside frame 2 at offset 56: the frames before it are reported", 1},
        {"pcapng cut in its section header", Octets(good_ng.begin(), good_ng.begin() + 10),
         "capture ends inside a pcapng block at offset 0: the frames before it are reported", 0},
        {"pcapng cut in an interface block", Octets(good_ng.begin(), good_ng.begin() + shb_size + 6),
         "capture ends inside a pcapng block at offset 28: the frames before it are reported", 0},
        {"pcapng cut in its last packet", Octets(good_ng.begin(), good_ng.end() - 3),
         "capture ends inside frame 1 at offset 48: the frames before it are reported", 0},
        {"byte-order magic wrong", with(shb(false), 8, 0x1B2B3C4D),
         "pcapng Section Header Block at offset 0 with a bad byte-order magic 4d3c2b1b", 0},
        {"block length not a multiple of 4", cat({shb(false), with(idb(1, false), 4, 22)}),
         "pcapng block at offset 28 with an invalid length 22", 0},
        {"block length below the smallest block", cat({shb(false), with(idb(1, false), 4, 8)}),
         "pcapng block at offset 28 with an invalid length 8", 0},
        {"block length of 4 GiB", cat({shb(false), with(idb(1, false), 4, 0xFFFFFFFC)}),
         "pcapng block at offset 28 claims 4294967292 octets, more than 64 MiB", 0},
        {"trailing length differs", with(shb(false), shb_size - 4, 32),
         "pcapng block at offset 0: its trailing length 32 differs from its leading one", 0},
        {"packet before any interface", cat({shb(false), epb(0, 5, A, false)}),
         "pcapng packet block at offset 28 names interface 0, which no Interface Description Block describes", 0},
        {"interface block too short for its fields", cat({shb(false), block(1, {1, 0, 0, 0}, false)}),
         "pcapng block of type 1 at offset 28 too short for its fields", 0},
        {"packet block too short for its fields", cat({shb(false), idb(1, false), block(6, Octets(16, 0), false)}),
         "pcapng block of type 6 at offset 48 too short for its fields", 0},
        {"captured length past the block",
         cat({shb(false), idb(1, false), with(epb(0, 5, A, false), 20, 99)}),
         "pcapng packet block at offset 48: 99 octets captured but fewer present", 0},
        {"option value past its block", cat({shb(false), block(1, {1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 8, 0, 6}, false)}),
         "pcapng option 9 in the block at offset 28 runs past its block", 0},
    };
    for (const Row& row : rows) {
        for (const std::size_t chunk : {0, 1, 7}) {
            const Read got = read(row.file, chunk);
            EXPECT_EQ(got.error, row.message) << row.why << ", window step " << chunk;
            EXPECT_EQ(got.records.size(), row.frames) << row.why;
        }
    }
}

TEST(CaptureFile, FrameNumbersAreGroupedInMessages) {
    EXPECT_EQ(describe({.kind = ReadError::truncated_frame, .offset = 250'000'000, .frame = 1'234'567}),
              "capture ends inside frame 1,234,567 at offset 250000000: the frames before it are reported");
}

TEST(CaptureFile, LinkNames) {
    EXPECT_EQ(link_name(105), "IEEE 802.11");
    EXPECT_EQ(link_name(276), "Linux cooked capture v2");
    EXPECT_EQ(link_name(4000), "");
}

TEST(CaptureFile, CookedCapturesBecomeEthernetFrames) {
    const Octets payload = {0x40, 0x00, 0x00, 0x10};
    // v1: packet type 2 (multicast), ARPHRD_ETHER, address length 6, address + 2 pad, protocol 88BA.
    const Octets v1 = cat({{0, 2, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x88, 0xBA}, payload});
    // v2: protocol 8100, reserved, ifindex 3, ARPHRD_ETHER, packet type 1 (broadcast), length 6, address.
    const Octets v2 = cat({{0x81, 0x00, 0, 0, 0, 0, 0, 3, 0, 1, 1, 6, 9, 8, 7, 6, 5, 4, 0, 0}, payload});
    std::vector<std::uint8_t> scratch;
    Record record{.linktype = LINKTYPE_LINUX_SLL, .data = v1};
    auto frame = ethernet_frame(record, scratch);
    ASSERT_TRUE(frame);
    EXPECT_EQ(Octets(frame->begin(), frame->end()),
              cat({{0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 0x88, 0xBA}, payload}));
    record = Record{.linktype = LINKTYPE_LINUX_SLL2, .data = v2};
    frame = ethernet_frame(record, scratch);
    ASSERT_TRUE(frame);
    EXPECT_EQ(Octets(frame->begin(), frame->end()),
              cat({{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 9, 8, 7, 6, 5, 4, 0x81, 0x00}, payload}));
    record = Record{.linktype = LINKTYPE_ETHERNET, .data = A};
    frame = ethernet_frame(record, scratch);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->data(), A.data());  // Ethernet frames are not copied
    // Too short for its cooked header, and a link type not taken.
    record = Record{.linktype = LINKTYPE_LINUX_SLL, .data = Bytes(v1).first(15)};
    EXPECT_FALSE(ethernet_frame(record, scratch));
    record = Record{.linktype = 105, .data = A};
    EXPECT_FALSE(ethernet_frame(record, scratch));
}

}  // namespace
}  // namespace valdrin::capfile
