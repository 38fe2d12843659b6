// decode_tlv, Reader, Tlvs and decode_unsigned on arbitrary octets: views
// stay inside the input, the Reader agrees with decode_tlv at every step,
// its sub-views walk the same TLVs as a pre-order walk of the whole view,
// and what decodes re-encodes with the Writer to the same octets whenever
// the input used the minimal forms; read_short takes what next() takes in
// the short form and nothing else.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

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

// A whole TLV written back: header by the Writer, then the content; it
// reads back as the same tag and content, and is the same octets as the
// input when the input's header was minimal.
void check_round_trip(Bytes input, std::size_t pos, const ber::Tlv& tlv) {
    if (tlv.tag == 0xFFFFFFFF) return;  // a saturated tag has no octets of its own
    std::vector<std::uint8_t> out(ber::tlv_size(tlv.tag, tlv.length));
    ber::Writer writer(out);
    FUZZ_CHECK(writer.put_header(tlv.tag, tlv.length).has_value());
    FUZZ_CHECK(writer.put_bytes(tlv.content).has_value());
    FUZZ_CHECK(writer.pos() == out.size());
    ber::Reader back(out);
    auto again = back.next();
    FUZZ_CHECK(again && again->tag == tlv.tag && again->end == out.size());
    FUZZ_CHECK(std::ranges::equal(again->content, tlv.content));
    if (out.size() == tlv.end - pos) FUZZ_CHECK(std::ranges::equal(out, input.subspan(pos, out.size())));
}

// The Reader step by step against decode_tlv at the same position.
void check_reader(Bytes input, std::size_t start) {
    ber::Reader reader(input, start);
    for (std::size_t steps = 0; !reader.empty(); ++steps) {
        FUZZ_CHECK(steps <= input.size() / 2);
        const std::size_t pos = reader.pos();
        FUZZ_CHECK(reader.rest().data() == input.data() + pos && reader.rest().size() == input.size() - pos);
        auto expected = ber::decode_tlv(input, pos);
        // No identifier reads as 0x100 (its first octet would be 01): refused, in place.
        FUZZ_CHECK(!reader.read(0x100) && reader.pos() == pos);
        auto tlv = reader.next();
        if (!tlv) {
            FUZZ_CHECK(!expected && reader.error() == expected.error() && reader.pos() == pos);
            return;
        }
        FUZZ_CHECK(expected && expected->tag == tlv->tag && expected->end == tlv->end);
        FUZZ_CHECK(expected->content.data() == tlv->content.data() && expected->length == tlv->length);
        FUZZ_CHECK(reader.pos() == tlv->end);
        check_round_trip(input, pos, *tlv);
        // read(tag) of the tag just read takes the same TLV from the same place.
        ber::Reader again(input, pos);
        auto same = again.read(tlv->tag);
        FUZZ_CHECK(same && same->end == tlv->end && again.pos() == tlv->end);
    }
}

// A TLV met by a walk: its tag and where its content lies.
struct Seen {
    ber::Tag tag;
    const std::uint8_t* content;
    std::size_t length;
    friend bool operator==(const Seen&, const Seen&) = default;
};

// Two walks over constructed TLVs (bit 0x20 of the first identifier
// octet): one with a Reader over each content, one through the whole view
// with enter(). When the first reads every TLV, the second meets the very
// same TLVs in the same order.
void check_walks(Bytes input) {
    // Whether the TLV whose identifier starts at `at` of `view` is constructed.
    const auto constructed = [](Bytes view, std::size_t at) { return (view[at] & 0x20) != 0; };
    std::vector<Seen> nested;
    std::vector<ber::Reader> open{ber::Reader(input)};
    while (!open.empty()) {
        ber::Reader& inner = open.back();
        if (inner.empty()) {
            open.pop_back();
            continue;
        }
        const std::size_t at = inner.pos();
        auto tlv = inner.next();
        if (!tlv) return;  // a fault: nothing to compare
        FUZZ_CHECK(inside(tlv->content, inner.input()));
        nested.push_back({tlv->tag, tlv->content.data(), tlv->length});
        if (constructed(inner.input(), at)) open.push_back(ber::Reader(tlv->content));
    }
    std::vector<Seen> flat;
    for (ber::Reader walk(input); !walk.empty();) {
        const std::size_t at = walk.pos();
        auto tlv = walk.next();
        FUZZ_CHECK(tlv.has_value());
        flat.push_back({tlv->tag, tlv->content.data(), tlv->length});
        if (constructed(input, at)) walk.enter(*tlv);
    }
    FUZZ_CHECK(flat == nested);
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

// read_short at `pos` agrees with next(): it takes exactly a TLV of its
// tag with a one-octet tag and a short-form length (of the size asked
// for), and otherwise stays where it is.
void check_read_short(Bytes input, std::size_t pos) {
    const std::uint8_t tag = pos < input.size() ? input[pos] : 0x80;
    if ((tag & 0x1F) == 0x1F) return;  // a high-number form: not for read_short
    ber::Reader general(input, pos);
    const auto tlv = general.next();
    const bool short_form = tlv && tlv->tag == tag && tlv->content.data() == input.data() + pos + 2;

    ber::Reader any(input, pos);
    const auto content = any.read_short(tag);
    FUZZ_CHECK(content.has_value() == short_form);
    if (content) {
        FUZZ_CHECK(content->data() == tlv->content.data() && content->size() == tlv->length);
        FUZZ_CHECK(any.pos() == general.pos());
    } else {
        FUZZ_CHECK(any.pos() == pos);
    }
    const std::size_t size = pos + 1 < input.size() ? input[pos + 1] % 0x80 : 0;
    ber::Reader sized(input, pos);
    const auto exact = sized.read_short(tag, size);
    FUZZ_CHECK(exact.has_value() == (short_form && tlv->length == size));
    FUZZ_CHECK(sized.pos() == (exact ? general.pos() : pos));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);
    // The first octet chooses a start position, so that positions inside
    // and past the input are tried too.
    const std::size_t pos = size == 0 ? 0 : data[0] % (size + 2);
    check_tlv(input, pos);
    check_tlv(input, 0);
    check_reader(input, pos);
    check_read_short(input, pos);
    check_read_short(input, 0);
    check_walks(input);

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
