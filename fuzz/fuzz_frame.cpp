// parse_frame on arbitrary octets, for both EtherTypes: the header fields
// follow the fixed offsets, the APDU view stays inside the input, and an SV
// frame's APDU goes on to the SV decoder.
#include "check.hpp"
#include "ethernet.hpp"
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
        const std::size_t length = std::size_t{data[h + 2]} << 8 | data[h + 3];
        FUZZ_CHECK(frame->payload.size() + 8 == length);
        FUZZ_CHECK(frame->app_id == (data[h] << 8 | data[h + 1]));
        if (tagged) FUZZ_CHECK(*frame->vlan_id <= 4095 && *frame->vlan_priority <= 7);
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
