// Benchmark of the stream analysis: SV ASDUs per second through
// Analyzer::add for 64 9-2LE streams (one lap of 4000 counters each, in
// memory, interleaved as a merging-unit network delivers them), with 1 and
// with 8 ASDUs per frame; beside it, in the same run, decoding alone
// (parse_frame, sv::decode_pdu and the ASDU iteration) as the baseline.
//
// Usage: analysis_bench [repetitions, default 9] [ASDUs per frame: 1 or 8,
// default both] (one input alone suits callgrind)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "analysis.hpp"
#include "frames.hpp"
#include "goose_sample.hpp"
#include "sv.hpp"

namespace {

using namespace valdrin;
using bench::escape;
using bench::now_ns;
using test::Octets;

constexpr std::size_t STREAMS = 64;
constexpr std::uint32_t WRAP = 4000;

// The frames back to back in one buffer, as a capture ring holds them.
struct Input {
    const char* what;
    std::size_t per_frame;
    Octets octets;
    std::vector<ber::Bytes> frames;  // views into octets
    std::vector<std::int64_t> times;
    std::size_t asdus = 0;
};

// One lap of every stream: frame k of stream s carries counters
// k * per_frame ..., streams interleaved, sines in the channels.
Input make(const char* what, std::size_t per_frame) {
    Input in{what, per_frame, {}, {}, {}};
    std::vector<std::size_t> ends;
    const std::int64_t step = static_cast<std::int64_t>(250'000 * per_frame / STREAMS);
    std::int64_t t = 1'700'000'000'000'000'000;
    for (std::uint32_t k = 0; k < WRAP / per_frame; ++k) {
        for (std::size_t s = 0; s < STREAMS; ++s) {
            std::vector<test::SvAsdu> asdus;
            for (std::size_t a = 0; a < per_frame; ++a) {
                const auto count = static_cast<std::uint16_t>(k * per_frame + a);
                std::array<std::int32_t, 8> values{};
                for (std::size_t c = 0; c < 8; ++c) values[c] = static_cast<std::int32_t>((count * 37 + c * 1000) % 20000) - 10000;
                char id[16];
                std::snprintf(id, sizeof id, "MU%02zu_SV%zu", s, s % 4);
                asdus.push_back({.sv_id = id, .smp_cnt = count, .sample = test::le_sample(values)});
            }
            const Octets frame = test::sv_frame(asdus, static_cast<std::uint16_t>(0x4000 + s));
            in.octets.insert(in.octets.end(), frame.begin(), frame.end());
            ends.push_back(in.octets.size());
            in.times.push_back(t += step);
            in.asdus += per_frame;
        }
    }
    std::size_t start = 0;
    for (std::size_t end : ends) {
        in.frames.push_back(ber::Bytes(in.octets).subspan(start, end - start));
        start = end;
    }
    return in;
}

[[gnu::noinline]] std::size_t decode_only(const Input& in) {
    std::size_t asdus = 0;
    for (ber::Bytes raw : in.frames) {
        escape(raw.data());
        auto frame = ethernet::parse_frame(raw, ethernet::ETHERTYPE_SV);
        if (!frame) std::abort();
        auto pdu = sv::decode_pdu(frame->payload);
        if (!pdu) std::abort();
        std::uint32_t sum = 0;
        for (sv::Asdus list(*pdu); auto asdu = list.next();) {
            sum += asdu->smp_cnt + asdu->sample[0];
            ++asdus;
        }
        escape(&sum);
    }
    return asdus;
}

[[gnu::noinline]] std::size_t analyse(const Input& in, analysis::Analyzer& analyzer) {
    analysis::NoEvents none;
    for (std::size_t i = 0; i < in.frames.size(); ++i) {
        escape(in.frames[i].data());
        analyzer.add(in.frames[i], in.times[i], none);
    }
    return in.asdus;
}

}  // namespace

int main(int argc, char** argv) {
    const long repetitions = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 9;
    const long only = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
    if (repetitions <= 0 || (only != 0 && only != 1 && only != 8)) {
        std::fprintf(stderr, "usage: analysis_bench [repetitions] [1 | 8]\n");
        return 2;
    }
    std::vector<Input> inputs;
    if (only != 8) inputs.push_back(make("1 ASDU per frame", 1));
    if (only != 1) inputs.push_back(make("8 ASDUs per frame", 8));
    std::printf("%zu streams of 9-2LE, one lap of %u counters each; best of %ld\n", STREAMS, WRAP, repetitions);
    for (const Input& in : inputs) {
        analysis::Analyzer analyzer(analysis::Limits{.sv_streams = STREAMS});
        double decode_best = 1e300;
        double add_best = 1e300;
        for (long r = 0; r < repetitions; ++r) {
            double t0 = now_ns();
            if (decode_only(in) != in.asdus) return 1;
            decode_best = std::min(decode_best, now_ns() - t0);
            t0 = now_ns();
            analyse(in, analyzer);
            add_best = std::min(add_best, now_ns() - t0);
        }
        const analysis::Snapshot& live = analyzer.live();
        std::uint64_t lost = 0;
        for (std::size_t s = 0; s < live.sv_count(); ++s) lost += live.sv(s).lost + live.sv(s).duplicated;
        if (live.sv_count() != STREAMS || lost != 0 || !live.sv(0).wrap_learnt) {
            std::fprintf(stderr, "%s: unexpected counters\n", in.what);
            return 1;
        }
        const auto n = static_cast<double>(in.asdus);
        std::printf("%s (%zu frames of %zu octets, %zu ASDUs):\n", in.what, in.frames.size(), in.frames[0].size(),
                    in.asdus);
        std::printf("  decode alone    %6.1f ns per ASDU  %6.2f million ASDUs per second\n", decode_best / n,
                    n * 1e3 / decode_best);
        std::printf("  Analyzer::add   %6.1f ns per ASDU  %6.2f million ASDUs per second (%.2fx decode)\n",
                    add_best / n, n * 1e3 / add_best, add_best / decode_best);
        const double beyond = add_best - decode_best;
        std::printf("  analysis beyond decoding %6.1f ns per ASDU (%.1f million per second alone)\n", beyond / n,
                    beyond > 0 ? n * 1e3 / beyond : 0.0);
    }
    return 0;
}
