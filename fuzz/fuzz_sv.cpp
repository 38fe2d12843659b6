// The Sampled Values decoder on arbitrary octets: decode_pdu never reads
// outside its input, and after it accepts, ASDU iteration yields exactly
// asdu_count records without failing.
#include "check.hpp"
#include "sv.hpp"

using namespace valdrin;
using fuzz::Bytes;
using fuzz::inside;

namespace {

void describe_sv(const sv::SvError& error, ber::Text& out) { sv::describe(error, out); }

void check_asdu(const sv::Asdu& asdu, Bytes input) {
    FUZZ_CHECK(inside(asdu.sv_id, input));
    FUZZ_CHECK(inside(asdu.sample, input));
    if (asdu.dat_set) FUZZ_CHECK(inside(*asdu.dat_set, input));
    if (asdu.gm_identity) FUZZ_CHECK(inside(*asdu.gm_identity, input));
    if (asdu.refr_tm) FUZZ_CHECK(asdu.refr_tm->fraction <= 0xFFFFFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);

    auto pdu = sv::decode_pdu(input);
    if (!pdu) {
        fuzz::check_message(pdu.error(), describe_sv);
    } else {
        FUZZ_CHECK(inside(pdu->content, input));
        if (pdu->security) FUZZ_CHECK(inside(*pdu->security, input));
        sv::Asdus asdus(*pdu);
        std::size_t count = 0;
        while (auto asdu = asdus.next()) {
            check_asdu(*asdu, input);
            ++count;
        }
        FUZZ_CHECK(count == pdu->asdu_count);
        FUZZ_CHECK(!asdus.next());
        // A pure function: the same octets decode the same way again.
        auto again = sv::decode_pdu(input);
        FUZZ_CHECK(again && again->asdu_count == pdu->asdu_count && again->content.data() == pdu->content.data());
    }

    // The same octets as the content of one ASDU.
    auto asdu = sv::decode_asdu(input);
    if (asdu) {
        check_asdu(*asdu, input);
    } else {
        fuzz::check_message(asdu.error(), describe_sv);
    }
    return 0;
}
