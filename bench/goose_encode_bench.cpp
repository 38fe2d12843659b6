// Benchmark of GOOSE encoding in the core: a typical PDU of 30 data set
// entries (ten structures of stVal, q and t; ten floats; ten integers),
// encoded bare, as a frame, and sized then encoded as the module does.
//
// Usage: goose_encode_bench [PDUs per repetition, default 200000]
#include "goose.hpp"
#include "goose_sample.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using valdrin::data::Data;
using valdrin::goose::GoosePdu;

using bench::all_data;
using bench::escape;
using bench::kRepetitions;
using bench::now_ns;

struct Result {
    const char* what;
    double best_ns = 1e300;
};

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: goose_encode_bench [PDUs per repetition]\n");
        return 2;
    }

    const std::vector<Data> values = all_data();
    GoosePdu pdu = bench::sample_pdu(values);
    pdu.st_num = 1;  // a fresh publisher: the first state, sqNum from 0
    pdu.sq_num = 0;
    const valdrin::ethernet::FrameHeader& header = bench::kHeader;

    const std::size_t pdu_size = valdrin::goose::pdu_len(pdu).value();
    std::vector<std::uint8_t> buffer(pdu_size + 26 + 4);  // sqNum grows up to 4 octets

    Result results[] = {{"encode_pdu"}, {"encode_frame"}, {"pdu_len + encode_frame"}};
    for (int rep = 0; rep < kRepetitions; ++rep) {
        for (std::size_t r = 0; r < std::size(results); ++r) {
            const double t0 = now_ns();
            for (long n = 0; n < count; ++n) {
                // sqNum changes each time, as it does on the wire.
                pdu.sq_num = static_cast<std::uint32_t>(n);
                escape(&pdu);
                bool ok = true;
                if (r == 0) {
                    ok = valdrin::goose::encode_pdu(pdu, buffer).has_value();
                } else if (r == 1) {
                    ok = valdrin::goose::encode_frame(pdu, header, buffer).has_value();
                } else {
                    auto size = valdrin::goose::pdu_len(pdu);
                    ok = size && valdrin::goose::encode_frame(pdu, header, std::span(buffer).first(*size + 26));
                }
                if (!ok) {
                    std::fprintf(stderr, "encoding failed\n");
                    return 1;
                }
                escape(buffer.data());
            }
            results[r].best_ns = std::min(results[r].best_ns, (now_ns() - t0) / static_cast<double>(count));
        }
    }

    std::printf("GOOSE PDU of %zu octets, 30 entries (%zu Data records), best of %d x %ld\n", pdu_size,
                values.size(), kRepetitions, count);
    for (const Result& result : results) {
        std::printf("  %-24s %8.1f ns per PDU  %6.2f million PDUs per second\n", result.what, result.best_ns,
                    1e3 / result.best_ns);
    }
    return 0;
}
