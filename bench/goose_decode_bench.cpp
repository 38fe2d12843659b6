// Benchmark of decoding in the core: a typical GOOSE frame of 30 data set
// entries (ten structures of stVal, q and t; ten floats; ten integers),
// read leniently, strictly, and strictly with a walk over its values; and a
// 9-2-style Sampled Values frame of 8 ASDUs of 8 channels, checked and its
// ASDUs iterated. Every figure includes parse_frame.
//
// Usage: goose_decode_bench [frames per repetition, default 200000]
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ethernet.hpp"
#include "goose.hpp"
#include "goose_sample.hpp"
#include "sv.hpp"

namespace {

using namespace valdrin;
using data::Data;
using Octets = std::vector<std::uint8_t>;

using bench::all_data;
using bench::escape;
using bench::kRepetitions;
using bench::now_ns;

Octets goose_frame() {
    const std::vector<Data> values = all_data();
    const goose::GoosePdu pdu = bench::sample_pdu(values);
    Octets frame(goose::pdu_len(pdu).value() + ethernet::header_size(bench::kHeader));
    if (!goose::encode_frame(pdu, bench::kHeader, frame)) std::abort();
    return frame;
}

void append(Octets& out, const Octets& part) { out.insert(out.end(), part.begin(), part.end()); }

// A TLV of a one-octet tag, as the core's writer puts it.
Octets tlv(std::uint8_t tag, const Octets& content) {
    Octets out(ber::tlv_size(tag, content.size()));
    ber::Writer writer(out);
    if (!writer.put_tlv(tag, content)) std::abort();
    return out;
}

// 9-2 LE style: 8 ASDUs, each of svID, smpCnt, confRev, smpSynch and 8
// channels of value and quality (64 octets), tagged with VLAN 0 priority 4.
Octets sv_frame() {
    Octets asdus;
    for (std::uint8_t i = 0; i < 8; ++i) {
        Octets sample;
        for (std::uint8_t c = 0; c < 8; ++c) {
            append(sample, {0x00, 0x01, static_cast<std::uint8_t>(c * 16), i, 0x00, 0x00, 0x00, 0x00});
        }
        Octets asdu = tlv(0x80, {'M', 'U', '0', '1'});
        append(asdu, tlv(0x82, {0x0F, i}));
        append(asdu, tlv(0x83, {0x00, 0x00, 0x00, 0x01}));
        append(asdu, tlv(0x85, {0x02}));
        append(asdu, tlv(0x87, sample));
        append(asdus, tlv(0x30, asdu));
    }
    Octets content = tlv(0x80, {0x08});
    append(content, tlv(0xA2, asdus));
    const Octets apdu = tlv(0x60, content);
    const ethernet::FrameHeader header{{0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01},
                                       {0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7},
                                       ethernet::Vlan{0, 4},
                                       0x4000};
    Octets frame(ethernet::header_size(header) + apdu.size());
    if (!ethernet::write_header(header, ethernet::ETHERTYPE_SV, apdu.size(), frame)) std::abort();
    std::copy(apdu.begin(), apdu.end(), frame.end() - static_cast<std::ptrdiff_t>(apdu.size()));
    return frame;
}

struct Case {
    const char* what;
    bool (*run)(ber::Bytes);
    ber::Bytes input;
    double best_ns = 1e300;
};

bool goose_lenient(ber::Bytes raw) {
    auto frame = ethernet::parse_frame(raw, ethernet::ETHERTYPE_GOOSE);
    return frame && goose::decode_pdu(frame->payload);
}

bool goose_strict(ber::Bytes raw) {
    auto frame = ethernet::parse_frame(raw, ethernet::ETHERTYPE_GOOSE);
    return frame && goose::decode_pdu_strict(frame->payload);
}

// What the module does before it builds objects: a strict decode, then one
// walk over the values.
bool goose_strict_values(ber::Bytes raw) {
    auto frame = ethernet::parse_frame(raw, ethernet::ETHERTYPE_GOOSE);
    if (!frame) return false;
    auto pdu = goose::decode_pdu_strict(frame->payload);
    if (!pdu) return false;
    std::uint64_t sum = 0;
    for (data::Values values(pdu->all_data); auto value = values.next();) sum += value->unsigned_integer;
    escape(&sum);
    return true;
}

bool sv_asdus(ber::Bytes raw) {
    auto frame = ethernet::parse_frame(raw, ethernet::ETHERTYPE_SV);
    if (!frame) return false;
    auto pdu = sv::decode_pdu(frame->payload);
    if (!pdu) return false;
    std::size_t count = 0;
    for (sv::Asdus asdus(*pdu); auto asdu = asdus.next();) count += asdu->sample.size();
    escape(&count);
    return count == 8 * 64;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: goose_decode_bench [frames per repetition]\n");
        return 2;
    }
    const Octets goose = goose_frame();
    const Octets sv = sv_frame();
    Case cases[] = {
        {"GOOSE lenient", goose_lenient, goose},
        {"GOOSE strict", goose_strict, goose},
        {"GOOSE strict + values", goose_strict_values, goose},
        {"SV 8 ASDUs x 8 channels", sv_asdus, sv},
    };
    for (int rep = 0; rep < kRepetitions; ++rep) {
        for (Case& c : cases) {
            const double t0 = now_ns();
            for (long n = 0; n < count; ++n) {
                escape(c.input.data());
                if (!c.run(c.input)) {
                    std::fprintf(stderr, "%s: decoding failed\n", c.what);
                    return 1;
                }
            }
            c.best_ns = std::min(c.best_ns, (now_ns() - t0) / static_cast<double>(count));
        }
    }
    std::printf("GOOSE frame of %zu octets (30 entries), SV frame of %zu octets; best of %d x %ld\n", goose.size(),
                sv.size(), kRepetitions, count);
    for (const Case& c : cases) {
        std::printf("  %-26s %8.1f ns per frame  %6.2f million frames per second\n", c.what, c.best_ns,
                    1e3 / c.best_ns);
    }
    return 0;
}
