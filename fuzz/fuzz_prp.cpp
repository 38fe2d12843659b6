// The PRP trailer, supervision frame and HSR tag readers on arbitrary
// octets, and the Receiver on a sequence of frames cut from the input.
// Checked: views stay inside the input; a trailer read is the last six
// octets and written back the same when its size was right; an HSR frame
// untagged is six octets shorter with the same head and tail; the Receiver
// accounts for every frame (passed on, discarded or supervision), and a
// stream's losses on one LAN never exceed its frames on the other.
#include <algorithm>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "octets.hpp"
#include "prp.hpp"
#include "prp_receiver.hpp"

using namespace valdrin;
using fuzz::Bytes;
using fuzz::inside;

namespace {

void check_readers(Bytes raw) {
    auto tagged = prp::read_trailer(raw);
    if (tagged) {
        FUZZ_CHECK(inside(tagged->frame, raw));
        FUZZ_CHECK(tagged->frame.size() + prp::TRAILER_SIZE == raw.size());
        FUZZ_CHECK(tagged->frame.data() == raw.data());
        FUZZ_CHECK(tagged->trailer.lan_id == 0xA || tagged->trailer.lan_id == 0xB);
        // The frame in front of the trailer, written again with the trailer
        // read: the same octets when the size was right and no padding was added.
        if (tagged->size_ok() && raw.size() >= prp::MIN_FRAME_SIZE + prp::TRAILER_SIZE) {
            std::vector<std::uint8_t> out(raw.begin(), raw.end() - prp::TRAILER_SIZE);
            out.resize(raw.size());
            auto size = prp::write_trailer(out, tagged->frame.size(), tagged->trailer.seq, tagged->lan());
            FUZZ_CHECK(size && *size == raw.size());
            FUZZ_CHECK(std::equal(out.begin(), out.end(), raw.begin()));
        }
        auto supervision = prp::read_supervision(tagged->frame);
        if (supervision) FUZZ_CHECK(supervision->tlv_type == 20 || supervision->tlv_type == 21);
    } else {
        FUZZ_CHECK(!prp::message(tagged.error()).empty());
    }
    auto tag = prp::read_hsr(raw);
    if (tag) {
        std::vector<std::uint8_t> out(raw.size());
        auto size = prp::untag_hsr(raw, *tag, out);
        FUZZ_CHECK(size && *size + prp::HSR_TAG_SIZE == raw.size());
        FUZZ_CHECK(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(tag->at), raw.begin()));
        FUZZ_CHECK(octets::load_be16(out.data() + tag->at) == tag->ethertype);
        FUZZ_CHECK(std::equal(out.begin() + static_cast<std::ptrdiff_t>(tag->at), out.begin() + static_cast<std::ptrdiff_t>(*size),
                              raw.begin() + static_cast<std::ptrdiff_t>(tag->at + prp::HSR_TAG_SIZE)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);
    check_readers(input);

    // Frames: a length octet, a control octet (bit 0: LAN B; bits 1-7: the
    // time step in ms), then the frame's octets.
    prp::ReceiverLimits limits;
    limits.nodes = 4;
    limits.flows = 4;
    limits.window = 8;
    prp::Receiver receiver(limits);
    std::int64_t t_ns = 0;
    std::size_t at = 0;
    std::uint64_t passed = 0;
    std::uint64_t frames = 0;
    while (at + 2 <= size) {
        const std::size_t n = std::min<std::size_t>(data[at], size - at - 2);
        const auto lan = (data[at + 1] & 1) ? prp::Lan::B : prp::Lan::A;
        t_ns += std::int64_t{data[at + 1] >> 1} * 1'000'000;
        const Bytes frame = input.subspan(at + 2, n);
        check_readers(frame);
        auto out = receiver.add(frame, lan, t_ns);
        ++frames;
        if (out) {
            ++passed;
            FUZZ_CHECK(!out->empty() || frame.empty());
            FUZZ_CHECK(out->size() <= frame.size());
        }
        at += 2 + n;
    }
    receiver.finish();
    const prp::ReceiverTotals& totals = receiver.totals();
    FUZZ_CHECK(totals.frames[0] + totals.frames[1] == frames);
    FUZZ_CHECK(passed + totals.discarded + totals.supervision[0] + totals.supervision[1] +
                   totals.bad_supervision[0] + totals.bad_supervision[1] ==
               frames);
    for (std::size_t i = 0; i < receiver.flow_count(); ++i) {
        const prp::Flow& f = receiver.flow(i);
        // Each frame lost on one LAN came on the other.
        FUZZ_CHECK(f.lost[0] <= f.frames[1] && f.lost[1] <= f.frames[0]);
        FUZZ_CHECK(f.skew.count() <= std::min(f.frames[0], f.frames[1]));
    }
    return 0;
}
