// The capture-file parser on arbitrary files. The first octet chooses the
// window step (how many octets the holder adds when the parser asks for
// more: 1 to 256); the rest is the file. Checked: the parser ends (a step
// either consumes octets or asks for more than it has), reading in steps
// gives the same records and the same error as reading the whole file at
// once, every record's data lies inside the file, every cooked record's
// Ethernet frame has the payload after its header, and the records of the
// times classic pcap can hold, written back as classic pcap, read back the same.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "capture_file.hpp"
#include "check.hpp"

using namespace valdrin;
using capfile::Reader;
using capfile::Record;
using capfile::Step;
using fuzz::Bytes;

namespace {

struct Seen {
    std::int64_t time_ns;
    bool has_time;
    std::uint32_t linktype;
    std::uint32_t original_length;
    std::vector<std::uint8_t> data;
    bool operator==(const Seen&) const = default;
};

struct Outcome {
    std::vector<Seen> records;
    std::optional<capfile::Error> error;
};

Outcome read(Bytes file, std::size_t step) {
    Reader reader;
    Outcome out;
    std::size_t begin = 0;
    std::size_t end = step ? std::min(step, file.size()) : file.size();
    std::vector<std::uint8_t> scratch;
    for (;;) {
        const Step got = reader.next(file.subspan(begin, end - begin), end == file.size());
        FUZZ_CHECK(reader.consumed() <= end - begin);
        begin += reader.consumed();
        FUZZ_CHECK(reader.offset() == begin);
        if (got == Step::record) {
            const Record& r = reader.record();
            FUZZ_CHECK(fuzz::inside(r.data, file));
            if (const auto frame = capfile::ethernet_frame(r, scratch)) {
                const std::size_t header = r.linktype == capfile::LINKTYPE_LINUX_SLL    ? 16
                                           : r.linktype == capfile::LINKTYPE_LINUX_SLL2 ? 20
                                                                                        : 0;
                FUZZ_CHECK(frame->size() == (header ? r.data.size() - header + 14 : r.data.size()));
                FUZZ_CHECK(std::equal(r.data.begin() + static_cast<std::ptrdiff_t>(header), r.data.end(),
                                      frame->begin() + (header ? 14 : 0)));
            }
            out.records.push_back({r.time_ns, r.has_time, r.linktype, r.original_length,
                                   std::vector<std::uint8_t>(r.data.begin(), r.data.end())});
        } else if (got == Step::need_more) {
            FUZZ_CHECK(end < file.size());
            FUZZ_CHECK(begin + reader.wanted() > end);  // it asks for octets it has not got
            end = std::min(file.size(), std::max(end + step, begin + reader.wanted()));
        } else {
            if (got == Step::error) {
                out.error = reader.error();
                FUZZ_CHECK(!capfile::describe(*out.error).empty());
            }
            return out;
        }
    }
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = static_cast<std::size_t>(data[0]) + 1;
    const Bytes file(data + 1, size - 1);
    const Outcome whole = read(file, 0);
    const Outcome stepped = read(file, step);
    FUZZ_CHECK(whole.records == stepped.records);
    FUZZ_CHECK(whole.error == stepped.error);

    // Round trip: the records with times classic nanosecond pcap holds, in one link type.
    std::vector<std::uint8_t> out;
    const std::uint32_t linktype = whole.records.empty() ? 1 : whole.records.front().linktype & 0xFFFF;
    for (std::uint32_t v : {0xA1B23C4Du, 0x00040002u, 0u, 0u, 0xFFFFFFFFu, linktype}) put32(out, v);
    std::vector<Seen> kept;
    for (const Seen& r : whole.records) {
        if (!r.has_time || r.time_ns < 0 || r.linktype != linktype) continue;
        const std::int64_t seconds = r.time_ns / 1'000'000'000;
        if (seconds > 0xFFFFFFFF) continue;
        put32(out, static_cast<std::uint32_t>(seconds));
        put32(out, static_cast<std::uint32_t>(r.time_ns % 1'000'000'000));
        put32(out, static_cast<std::uint32_t>(r.data.size()));
        put32(out, r.original_length);
        out.insert(out.end(), r.data.begin(), r.data.end());
        kept.push_back(r);
    }
    const Outcome again = read(out, step);
    FUZZ_CHECK(!again.error);
    FUZZ_CHECK(again.records == kept);
    return 0;
}
