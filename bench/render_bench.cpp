// Benchmark of the frame renderer against the bare per-sample math it cannot
// avoid (fmod of the whole-second cycles, the sub-second term, sin, scale,
// rounding), on the same sample instants in the same run.
//
// Usage: render_bench [seconds of stream per repetition, default 1]
#include "sv_engine/faults.hpp"
#include "sv_engine/render.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace {

using valdrin::io::sv_engine::Fault;
using valdrin::io::sv_engine::Playback;
using valdrin::io::sv_engine::Stream;
using valdrin::io::sv_engine::Wave;

constexpr std::int64_t kRate = 4000;
constexpr std::int64_t kFirstSecond = 1700000000;
constexpr int kRepetitions = 51;  // interleaved; the best of each resists a busy machine

// Keeps the compiler from dropping or folding work on `p`.
template <typename T>
void escape(T* p) {
    asm volatile("" : : "g"(p) : "memory");
}

// IEC 61850-9-2LE channel order: Ia, Ib, Ic, In (in mA), Va, Vb, Vc, Vn (in
// 10 mV), 50 Hz, slightly unbalanced so that no channel is skipped.
std::vector<Wave> channels() {
    const double i = 250.0 * std::sqrt(2.0);
    const double v = 230.0 * std::sqrt(2.0);
    return {
        {i, 0.0, 50.0, 0.0, 1000.0, 0},     {i * 0.98, -120.0, 50.0, 0.0, 1000.0, 0},
        {i * 1.01, 120.0, 50.0, 0.0, 1000.0, 0}, {i * 0.03, 37.0, 50.0, 0.0, 1000.0, 0x2000},
        {v, 0.0, 50.0, 0.0, 100.0, 0},      {v, -120.5, 50.0, 0.0, 100.0, 0},
        {v * 0.99, 119.0, 50.0, 0.0, 100.0, 0}, {v * 0.002, 10.0, 50.0, 0.0, 100.0, 0x2000},
    };
}

// A 9-2LE-like frame: per ASDU a 2-octet smpCnt and 64 octets of samples, at
// offsets spaced as an encoded ASDU would place them.
Stream make_stream(std::size_t asdus) {
    Stream st;
    st.waves = channels();
    constexpr std::size_t kHeader = 26, kAsdu = 104;
    st.frame.assign(kHeader + asdus * kAsdu, 0);
    for (std::size_t t = 0; t < asdus; ++t) {
        st.smp_cnt_offsets.push_back(kHeader + t * kAsdu + 24);
        st.sample_offsets.push_back(kHeader + t * kAsdu + 38);
    }
    return st;
}

