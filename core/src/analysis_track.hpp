// What the Analyzer keeps besides its Snapshot: the sequence state of each
// stream and block, and the key hashing of its lookup tables. Private to
// analysis.cpp, analyzer_sv.cpp and analyzer_goose.cpp.
#pragma once

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "analysis.hpp"
#include "sv_counter.hpp"

namespace valdrin::analysis {

// An SV stream's counter state.
struct Analyzer::SvTrack {
    std::uint64_t frame_seq = 0;  // the last frame that carried this stream
    SvCounter counter;
    // The intervals between its frames that were no outage: their sum and count.
    std::uint64_t usual_sum_ns = 0;
    std::uint64_t usual_count = 0;

    // Whether `gap` is an outage: longer than three times the mean usual interval.
    [[nodiscard]] bool outage(std::uint64_t gap) const noexcept {
        return usual_count > 0 &&
               static_cast<unsigned __int128>(gap) * usual_count > static_cast<unsigned __int128>(usual_sum_ns) * 3;
    }
};

// What the analysis reads of a decoded ASDU, as views into the frame kept
// for the span of one add() while the rest of the savPdu is checked.
// Plain pointers: an array of them is made without being zeroed.
struct Analyzer::SvCounted {
    const std::uint8_t* sv_id_at;
    const std::uint8_t* sample_at;
    std::uint32_t sv_id_size;   // an ASDU of 4 GiB is never met: a frame's Length has 16 bits
    std::uint32_t sample_size;
    std::uint32_t conf_rev;
    std::uint16_t smp_cnt;
    std::uint16_t smp_rate;  // 0 when absent
    std::uint16_t smp_mod;   // 0 when absent
    std::uint8_t smp_synch;
    bool has_smp_rate;
    bool has_smp_mod;

