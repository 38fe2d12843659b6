// parse_frame on arbitrary octets, for both EtherTypes: the header fields
// follow the fixed offsets, the APDU view stays inside the input, the
// header written back from the fields is the same octets, and an SV
// frame's APDU goes on to the SV decoder.
#include <algorithm>
#include <vector>

#include "check.hpp"
#include "ethernet.hpp"
#include "octets.hpp"
#include "sv.hpp"

using namespace valdrin;
using fuzz::Bytes;
using fuzz::inside;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes raw(data, size);
    for (std::uint16_t ethertype : {ethernet::ETHERTYPE_SV, ethernet::ETHERTYPE_GOOSE}) {
        auto frame = ethernet::parse_frame(raw, ethertype);
        if (!frame) continue;
        FUZZ_CHECK(frame->ethertype == ethertype);
        FUZZ_CHECK(inside(frame->payload, raw));
        const bool tagged = frame->vlan_id.has_value();
        FUZZ_CHECK(tagged == frame->vlan_priority.has_value());
        const std::size_t h = tagged ? 18 : 14;
        FUZZ_CHECK(size >= h + 8);
        FUZZ_CHECK(frame->payload.data() == data + h + 8);
        FUZZ_CHECK(frame->payload.size() + 8 == octets::load_be16(data + h + 2));
        FUZZ_CHECK(frame->app_id == octets::load_be16(data + h));
        if (tagged) FUZZ_CHECK(*frame->vlan_id <= 4095 && *frame->vlan_priority <= 7);

        // write_header puts the same header back, but for the fields it
        // always writes as zero: the DEI bit and the reserved words.
        const bool dei = tagged && (data[14] & 0x10) != 0;
        if (!dei && frame->reserved1 == 0 && frame->reserved2 == 0) {
            std::optional<ethernet::Vlan> vlan;
            if (tagged) vlan = ethernet::Vlan{*frame->vlan_id, *frame->vlan_priority};
            const ethernet::FrameHeader header{frame->dst_mac, frame->src_mac, vlan, frame->app_id};
            std::vector<std::uint8_t> out(h + 8 + frame->payload.size());
            auto written = ethernet::write_header(header, ethertype, frame->payload.size(), out);
            FUZZ_CHECK(written && *written == out.size());
            FUZZ_CHECK(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(h + 8), data));
        }
        if (ethertype == ethernet::ETHERTYPE_SV) {
            auto pdu = sv::decode_pdu(frame->payload);
            if (pdu) {
                FUZZ_CHECK(inside(pdu->content, frame->payload));
                sv::Asdus asdus(*pdu);
                std::size_t count = 0;
                while (asdus.next()) ++count;
                FUZZ_CHECK(count == pdu->asdu_count);
            }
        }
    }
    return 0;
}
