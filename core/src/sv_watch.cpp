#include "sv_watch.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "enum_text.hpp"
#include "octets.hpp"

namespace valdrin::analysis {

namespace {

constexpr auto watch_error_texts = std::to_array<EnumText<WatchError>>({
    {WatchError::EmptySvId, "the watched svID is empty"},
    {WatchError::ChannelTooHigh, "the watched channel must be between 0 and 255"},
    {WatchError::Overcurrent, "overcurrent"},
});
static_assert(rows_in_order(watch_error_texts, WatchError::Overcurrent), "one row per WatchError, in order");

// The quality word's validity (bits 0-1: 01 invalid) and test bit.
constexpr std::uint32_t VALIDITY_MASK = 0x3;
constexpr std::uint32_t VALIDITY_INVALID = 0x1;
constexpr std::uint32_t TEST_BIT = 0x800;

Bytes bytes_of(const std::string& text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string describe(const WatchFailure& failure) {
    std::string out(text_of(watch_error_texts, failure.error));
    if (failure.error == WatchError::Overcurrent) {
        out += ": ";
        out += protection::describe(failure.setting);
    }
    return out;
}

std::expected<SvWatch, WatchFailure> SvWatch::make(SvWatchOptions options) {
    if (options.sv_id.empty()) return std::unexpected(WatchFailure{WatchError::EmptySvId});
    std::optional<protection::Overcurrent> element;
    if (options.overcurrent) {
        if (options.channel > MAX_WATCH_CHANNEL) return std::unexpected(WatchFailure{WatchError::ChannelTooHigh});
        auto made = protection::Overcurrent::make(*options.overcurrent);
        if (!made) return std::unexpected(WatchFailure{WatchError::Overcurrent, made.error()});
        element.emplace(std::move(*made));
    }
    return SvWatch(std::move(options), std::move(element));
}

SvWatch::SvWatch(SvWatchOptions options, std::optional<protection::Overcurrent> element) noexcept
    : options_(std::move(options)), element_(std::move(element)) {}

void SvWatch::add(Bytes raw, std::int64_t t_ns, bool outgoing, EventSink& sink) noexcept {
    const bool mark = outgoing && options_.departure_smp_cnt.has_value();
    const bool feed = !outgoing && element_.has_value();
    if (!mark && !feed) return;
    if (ethernet::ethertype_of(raw) != ethernet::ETHERTYPE_SV) return;
    const auto frame = ethernet::parse_frame(raw, ethernet::ETHERTYPE_SV);
    if (!frame) return;
    const Bytes wanted = bytes_of(options_.sv_id);
    const auto event_of = [&](EventKind kind, const sv::Asdu& asdu) noexcept {
        Event event{.kind = kind, .time_ns = t_ns, .app_id = frame->app_id, .dst_mac = frame->dst_mac};
        event.id = wanted;
        event.smp_cnt = asdu.smp_cnt;
        event.outgoing = outgoing;
        return event;
    };
    // Each ASDU as it decodes; a frame that fails part-way has fed the ones before.
    (void)sv::decode_pdu_each(frame->payload, [&](const sv::Asdu& asdu) noexcept {
        if (!std::ranges::equal(asdu.sv_id, wanted)) return;
        if (mark) {
            if (asdu.smp_cnt == *options_.departure_smp_cnt) sink.on(event_of(EventKind::SvDeparture, asdu));
            return;
        }
        const std::size_t at = std::size_t{8} * options_.channel;
        if (asdu.sample.size() < at + 4) return;
        // A sample that does not follow the last one (a loss, a restart):
        // the window would mix two stretches of signal, so it starts again.
        // A wrap to 0 is a successor too.
        std::optional<BlockReason> block;
        std::uint64_t lost = 0;
        if (last_smp_cnt_ && asdu.smp_cnt != static_cast<std::uint16_t>(*last_smp_cnt_ + 1) && asdu.smp_cnt != 0) {
            element_->clear();
            const std::uint64_t wrap = options_.wrap == 0 ? 65536 : options_.wrap;
            lost = (std::uint64_t{asdu.smp_cnt} + wrap - *last_smp_cnt_ - 1) % wrap;
            if (options_.block_after_lost != 0 && lost >= options_.block_after_lost) block = BlockReason::SamplesLost;
        }
        last_smp_cnt_ = asdu.smp_cnt;
        // Supervision: a sample not to be trusted is not fed, and empties the window.
        const std::uint32_t quality = octets::load_be32(asdu.sample.data() + at + 4);
        std::optional<BlockReason> ignore;
        if (options_.ignore_invalid && (quality & VALIDITY_MASK) == VALIDITY_INVALID) ignore = BlockReason::QualityInvalid;
        else if (options_.ignore_test && (quality & TEST_BIT) != 0) ignore = BlockReason::QualityTest;
        else if (options_.block_unsynchronised && asdu.smp_synch == 0) ignore = BlockReason::Unsynchronised;
        if (ignore) block = ignore;
        if (block && blocked_ != block) {
            Event event = event_of(EventKind::ProtectionBlocked, asdu);
            event.block_reason = *block;
            event.lost = *block == BlockReason::SamplesLost ? lost : 0;
            sink.on(event);
        }
        if (block) blocked_ = block;
        if (ignore) {
            element_->clear();
            return;
        }
        const std::int32_t value = octets::load_be_i32(asdu.sample.data() + at);
        const protection::Decision decision = element_->add(value);
        if (blocked_ && element_->ready()) {
            blocked_.reset();
            sink.on(event_of(EventKind::ProtectionReleased, asdu));
        }
        if (decision == protection::Decision::None) return;
        Event event = event_of(
            decision == protection::Decision::Trip ? EventKind::OvercurrentTrip : EventKind::OvercurrentReset, asdu);
        event.rms = element_->rms();
        sink.on(event);
    });
}

}  // namespace valdrin::analysis