double now_ns() {
    return std::chrono::duration<double, std::nano>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Renders `seconds` seconds of `st`, through `cache` when given, and with
// `faults` the per-frame work of the fault knobs at rest as the transmit
// thread does it (apply, the delay's load); returns the elapsed
// nanoseconds.
double time_render(const Stream& st, std::int64_t seconds, valdrin::io::sv_engine::SampleCache* cache,
                   valdrin::io::sv_engine::Faults* faults = nullptr) {
    using namespace valdrin::io::sv_engine;
    const auto asdus = static_cast<std::int64_t>(st.smp_cnt_offsets.size());
    std::vector<std::uint8_t> buf = st.frame;
    std::optional<FrameFaults> frame_faults;
    if (faults != nullptr) frame_faults.emplace(st, faults->fields(0));
    std::uint64_t sent = 0;
    const double t0 = now_ns();
    for (std::int64_t sec = kFirstSecond; sec < kFirstSecond + seconds; ++sec) {
        for (std::int64_t first = 0; first < kRate; first += asdus) {
            if (cache != nullptr) {
                valdrin::io::sv_engine::render(st, buf, sec, first, kRate, *cache);
            } else {
                valdrin::io::sv_engine::render(st, buf, sec, first, kRate);
            }
            // Every case counts its copies the same way, one without knobs too.
            if (faults != nullptr) {
                StreamKnobs& knobs = faults->knobs(0);
                sent += frame_faults->apply(knobs, st, buf, first, kRate, frame_faults->delay_ns(knobs)).copies;
            } else {
                sent += 1;
            }
            escape(&sent);
            escape(buf.data());
        }
    }
    return now_ns() - t0;
}

// The same samples' math alone: per sample and channel fmod, the sub-second
// term, sin, offset and scale, rounding; results hashed so none is dropped.
double time_bare_math(const std::vector<Wave>& waves, std::int64_t seconds, std::uint32_t* sink) {
    const double rate = static_cast<double>(kRate);
    std::uint32_t acc = 0;
    const double t0 = now_ns();
    for (std::int64_t sec = kFirstSecond; sec < kFirstSecond + seconds; ++sec) {
        const double sec_d = static_cast<double>(sec);
        for (std::int64_t smp = 0; smp < kRate; ++smp) {
            const double smp_d = static_cast<double>(smp);
            for (const Wave& w : waves) {
                const double a = std::fmod(w.frequency_hz * sec_d, 1.0);
                const double b = (w.frequency_hz * smp_d) / rate;
                const double theta = (a + b) * 6.283185307179586 + w.phase_deg * 0.017453292519943295;
                const double x = w.amplitude * std::sin(theta) + w.offset;
                acc = acc * 31 + static_cast<std::uint32_t>(valdrin::io::sv_engine::to_sample(x * w.scale));
            }
            escape(&acc);
        }
    }
    const double elapsed = now_ns() - t0;
    *sink += acc;
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t seconds = argc > 1 ? std::max<std::int64_t>(1, std::strtoll(argv[1], nullptr, 10)) : 1;
    const std::size_t channel_count = channels().size();
    const double samples = static_cast<double>(seconds * kRate) * static_cast<double>(channel_count);

    struct Case {
        const char* name;
        Stream stream;
        bool cached = false;
        bool knobs = false;
        bool armed = false;  // a knob was set (and cleared): the knobs' full per-frame work
        double best = 1e300;
    };
    Case cases[] = {
        {"1 ASDU/frame", make_stream(1)},
        {"8 ASDUs/frame", make_stream(8)},
        {"1 ASDU/frame, fault + playback idle", make_stream(1)},
        // What the transmit thread does: whole-hertz waves, so after the
        // first second every sample comes from the stream's cache.
        {"1 ASDU/frame, sample cache (thread)", make_stream(1), true},
        {"8 ASDUs/frame, sample cache (thread)", make_stream(8), true},
        // The same with the fault knobs at rest, interleaved in one run.
        {"1 ASDU/frame, cache + idle fault knobs", make_stream(1), true, true},
        {"8 ASDUs/frame, cache + idle fault knobs", make_stream(8), true, true},
        // The control: the cached case again, for the noise between two equal cases.
        {"1 ASDU/frame, sample cache (again)", make_stream(1), true},
        {"1 ASDU/frame, cache + armed knobs at rest", make_stream(1), true, true, true},
        {"8 ASDUs/frame, cache + armed knobs at rest", make_stream(8), true, true, true},
    };
    std::vector<std::unique_ptr<valdrin::io::sv_engine::Faults>> knobs;
    for (const Case& c : cases) {
        valdrin::io::sv_engine::Config config;
        config.streams.push_back(c.stream);
        knobs.push_back(std::make_unique<valdrin::io::sv_engine::Faults>(config));
        if (c.armed && !knobs.back()->clear(0, valdrin::io::sv_engine::Knob::Delay)) return 1;
    }
    std::vector<valdrin::io::sv_engine::SampleCache> caches;
    for (const Case& c : cases) caches.emplace_back(c.stream, kRate);
    // A fault that never opens in the seconds measured and a playback that
    // lies before them: the set-up runs, the synthesis does the rest.
    Stream& idle = cases[2].stream;
    idle.fault = Fault{channels(), 3600, 1, 0, 1.0};
    idle.playback = Playback{channel_count, std::vector<std::int32_t>(channel_count * 16, 1), std::nullopt,
                             std::nullopt, 0};

    double bare_best = 1e300;
    std::uint32_t sink = 0;
    const std::vector<Wave> waves = channels();
    for (int rep = 0; rep < kRepetitions; ++rep) {
        bare_best = std::min(bare_best, time_bare_math(waves, seconds, &sink));
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            Case& c = cases[i];
            c.best = std::min(c.best, time_render(c.stream, seconds, c.cached ? &caches[i] : nullptr,
                                                  c.knobs ? knobs[i].get() : nullptr));
        }
    }

    const double bare_per_sample = bare_best / samples;
    std::printf("rate %lld samples/s, %zu channels of 50 Hz, %lld s per repetition, best of %d\n",
                static_cast<long long>(kRate), channel_count, static_cast<long long>(seconds),
                kRepetitions);
    std::printf("%-42s %10s %12s %8s\n", "", "ns/frame", "ns/sample", "ratio");
    std::printf("%-42s %10s %12.2f %8s\n", "bare math (fmod, sin, round)", "-", bare_per_sample, "1.00");
    for (const Case& c : cases) {
        const double frames = static_cast<double>(seconds * kRate) /
                              static_cast<double>(c.stream.smp_cnt_offsets.size());
        const double per_sample = c.best / samples;
        std::printf("%-42s %10.1f %12.2f %8.2f\n", c.name, c.best / frames, per_sample,
                    per_sample / bare_per_sample);
    }
    // Knobs against the same cached rendering without them, from the same run.
    std::printf("control, the same work twice, 1 ASDU/frame: %.3f x\n", cases[7].best / cases[3].best);
    for (const Case& with : cases) {
        if (!with.knobs) continue;
        for (const Case& without : cases) {
            if (!without.cached || without.knobs ||
                without.stream.smp_cnt_offsets.size() != with.stream.smp_cnt_offsets.size()) {
                continue;
            }
            if (&without == &cases[7]) continue;  // the control
            std::printf("%s fault knobs, %zu ASDU(s)/frame: %.3f x the time without\n",
                        with.armed ? "armed" : "idle", with.stream.smp_cnt_offsets.size(), with.best / without.best);
        }
    }
    std::printf("(checksum %08x)\n", static_cast<unsigned>(sink));
    return 0;
}
