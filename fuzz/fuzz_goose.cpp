// The lenient GOOSE decoder on arbitrary octets: it never reads outside
// its input, every span it returns lies inside it, and what it accepts has
// an allData that check_sequence counts as it did and Values reads whole.
#include "check.hpp"
#include "data_walk.hpp"
#include "goose.hpp"

using namespace valdrin;
using fuzz::Bytes;
using fuzz::inside;

namespace {

void describe_goose(const goose::DecodeError& error, ber::Text& out) { goose::describe(error, out); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);

    auto pdu = goose::decode_pdu(input);
    if (!pdu) {
        fuzz::check_message(pdu.error(), describe_goose);
        FUZZ_CHECK(pdu.error().kind != goose::DecodeErrorKind::NotConformant);
        FUZZ_CHECK(pdu.error().kind != goose::DecodeErrorKind::Header);
        return 0;
    }
    FUZZ_CHECK(inside(pdu->gocb_ref, input));
    FUZZ_CHECK(inside(pdu->dat_set, input));
    FUZZ_CHECK(inside(pdu->all_data, input));
    if (pdu->go_id) FUZZ_CHECK(inside(*pdu->go_id, input));
    FUZZ_CHECK(pdu->t.fraction <= 0xFFFFFF);

    auto entries = data::check_sequence(pdu->all_data);
    FUZZ_CHECK(entries && *entries == pdu->entries);
    fuzz::check_accepted_values(pdu->all_data, pdu->entries, input);

    // A pure function: the same octets decode the same way again.
    auto again = goose::decode_pdu(input);
    FUZZ_CHECK(again && again->all_data.data() == pdu->all_data.data() && again->st_num == pdu->st_num &&
               again->sq_num == pdu->sq_num && again->entries == pdu->entries);
    return 0;
}
