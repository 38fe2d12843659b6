// check_sequence and Values on arbitrary octets taken as an allData
// content: an accepted span is read whole by Values, in pre-order, with
// the count check_sequence gave; Values never fails, whatever the octets.
#include "check.hpp"
#include "data.hpp"
#include "data_walk.hpp"

using namespace valdrin;
using fuzz::Bytes;
using fuzz::inside;

namespace {

void describe_ber(const ber::BerError& error, ber::Text& out) { ber::describe(error, out); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);

    auto count = data::check_sequence(input);
    if (count) {
        FUZZ_CHECK(*count <= size / 2);
        fuzz::check_accepted_values(input, *count, input);
        // The top-level values alone, counted with Tlvs.
        FUZZ_CHECK(ber::Tlvs(input).count() == *count);
    } else {
        fuzz::check_message(count.error(), describe_ber);
        // Even over rejected octets the iteration ends, inside the input.
        std::size_t yielded = 0;
        for (data::Values walk(input); auto value = walk.next();) {
            FUZZ_CHECK(inside(value->octets, input));
            FUZZ_CHECK(++yielded <= size / 2);
        }
    }
    return 0;
}
