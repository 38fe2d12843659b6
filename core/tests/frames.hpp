// Whole Ethernet frames for the tests and benchmarks of the stream
// analysis: Sampled Values laid out octet by octet, GOOSE through the
// core's own encoder.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ethernet.hpp"
#include "goose.hpp"
#include "bytes_for_tests.hpp"

namespace valdrin::test {

inline constexpr ethernet::Mac SV_DST{0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01};
inline constexpr ethernet::Mac GOOSE_DST{0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01};
inline constexpr ethernet::Mac SRC{0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7};

// One SV ASDU to lay out; the sample octets as given.
struct SvAsdu {
    std::string sv_id = "MU01";
    std::uint16_t smp_cnt = 0;
    std::uint32_t conf_rev = 1;
    std::uint8_t smp_synch = 2;
    Octets sample = Octets(64, 0);
    std::optional<std::uint16_t> smp_rate{};
    std::optional<std::uint16_t> smp_mod{};
};

// A 9-2LE sample: eight INT32 values, each followed by its quality.
inline Octets le_sample(const std::array<std::int32_t, 8>& values, const std::array<std::uint32_t, 8>& quality = {}) {
    Octets out;
    for (std::size_t c = 0; c < 8; ++c) {
        for (std::uint32_t word : {static_cast<std::uint32_t>(values[c]), quality[c]}) {
            out.insert(out.end(), {std::uint8_t(word >> 24), std::uint8_t(word >> 16), std::uint8_t(word >> 8),
                                   std::uint8_t(word)});
        }
    }
    return out;
}

// The 0x30 TLV of one ASDU: svID, smpCnt, confRev, smpSynch, [smpRate], sample, [smpMod].
inline Octets sv_asdu(const SvAsdu& a) {
    const std::uint32_t r = a.conf_rev;
    Octets content = cat({tlv(0x80, Octets(a.sv_id.begin(), a.sv_id.end())),
                          tlv(0x82, {std::uint8_t(a.smp_cnt >> 8), std::uint8_t(a.smp_cnt)}),
                          tlv(0x83, {std::uint8_t(r >> 24), std::uint8_t(r >> 16), std::uint8_t(r >> 8), std::uint8_t(r)}),
                          tlv(0x85, {a.smp_synch})});
    if (a.smp_rate) content = cat({content, tlv(0x86, {std::uint8_t(*a.smp_rate >> 8), std::uint8_t(*a.smp_rate)})});
    content = cat({content, tlv(0x87, a.sample)});
    if (a.smp_mod) content = cat({content, tlv(0x88, {std::uint8_t(*a.smp_mod >> 8), std::uint8_t(*a.smp_mod)})});
    return tlv(0x30, content);
}

// The link header of an SV or GOOSE frame with an APDU of `apdu_size`
// octets: untagged, APPID, Length, reserved1, reserved2 = 0.
inline Octets link_header(std::uint16_t ethertype, std::uint16_t app_id, const ethernet::Mac& dst,
                          std::size_t apdu_size, std::uint16_t reserved1 = 0) {
    Octets out(dst.begin(), dst.end());
    out.insert(out.end(), SRC.begin(), SRC.end());
    const std::size_t length = apdu_size + 8;
    out.insert(out.end(), {std::uint8_t(ethertype >> 8), std::uint8_t(ethertype), std::uint8_t(app_id >> 8),
                           std::uint8_t(app_id), std::uint8_t(length >> 8), std::uint8_t(length),
                           std::uint8_t(reserved1 >> 8), std::uint8_t(reserved1), 0, 0});
    return out;
}

// An SV frame carrying `asdus` in one seqASDU.
inline Octets sv_frame(const std::vector<SvAsdu>& asdus, std::uint16_t app_id = 0x4000,
                       const ethernet::Mac& dst = SV_DST, std::uint16_t reserved1 = 0) {
    Octets seq;
    for (const SvAsdu& a : asdus) seq = cat({seq, sv_asdu(a)});
    const Octets apdu = tlv(0x60, cat({tlv(0x80, {std::uint8_t(asdus.size())}), tlv(0xA2, seq)}));
    return cat({link_header(ethernet::ETHERTYPE_SV, app_id, dst, apdu.size(), reserved1), apdu});
}

// An SV frame of one ASDU of `sv_id` and `smp_cnt`, the sample all zero.
inline Octets sv_frame(std::uint16_t smp_cnt, const std::string& sv_id = "MU01") {
    return sv_frame({SvAsdu{.sv_id = sv_id, .smp_cnt = smp_cnt}});
}

// The GOOSE frame of `pdu` as the core encodes it (untagged).
inline Octets goose_frame(const goose::GoosePdu& pdu, std::uint16_t app_id = 0x0001,
                          const ethernet::Mac& dst = GOOSE_DST) {
    const ethernet::FrameHeader header{dst, SRC, std::nullopt, app_id};
    Octets out(goose::pdu_len(pdu).value() + ethernet::header_size(header));
    if (!goose::encode_frame(pdu, header, out)) std::abort();
    return out;
}

}  // namespace valdrin::test