    Bytes sv_id() const noexcept { return {sv_id_at, sv_id_size}; }
    Bytes sample() const noexcept { return {sample_at, sample_size}; }
    static SvCounted of(const sv::Asdu& asdu) noexcept {
        return {asdu.sv_id.data(),
                asdu.sample.data(),
                static_cast<std::uint32_t>(asdu.sv_id.size()),
                static_cast<std::uint32_t>(asdu.sample.size()),
                asdu.conf_rev,
                asdu.smp_cnt,
                asdu.smp_rate.value_or(0),
                asdu.smp_mod.value_or(0),
                asdu.smp_synch,
                asdu.smp_rate.has_value(),
                asdu.smp_mod.has_value()};
    }
};

// A GOOSE block's sequence and TAL state, and what its next frame is
// compared with.
struct Analyzer::GooseTrack {
    std::int64_t deadline_ns = 0;    // last frame's time plus its TAL
    bool expiry_counted = false;     // that deadline's expiry was already counted
    std::uint64_t behind_run = 0;    // frames in a row behind the newest, each continuing the one before
    // The newest state's sqNums counted lost, the 64 below the newest: bit
    // j stands for sqNum newest - 1 - j. One that comes late (a frame that
    // took the slower of two LANs) was not lost after all.
    std::uint64_t missing = 0;
    // The frame that arrived last: its stNum, sqNum and t.
    std::uint64_t previous_st = 0;
    std::uint64_t previous_sq = 0;
    data::UtcTime previous_t{};
    // The newest in-order frame: stNum, t, confRev, allData's member count
    // and the hash of its types (no values), and its allData content, at
    // this offset in the block's kept frame, whose octets are cut to
    // Limits::frame_length; when it did not fit there, its hash completes
    // the comparison of the part that did.
    std::uint64_t newest_st = 0;
    data::UtcTime newest_t{};
    std::uint64_t newest_conf_rev = 0;
    std::size_t newest_entries = 0;
    std::uint64_t newest_types = 0;
    std::size_t newest_data_at = 0;
    std::size_t newest_data_size = 0;
    std::uint64_t newest_data_hash = 0;
};

namespace track {

// The lowest `n` bits set (all 64 from n = 64 on).
inline constexpr std::uint64_t low_bits(std::uint64_t n) noexcept {
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// Writes a 9-2LE sample's values to a stream's ring (`to`, 16-octet
// aligned) without reading the cache line in first: the ring's lines are
// written a sample at a time, far apart, and read only for a snapshot, so
// each would otherwise cost a read from memory (about 30 ns a frame on 32
// streams). Visible to the writing thread at once, to others after
// settle_streaming_stores.
inline void store_streaming(std::array<std::int32_t, CHANNELS>& to, const std::array<std::int32_t, CHANNELS>& values) noexcept {
#if defined(__SSE2__)
    static_assert(sizeof to == 32);
    auto* out = reinterpret_cast<__m128i*>(to.data());
    _mm_stream_si128(out, _mm_loadu_si128(reinterpret_cast<const __m128i*>(values.data())));
    _mm_stream_si128(out + 1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(values.data() + 4)));
#else
    to = values;
#endif
}

// Orders the streaming stores before whatever the calling thread writes next.
inline void settle_streaming_stores() noexcept {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

inline std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Six octets as a load of four and one of two, without a call to memcmp.
inline bool same_mac(const Mac& a, const Mac& b) noexcept {
    std::uint32_t a4, b4;
    std::uint16_t a2, b2;
    std::memcpy(&a4, a.data(), 4);
    std::memcpy(&b4, b.data(), 4);
    std::memcpy(&a2, a.data() + 4, 2);
    std::memcpy(&b2, b.data() + 4, 2);
    return ((a4 ^ b4) | static_cast<std::uint32_t>(a2 ^ b2)) == 0;
}

// Inline eight octets at a time, the last eight read whole (overlapping
// the chunk before): identifiers are short, a call to memcmp costs more.
inline bool same_octets(Bytes a, const std::uint8_t* b, std::size_t b_size) noexcept {
    const std::size_t n = a.size();
    if (n != b_size) return false;
    const std::uint8_t* p = a.data();
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i) {
            if (p[i] != b[i]) return false;
        }
        return true;
    }
    for (std::size_t at = 0; at + 8 < n; at += 8) {
        if (load64(p + at) != load64(b + at)) return false;
    }
    return load64(p + n - 8) == load64(b + n - 8);
}

// The final mix of MurmurHash3: every input bit reaches every output bit.
constexpr std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

// A hash of APPID, destination MAC and identifier, eight octets at a time;
// the last eight octets of an identifier of eight or more are read whole
// (overlapping the chunk before), a shorter one octet by octet.
inline std::uint64_t hash_key(std::uint16_t app_id, const Mac& mac, Bytes id) noexcept {
    std::uint64_t h = app_id;
    for (std::uint8_t octet : mac) h = h << 8 | octet;
    h = mix(h ^ (std::uint64_t{id.size()} << 56));
    const std::uint8_t* p = id.data();
    const std::size_t n = id.size();
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    if (n >= 8) {
        for (std::size_t at = 0; at + 8 < n; at += 8) h = (h ^ load64(p + at)) * k;
        h = (h ^ load64(p + n - 8)) * k;
    } else if (n > 0) {
        std::uint64_t tail = 0;
        for (std::size_t at = 0; at < n; ++at) tail = tail << 8 | p[at];
        h = (h ^ tail) * k;
    }
    return mix(h);
}

// Counts a `conf_rev` other than `expected` (when there is one) in an
// SvStream's or GooseBlock's unexpected_conf_rev, the first kept.
template <class Entry>
void count_unexpected_conf_rev(Entry& entry, const std::optional<std::uint64_t>& expected, std::uint64_t conf_rev,
                               std::int64_t t_ns) noexcept {
    if (!expected || conf_rev == *expected || entry.unexpected_conf_rev++ > 0) return;
    entry.first_unexpected_conf_rev = static_cast<decltype(entry.first_unexpected_conf_rev)>(conf_rev);
    entry.first_unexpected_conf_rev_ns = t_ns;
}

// The slot count for `entries`: a power of two at least twice as large.
constexpr std::size_t slots_for(std::size_t entries) noexcept {
    return std::bit_ceil(entries < 4 ? std::size_t{8} : entries * 2);
}

}  // namespace track
}  // namespace valdrin::analysis
