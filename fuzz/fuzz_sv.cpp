// The Sampled Values decoder on arbitrary octets: decode_pdu never reads
// outside its input, and after it accepts, ASDU iteration yields exactly
// asdu_count records without failing. decode_pdu_each gives decode_pdu's
// result, error included, and visits exactly the ASDUs Asdus yields.
#include <vector>

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

// The same views (octets at the same place) and the same numbers.
bool same_view(Bytes a, Bytes b) { return a.data() == b.data() && a.size() == b.size(); }
bool same_view(const std::optional<Bytes>& a, const std::optional<Bytes>& b) {
    return a.has_value() == b.has_value() && (!a || same_view(*a, *b));
}
bool same_asdu(const sv::Asdu& a, const sv::Asdu& b) {
    return same_view(a.sv_id, b.sv_id) && same_view(a.dat_set, b.dat_set) && a.smp_cnt == b.smp_cnt &&
           a.conf_rev == b.conf_rev && a.refr_tm == b.refr_tm && a.smp_synch == b.smp_synch &&
           a.smp_rate == b.smp_rate && same_view(a.sample, b.sample) && a.smp_mod == b.smp_mod &&
           same_view(a.gm_identity, b.gm_identity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);

    auto pdu = sv::decode_pdu(input);

    // One pass with a visitor: decode_pdu's result, the ASDUs of Asdus.
    std::vector<sv::Asdu> visited;
    auto each = sv::decode_pdu_each(input, [&](const sv::Asdu& asdu) { visited.push_back(asdu); });
    FUZZ_CHECK(each.has_value() == pdu.has_value());
    if (!pdu) {
        FUZZ_CHECK(each.error() == pdu.error());
    } else {
        FUZZ_CHECK(same_view(each->content, pdu->content) && same_view(each->security, pdu->security));
        FUZZ_CHECK(each->asdu_count == pdu->asdu_count && visited.size() == pdu->asdu_count);
        sv::Asdus asdus(*pdu);
        for (const sv::Asdu& seen : visited) {
            auto asdu = asdus.next();
            FUZZ_CHECK(asdu && same_asdu(*asdu, seen));
        }
        FUZZ_CHECK(!asdus.next());
    }
    for (const sv::Asdu& seen : visited) check_asdu(seen, input);
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
