// The SV publisher's immutable configuration: one Config per Publisher, one
// Stream per published stream. Plain native data, built once by its owner
// (the binding converts it from Python objects) and only read afterwards, by
// the renderer and the transmit thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace valdrin::io::sv_engine {

// One channel's signal: amplitude * sin(2π f t + phase) + offset, scaled to
// an INT32 sample, sent beside a fixed quality word.
struct Wave {
    double amplitude = 0.0;
    double phase_deg = 0.0;
    double frequency_hz = 0.0;
    double offset = 0.0;
    double scale = 1.0;
    std::uint32_t quality = 0;
};

// A recurring window during which `waves` replace the stream's own waves.
struct Fault {
    std::vector<Wave> waves;               // as many as the stream's waves
    std::int64_t cycle_s = 1;              // below 1 acts as 1
    std::int64_t offset_s = 0;             // opens when (S - offset_s) % cycle == 0
    std::int64_t start_smp = 0;            // clamped to 0 .. rate-1 when used
    std::optional<double> duration_s;      // absent: half a cycle
};

// Recorded samples that take the place of the synthesis where they exist.
struct Playback {
    std::uint64_t channels = 0;                       // values per row, >= 1
    std::vector<std::int32_t> values;                 // whole rows, >= 1 row
    std::optional<std::vector<std::uint32_t>> qualities;  // as long as values
    std::optional<std::int64_t> period;               // loop length, >= 1
    std::int64_t start = 0;                           // absolute sample of row 0
};

// One published stream: a complete SV Ethernet frame and where in it the
// renderer writes each ASDU's smpCnt and samples (8 octets per channel:
// INT32 value, then 32-bit quality).
struct Stream {
    std::vector<std::uint8_t> frame;
    std::vector<std::uint64_t> smp_cnt_offsets;  // one per ASDU, field of 2 octets
    std::vector<std::uint64_t> sample_offsets;   // one per ASDU, 8 octets per wave
    std::vector<Wave> waves;                     // one per channel
    std::optional<Fault> fault;
    std::optional<Playback> playback;
};

// Invariants established at construction and relied upon without checks:
// rate >= 1, asdus_per_frame >= 1 and divides rate; every stream has
// asdus_per_frame ASDUs; every counter and sample field lies inside its
// frame; fault waves and playback rows match the stream's channel count.
struct Sequence;

struct Config {
    std::string iface;
    std::int64_t rate = 1;
    std::int64_t asdus_per_frame = 1;
    std::vector<Stream> streams;
    std::int64_t start_second = 0;
    std::optional<std::int32_t> rt_priority;
    std::optional<std::uint64_t> cpu;
    // Frame periods from start_second after which the thread ends on its
    // own; absent: until stopped.
    std::optional<std::uint64_t> periods;
    // A state sequence that one stream's samples follow instead of its
    // waves (sv_engine/sequence.hpp); absent: every stream as described.
    std::shared_ptr<const Sequence> sequence;
    // PRP: LAN B's interface (iface is LAN A's); every frame goes out on
    // both with its trailer (prp_sender.hpp). Absent: one LAN, no trailer.
    std::optional<std::string> prp_iface_b;
};

}  // namespace valdrin::io::sv_engine
