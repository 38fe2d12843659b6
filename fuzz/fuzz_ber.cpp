// decode_tlv, Tlvs and decode_unsigned on arbitrary octets: views stay
// inside the input, and what decodes re-encodes with the Writer to the same
// octets whenever the input used the minimal forms.
#include <algorithm>
#include <array>
#include <cstring>

#include "ber.hpp"
#include "check.hpp"

using namespace valdrin;
using fuzz::Bytes;
using fuzz::inside;

namespace {

void describe_ber(const ber::BerError& error, ber::Text& out) { ber::describe(error, out); }

// One TLV at `pos`: its view, and its header written back by the Writer.
void check_tlv(Bytes input, std::size_t pos) {
    auto tlv = ber::decode_tlv(input, pos);
    if (!tlv) {
        fuzz::check_message(tlv.error(), describe_ber);
        return;
    }
    FUZZ_CHECK(tlv->end <= input.size() && tlv->end > pos);
    FUZZ_CHECK(tlv->content.size() == tlv->length);
    FUZZ_CHECK(inside(tlv->content, input));
    FUZZ_CHECK(tlv->content.data() == input.data() + (tlv->end - tlv->length));

    // The identifier and length octets as read, and as the writer puts them.
    const std::size_t read = tlv->end - tlv->length - pos;
    std::array<std::uint8_t, 16> header{};
    ber::Writer writer(header);
    FUZZ_CHECK(writer.put_header(tlv->tag, tlv->length).has_value());
    const std::size_t written = writer.pos();
    FUZZ_CHECK(written == ber::tlv_size(tlv->tag, tlv->length) - tlv->length);
    // Minimal forms are never longer than what was read; of the same size
    // they are the same octets. A saturated tag (five or more identifier
    // octets) always re-encodes shorter.
    FUZZ_CHECK(written <= read);
    if (written == read) {
        FUZZ_CHECK(std::memcmp(header.data(), input.data() + pos, read) == 0);
    }
    if (tlv->tag != 0xFFFFFFFF) {
        // The minimal header reads back as the same tag and length.
        std::array<std::uint8_t, 16> copy{};
        std::memcpy(copy.data(), header.data(), written);
        auto back = ber::decode_tlv(Bytes(copy.data(), written), 0);
        if (tlv->length == 0) {
            FUZZ_CHECK(back && back->tag == tlv->tag && back->length == 0);
        } else {
            FUZZ_CHECK(!back && back.error() == ber::BerError::truncated(tlv->tag, tlv->length, 0));
        }
    }
}

// Content octets as an unsigned INTEGER, against the minimal form.
void check_unsigned(Bytes content) {
    auto value = ber::decode_unsigned(content);
    if (!value) {
        fuzz::check_message(value.error(), describe_ber);
        return;
    }
    const ber::Integer minimal = ber::Integer::from_unsigned(*value);
    const Bytes form = minimal.as_slice();
    auto back = ber::decode_unsigned(form);
    FUZZ_CHECK(back && *back == *value);
    const bool is_minimal = content.size() == 1 || (content[0] != 0x00 && content[0] < 0x80) ||
                            (content[0] == 0x00 && content[1] >= 0x80);
    if (is_minimal && content[0] < 0x80) {
        FUZZ_CHECK(std::ranges::equal(form, content));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);
    // The first octet chooses a start position, so that positions inside
    // and past the input are tried too.
    const std::size_t pos = size == 0 ? 0 : data[0] % (size + 2);
    check_tlv(input, pos);
    check_tlv(input, 0);

    // Walk the whole input: each item ends past the previous one; after a
    // malformed TLV the walk stops.
    ber::Tlvs tlvs(input);
    std::size_t items = 0;
    std::size_t last_end = 0;
    bool failed = false;
    while (auto item = tlvs.next()) {
        FUZZ_CHECK(!failed);
        ++items;
        if (!*item) {
            failed = true;
            continue;
        }
        FUZZ_CHECK((*item)->end > last_end && (*item)->end <= size);
        FUZZ_CHECK(inside((*item)->content, input));
        last_end = (*item)->end;
        check_unsigned((*item)->content);
    }
    FUZZ_CHECK(items == ber::Tlvs(input).count());
    FUZZ_CHECK(failed || last_end == size);
    check_unsigned(input);
    return 0;
}
