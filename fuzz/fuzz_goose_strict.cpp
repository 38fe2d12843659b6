// The strict GOOSE decoder on arbitrary octets: it fails wherever the
// lenient one fails, with the same error; it adds only NotConformant; and
// what it accepts, the lenient decoder accepts with the same fields, the
// declared number of entries matching the values present.
#include "check.hpp"
#include "goose.hpp"

using namespace valdrin;
using fuzz::Bytes;

namespace {

void describe_goose(const goose::DecodeError& error, ber::Text& out) { goose::describe(error, out); }

bool same(Bytes a, Bytes b) { return a.data() == b.data() && a.size() == b.size(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);

    auto strict = goose::decode_pdu_strict(input);
    auto lenient = goose::decode_pdu(input);
    if (!strict) {
        fuzz::check_message(strict.error(), describe_goose);
        if (strict.error().kind == goose::DecodeErrorKind::NotConformant) {
            FUZZ_CHECK(lenient.has_value());
        } else {
            FUZZ_CHECK(!lenient && lenient.error() == strict.error());
        }
        return 0;
    }
    FUZZ_CHECK(lenient.has_value());
    const goose::ReceivedPdu& s = *strict;
    const goose::ReceivedPdu& l = *lenient;
    FUZZ_CHECK(same(s.gocb_ref, l.gocb_ref) && same(s.dat_set, l.dat_set) && same(s.all_data, l.all_data));
    FUZZ_CHECK(s.go_id.has_value() == l.go_id.has_value());
    if (s.go_id) FUZZ_CHECK(same(*s.go_id, *l.go_id));
    FUZZ_CHECK(s.time_allowed_to_live == l.time_allowed_to_live && s.st_num == l.st_num && s.sq_num == l.sq_num &&
               s.conf_rev == l.conf_rev && s.num_dat_set_entries == l.num_dat_set_entries &&
               s.entries == l.entries && s.t == l.t && s.simulation == l.simulation && s.nds_com == l.nds_com);

    // What conformance guarantees: the whole input is the PDU, the numbers
    // fit 32 bits, gocbRef is printable and not empty, the count matches.
    FUZZ_CHECK(!s.gocb_ref.empty() && s.gocb_ref.size() <= 129);
    FUZZ_CHECK(s.time_allowed_to_live <= 0xFFFFFFFF && s.st_num <= 0xFFFFFFFF && s.sq_num <= 0xFFFFFFFF &&
               s.conf_rev <= 0xFFFFFFFF && s.num_dat_set_entries <= 0xFFFFFFFF);
    FUZZ_CHECK(s.entries == s.num_dat_set_entries);
    FUZZ_CHECK(s.all_data.data() + s.all_data.size() == input.data() + input.size());
    return 0;
}
