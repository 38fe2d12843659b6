// The GOOSE publisher's template reader and per-frame encoder: any frame
// that reads as a template is written again from its parts, with counters,
// TAL and t taken from the input's first octets, and the strict decoder reads
// every field back as written. The schedule functions run on a timing made
// from the same octets and keep their invariants (no overflow, offsets grow
// by the gap).
#include <cstring>
#include <vector>

#include "check.hpp"
#include "goose_schedule.hpp"

using namespace valdrin;
namespace sch = goose::schedule;

namespace {

std::uint64_t take(const std::uint8_t*& at, const std::uint8_t* end) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8 && at < end; ++i) value = value << 8 | *at++;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* at = data;
    const std::uint8_t* end = data + size;
    const std::uint64_t a = take(at, end), b = take(at, end), c = take(at, end);

    const sch::Timing timing{static_cast<std::int64_t>(a % (sch::MAX_INTERVAL_NS + 2)) - 1,
                             static_cast<std::int64_t>(b % (sch::MAX_INTERVAL_NS + 2)) - 1,
                             static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(c >> 32) & 1 ? 100u : 0u};
    if (sch::check(timing)) {
        const std::uint64_t k = c >> 40;
        const __int128 offset = sch::offset_ns(timing, k);
        const std::int64_t gap = sch::gap_ns(timing, k);
        FUZZ_CHECK(gap >= timing.min_time_ns && gap <= timing.max_time_ns);
        FUZZ_CHECK(sch::offset_ns(timing, k + 1) == offset + gap);
        FUZZ_CHECK(sch::tal_ms(timing, k) >= 1);
    }

    const ber::Bytes frame(at, end);
    auto tmpl = sch::read_template(frame);
    if (!tmpl) return 0;
    sch::Varying varying = tmpl->varying;
    varying.st_num = static_cast<std::uint32_t>(a);
    varying.sq_num = static_cast<std::uint32_t>(a >> 32);
    varying.tal_ms = static_cast<std::uint32_t>(b);
    varying.t = sch::utc_of(static_cast<__int128>(b >> 2), varying.t.quality);
    auto size_needed = sch::frame_size(tmpl->fixed, varying);
    if (!size_needed) return 0;
    std::vector<std::uint8_t> out(*size_needed);
    auto written = sch::write_frame(tmpl->fixed, varying, out);
    FUZZ_CHECK(written && *written == out.size());
    auto back = sch::read_template(out);
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(back->varying.st_num == varying.st_num && back->varying.sq_num == varying.sq_num);
    FUZZ_CHECK(back->varying.tal_ms == varying.tal_ms && back->varying.t == varying.t);
    FUZZ_CHECK(back->fixed.gocb_ref == tmpl->fixed.gocb_ref && back->fixed.dat_set == tmpl->fixed.dat_set);
    FUZZ_CHECK(back->fixed.go_id == tmpl->fixed.go_id && back->fixed.conf_rev == tmpl->fixed.conf_rev);
    FUZZ_CHECK(back->varying.all_data.size() == varying.all_data.size() &&
               std::memcmp(back->varying.all_data.data(), varying.all_data.data(), varying.all_data.size()) == 0);
    return 0;
}
