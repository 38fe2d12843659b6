// The SV counter rule on arbitrary smpCnt sequences: the input is the
// counters, two octets each (little-endian), in arrival order; the first
// 512 are read (laps of small wraps show every rule, and random jumps cost
// a clearing of up to 32767 counters each).
// Checked: each sample is placed once (a duplicate on a sample received
// before, a new one on none), a new newest ahead of the last newest and a
// late one behind it by at most half a wrap, every counter within the
// wrap, and the figures agree with the places: span from the earliest to
// the newest, lost the span's samples never received.
#include <algorithm>
#include <set>
#include <utility>

#include "check.hpp"
#include "sv_counter.hpp"

using valdrin::analysis::SvCounter;
using valdrin::analysis::SvOrder;
using valdrin::analysis::SvPlace;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SvCounter counter;
    std::set<std::pair<std::int64_t, std::uint16_t>> received;  // (lap, smp_cnt): independent of the wrap
    std::uint64_t asdus = 0;
    constexpr std::size_t MAX_COUNTERS = 512;
    for (std::size_t at = 0; at + 1 < std::min(size, 2 * MAX_COUNTERS); at += 2) {
        const auto smp_cnt = static_cast<std::uint16_t>(data[at] | data[at + 1] << 8);
        const SvPlace before = counter.newest();
        const bool first = counter.received() == 0;
        const SvPlace place = counter.add(smp_cnt);
        ++asdus;
        FUZZ_CHECK(place.smp_cnt == smp_cnt && smp_cnt < counter.wrap());
        const bool known = received.contains({place.lap, place.smp_cnt});
        FUZZ_CHECK(known == (place.order == SvOrder::Duplicate));
        received.insert({place.lap, place.smp_cnt});
        const std::int64_t newest = counter.index(before);  // under the wrap after this counter
        const std::int64_t index = counter.index(place);
        switch (place.order) {
            case SvOrder::Newest:
                FUZZ_CHECK(counter.newest() == place);
                FUZZ_CHECK(first || (index > newest && index - newest <= counter.wrap() / 2));
                break;
            case SvOrder::Late:
                FUZZ_CHECK(index < newest && newest - index <= (counter.wrap() + 1) / 2);
                break;
            case SvOrder::Duplicate:
                FUZZ_CHECK(index <= newest);
                break;
        }
    }
    FUZZ_CHECK(counter.received() == received.size());
    FUZZ_CHECK(counter.received() + counter.duplicated() == asdus);
    if (received.empty()) {
        FUZZ_CHECK(counter.span() == 0 && counter.lost() == 0);
        return 0;
    }
    std::int64_t low = INT64_MAX;
    std::int64_t high = INT64_MIN;
    for (const auto& [lap, smp_cnt] : received) {
        const std::int64_t index = counter.index({SvOrder::Newest, smp_cnt, lap});
        low = std::min(low, index);
        high = std::max(high, index);
    }
    FUZZ_CHECK(low == counter.index(counter.earliest()) && high == counter.index(counter.newest()));
    FUZZ_CHECK(counter.span() == static_cast<std::uint64_t>(high - low) + 1);
    FUZZ_CHECK(counter.lost() == counter.span() - received.size());
    return 0;
}
