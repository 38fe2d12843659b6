// The retransmission schedule and the per-frame encoder of the GOOSE
// publisher: sums and products in 128 bits, the PDU measured, then written.
#include "goose_schedule.hpp"

#include <bit>
#include <cstring>

namespace valdrin::goose::schedule {

std::expected<void, TimingError> check(const Timing& timing) noexcept {
    if (timing.min_time_ns <= 0) return std::unexpected(TimingError::MinTimeNotPositive);
    if (timing.max_time_ns <= 0) return std::unexpected(TimingError::MaxTimeNotPositive);
    if (timing.min_time_ns > timing.max_time_ns) return std::unexpected(TimingError::MinAboveMax);
    if (timing.max_time_ns > MAX_INTERVAL_NS) return std::unexpected(TimingError::TooLong);
    if (timing.tal_factor == 0 && timing.fixed_tal_ms == 0) return std::unexpected(TimingError::TalFactorZero);
    return {};
}

namespace {

// The number of doubled gaps below T0: the smallest m with T1 * 2^m >= T0.
std::uint64_t doublings(const Timing& timing) noexcept {
    std::uint64_t m = 0;
    __int128 gap = timing.min_time_ns;
    while (gap < timing.max_time_ns) {
        gap *= 2;
        ++m;
    }
    return m;  // at most 47 for a day over 1 ns
}

}  // namespace

std::int64_t gap_ns(const Timing& timing, std::uint64_t k) noexcept {
    if (k >= doublings(timing)) return timing.max_time_ns;
    return timing.min_time_ns << k;  // below T0 here, so it fits
}

__int128 offset_ns(const Timing& timing, std::uint64_t k) noexcept {
    const std::uint64_t m = doublings(timing);
    const __int128 t1 = timing.min_time_ns;
    if (k <= m) return t1 * ((static_cast<__int128>(1) << k) - 1);
    return t1 * ((static_cast<__int128>(1) << m) - 1) + static_cast<__int128>(k - m) * timing.max_time_ns;
}

std::uint32_t tal_ms(const Timing& timing, std::uint64_t k) noexcept {
    if (timing.fixed_tal_ms != 0) return timing.fixed_tal_ms;
    const __int128 ns = static_cast<__int128>(gap_ns(timing, k)) * timing.tal_factor;
    const __int128 ms = (ns + 999'999) / 1'000'000;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(ms);
}

data::UtcTime utc_of(__int128 ns, std::uint8_t quality) noexcept {
    if (ns < 0) ns = 0;
    const __int128 seconds = ns / 1'000'000'000;
    const __int128 within = ns % 1'000'000'000;
    return {
        .seconds = seconds > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(seconds),
        .fraction = static_cast<std::uint32_t>((within << 24) / 1'000'000'000),
        .quality = quality,
    };
}

namespace {

// The PDU of the parts with an empty Data list: its fields are prepared as
// for any PDU, then allData's length is set to the octets given.
GoosePdu pdu_of(const Fixed& fixed, const Varying& varying) noexcept {
    return GoosePdu{
        .gocb_ref = fixed.gocb_ref,
        .time_allowed_to_live = varying.tal_ms,
        .dat_set = fixed.dat_set,
        .go_id = fixed.go_id,
        .t = varying.t,
        .st_num = varying.st_num,
        .sq_num = varying.sq_num,
        .simulation = fixed.simulation,
        .conf_rev = fixed.conf_rev,
        .nds_com = fixed.nds_com,
        .num_dat_set_entries = varying.num_dat_set_entries,
        .all_data = {},
    };
}

struct Measured {
    Fields fields;
    std::size_t content_len;
    std::size_t pdu_size;
};

void measure(const GoosePdu& pdu, Bytes all_data, Measured& out) noexcept {
    (void)out.fields.prepare(pdu);  // an empty Data list always measures
    out.fields.all_data_len = all_data.size();
    out.content_len = out.fields.content_len(pdu);
    out.pdu_size = ber::tlv_size(PDU_TAG, out.content_len);
}

}  // namespace

std::expected<std::size_t, EncodeError> frame_size(const Fixed& fixed, const Varying& varying) noexcept {
    const GoosePdu pdu = pdu_of(fixed, varying);
    Measured measured;
    measure(pdu, varying.all_data, measured);
    if (measured.pdu_size > 0xFFFF - ethernet::APPID_HEADER_SIZE) {
        return std::unexpected(EncodeError{EncodeErrorKind::ApduTooLong, measured.pdu_size});
    }
    return ethernet::header_size(fixed.header) + measured.pdu_size;
}

std::expected<std::size_t, EncodeError> write_frame(const Fixed& fixed, const Varying& varying,
                                                    std::span<std::uint8_t> buffer) noexcept {
    const GoosePdu pdu = pdu_of(fixed, varying);
    Measured measured;
    measure(pdu, varying.all_data, measured);
    auto size = ethernet::write_header(fixed.header, ethernet::ETHERTYPE_GOOSE, measured.pdu_size, buffer);
    if (!size) {
        const auto& e = size.error();
        return std::unexpected(EncodeError{static_cast<EncodeErrorKind>(e.check), e.value});
    }
    ber::Writer out(buffer.subspan(ethernet::header_size(fixed.header)));
    if (auto written = measured.fields.write(pdu, measured.content_len, out); !written) {
        return std::unexpected(EncodeError::invalid_data(written.error()));
    }
    if (!out.put_bytes(varying.all_data)) {
        return std::unexpected(EncodeError{EncodeErrorKind::BufferTooSmall, *size});
    }
    return *size;
}

std::expected<Template, TemplateError> read_template(Bytes frame) noexcept {
    auto link = ethernet::parse_frame(frame, ethernet::ETHERTYPE_GOOSE);
    if (!link) return std::unexpected(TemplateError::NotGoose);
    auto pdu = decode_pdu_strict(link->payload);
    if (!pdu) return std::unexpected(TemplateError::NotConformant);
    const auto text = [](Bytes octets) {
        return std::string_view(reinterpret_cast<const char*>(octets.data()), octets.size());
    };
    if (pdu->st_num > UINT32_MAX || pdu->sq_num > UINT32_MAX || pdu->conf_rev > UINT32_MAX ||
        pdu->time_allowed_to_live > UINT32_MAX || pdu->num_dat_set_entries > UINT32_MAX) {
        return std::unexpected(TemplateError::Above32Bits);
    }
    Template out;
    out.fixed.header.dst_mac = link->dst_mac;
    out.fixed.header.src_mac = link->src_mac;
    out.fixed.header.app_id = link->app_id;
    if (link->vlan_id) out.fixed.header.vlan = ethernet::Vlan{*link->vlan_id, *link->vlan_priority};
    out.fixed.gocb_ref = text(pdu->gocb_ref);
    out.fixed.dat_set = text(pdu->dat_set);
    if (pdu->go_id) out.fixed.go_id = text(*pdu->go_id);
    out.fixed.conf_rev = static_cast<std::uint32_t>(pdu->conf_rev);
    out.fixed.simulation = pdu->simulation;
    out.fixed.nds_com = pdu->nds_com;
    out.varying.tal_ms = static_cast<std::uint32_t>(pdu->time_allowed_to_live);
    out.varying.t = pdu->t;
    out.varying.st_num = static_cast<std::uint32_t>(pdu->st_num);
    out.varying.sq_num = static_cast<std::uint32_t>(pdu->sq_num);
    out.varying.num_dat_set_entries = static_cast<std::uint32_t>(pdu->num_dat_set_entries);
    out.varying.all_data = pdu->all_data;
    return out;
}

}  // namespace valdrin::goose::schedule
