// The SV watch on arbitrary frame sequences. The input starts with its
// settings (8 octets: window, pickup, delay, channel, marked smpCnt, and the
// supervision: ignore invalid, ignore test, block unsynchronised, bits 0-2;
// block after 0-7 lost samples, bits 3-5), then
// records, each an operation octet and its operands:
//   op % 3 == 0: a raw frame, 1 octet length, received or sent (op bit 2)
//   op % 3 == 1: an SV frame of the watched stream synthesised from 6
//                octets (smpCnt, the watched channel's value), same direction bit
//   op % 3 == 2: the same with another svID
// Checked: events only of the watch's kinds and direction, trips and resets
// alternating from a trip and agreeing with the element's state, the RMS
// finite and on the right side of the pickup, departures only of the
// marked smpCnt, every id the watched svID, blocks and releases
// alternating from a block, and no trip or reset while blocked.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "check.hpp"
#include "sv_watch.hpp"

using namespace valdrin;
using analysis::Event;
using analysis::EventKind;
using fuzz::Bytes;

namespace {

const std::string SV_ID = "MU01";

struct Checking final : analysis::EventSink {
    const analysis::SvWatch* watch = nullptr;
    bool outgoing = false;
    bool tripped = false;
    bool blocked = false;
    std::uint64_t events = 0;
    void on(const Event& event) noexcept override {
        ++events;
        FUZZ_CHECK(std::string(event.id.begin(), event.id.end()) == SV_ID);
        const auto& options = watch->options();
        switch (event.kind) {
            case EventKind::SvDeparture:
                FUZZ_CHECK(outgoing && event.outgoing);
                FUZZ_CHECK(options.departure_smp_cnt && event.smp_cnt == *options.departure_smp_cnt);
                break;
            case EventKind::ProtectionBlocked:
                FUZZ_CHECK(!outgoing);
                blocked = true;  // again for another reason
                break;
            case EventKind::ProtectionReleased:
                FUZZ_CHECK(!outgoing && blocked && watch->overcurrent()->ready());
                blocked = false;
                break;
            case EventKind::OvercurrentTrip:
            case EventKind::OvercurrentReset: {
                FUZZ_CHECK(!outgoing && !blocked);
                const bool trip = event.kind == EventKind::OvercurrentTrip;
                FUZZ_CHECK(trip != tripped);  // alternating, from a trip
                tripped = trip;
                FUZZ_CHECK(watch->overcurrent()->tripped() == trip);
                FUZZ_CHECK(std::isfinite(event.rms) && event.rms >= 0.0);
                const double pickup = options.overcurrent->pickup;
                // Exact in integers, rounded in the double: a relative margin.
                if (trip) FUZZ_CHECK(event.rms >= pickup * (1 - 1e-9));
                else FUZZ_CHECK(event.rms <= pickup * (1 + 1e-9));
                break;
            }
            default:
                FUZZ_CHECK(false);
        }
    }
};

std::vector<std::uint8_t> tlv(std::uint8_t tag, const std::vector<std::uint8_t>& content) {
    std::vector<std::uint8_t> out{tag};
    if (content.size() < 128) {
        out.push_back(static_cast<std::uint8_t>(content.size()));
    } else {
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(content.size())});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// An untagged SV frame of one ASDU: `sv_id`, smpCnt, and a 9-2LE sample
// whose every channel holds `value`.
std::vector<std::uint8_t> sv_frame(const std::string& sv_id, std::uint16_t smp_cnt, std::int32_t value) {
    std::vector<std::uint8_t> sample;
    for (int c = 0; c < 8; ++c) {
        const auto v = static_cast<std::uint32_t>(value);
        sample.insert(sample.end(), {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v),
                                     0, 0, 0, 0});
    }
    std::vector<std::uint8_t> asdu = tlv(0x80, std::vector<std::uint8_t>(sv_id.begin(), sv_id.end()));
    for (const auto& part : {tlv(0x82, {std::uint8_t(smp_cnt >> 8), std::uint8_t(smp_cnt)}), tlv(0x83, {0, 0, 0, 1}),
                             tlv(0x85, {0}), tlv(0x87, sample)}) {
        asdu.insert(asdu.end(), part.begin(), part.end());
    }
    std::vector<std::uint8_t> seq = tlv(0x30, asdu);
    std::vector<std::uint8_t> pdu_content = tlv(0x80, {1});
    const auto seq_tlv = tlv(0xA2, seq);
    pdu_content.insert(pdu_content.end(), seq_tlv.begin(), seq_tlv.end());
    const auto apdu = tlv(0x60, pdu_content);
    std::vector<std::uint8_t> out{0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01, 0, 0, 0, 0, 0, 1, 0x88, 0xBA, 0x40, 0x00};
    const std::size_t length = apdu.size() + 8;
    out.insert(out.end(), {std::uint8_t(length >> 8), std::uint8_t(length), 0, 0, 0, 0});
    out.insert(out.end(), apdu.begin(), apdu.end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    analysis::SvWatchOptions options{.sv_id = SV_ID};
    // Small windows and pickups, so that decisions happen within an input.
    const std::uint32_t window = 1 + data[0] % 8;
    const std::uint32_t pickup = 1 + static_cast<std::uint32_t>(data[1]) * data[2];
    const std::uint64_t delay = data[3] % 16;
    options.channel = data[4] % 9;  // 8: beyond the sample, never fed
    options.departure_smp_cnt = static_cast<std::uint16_t>(data[5] << 8 | data[6]);
    options.overcurrent = protection::OvercurrentSettings{window, pickup, delay};
    options.ignore_invalid = (data[7] & 1) != 0;
    options.ignore_test = (data[7] & 2) != 0;
    options.block_unsynchronised = (data[7] & 4) != 0;
    options.block_after_lost = (data[7] >> 3) & 7;
    auto watch = analysis::SvWatch::make(options);
    FUZZ_CHECK(watch.has_value());
    Checking sink;
    sink.watch = &*watch;
    std::size_t at = 8;
    std::int64_t t = 0;
    while (at < size) {
        const std::uint8_t op = data[at++];
        sink.outgoing = (op & 4) != 0;
        t += 250'000;
        if (op % 3 == 0) {
            if (at >= size) break;
            const std::size_t wanted = data[at];
            ++at;
            const std::size_t n = std::min(wanted, size - at);
            const std::vector<std::uint8_t> frame(data + at, data + at + n);  // its own allocation, for ASan
            at += n;
            watch->add(frame, t, sink.outgoing, sink);
            continue;
        }
        if (size - at < 6) break;
        const auto smp_cnt = static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
        const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(data[at + 2]) << 24 |
                                                     static_cast<std::uint32_t>(data[at + 3]) << 16 |
                                                     static_cast<std::uint32_t>(data[at + 4]) << 8 | data[at + 5]);
        at += 6;
        const auto frame = sv_frame(op % 3 == 1 ? SV_ID : "MU02", smp_cnt, value);
        const std::uint64_t before = sink.events;
        watch->add(frame, t, sink.outgoing, sink);
        if (op % 3 == 2) FUZZ_CHECK(sink.events == before);
    }
    return 0;
}
