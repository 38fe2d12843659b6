// One SV stream watched ASDU by ASDU, beside the Analyzer: the departure of
// the ASDU of a marked smpCnt (frames this host sends), and an overcurrent
// element fed one channel of the received ASDUs. Events go to the same
// sinks as the Analyzer's, stamped with the frame's receive time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "analysis.hpp"
#include "overcurrent.hpp"

namespace valdrin::analysis {

// The channels a sample may hold: INT32 value and quality each, within
// the 16-bit smpCnt's frames.
inline constexpr std::uint32_t MAX_WATCH_CHANNEL = 255;

// What an SvWatch looks for in the ASDUs of `sv_id`.
struct SvWatchOptions {
    std::string sv_id;
    // Outgoing ASDUs of this smpCnt give SvDeparture.
    std::optional<std::uint16_t> departure_smp_cnt{};
    // Incoming ASDUs feed channel `channel` (its INT32 value at octet
    // 8 * channel of the sample) to an overcurrent element of these settings.
    std::optional<protection::OvercurrentSettings> overcurrent{};
    std::uint32_t channel = 0;
    // Supervision: samples whose watched channel's quality is invalid
    // (validity 01) or test, or whose smpSynch is 0, are not fed to the
    // element, and a run of at least `block_after_lost` lost samples (0:
    // never) empties it; each blocks the element (ProtectionBlocked) until
    // a full window of good samples has come again (ProtectionReleased).
    bool ignore_invalid = false;
    bool ignore_test = false;
    bool block_unsynchronised = false;
    std::uint32_t block_after_lost = 0;
    // The sample counter's wrap: the rate for counters of one second; 0: 65536.
    std::uint32_t wrap = 0;
};

// Why an SvWatch is refused.
enum class WatchError : std::uint8_t {
    EmptySvId,
    ChannelTooHigh,
    Overcurrent,  // the element's settings (the SettingError follows)
};

// A refused watch: the error, and the element's when it is `overcurrent`.
struct WatchFailure {
    WatchError error;
    protection::SettingError setting = protection::SettingError::WindowEmpty;
};

// The text of `failure`, e.g. "overcurrent: the pickup must be above 0".
[[nodiscard]] std::string describe(const WatchFailure& failure);

class SvWatch {
public:
    // Returns a watch of `options`, or why they are refused; throws std::bad_alloc.
    [[nodiscard]] static std::expected<SvWatch, WatchFailure> make(SvWatchOptions options);

    // Reads `raw` (from the destination MAC) received at `t_ns`, sent by
    // this host when `outgoing`, and reports to `sink` what its ASDUs of
    // the watched stream decided. Frames of other types, other streams and
    // ones that do not decode are ignored (the Analyzer counts them).
    void add(Bytes raw, std::int64_t t_ns, bool outgoing, EventSink& sink) noexcept;

    // Returns the element (owned by the watch), or nullptr when it has none.
    [[nodiscard]] const protection::Overcurrent* overcurrent() const noexcept {
        return element_ ? &*element_ : nullptr;
    }
    // Returns the options the watch was made with.
    [[nodiscard]] const SvWatchOptions& options() const noexcept { return options_; }

private:
    SvWatch(SvWatchOptions options, std::optional<protection::Overcurrent> element) noexcept;

    SvWatchOptions options_;
    std::optional<protection::Overcurrent> element_;
    std::optional<std::uint16_t> last_smp_cnt_{};  // the element's last sample, for gaps
    std::optional<BlockReason> blocked_{};          // why the element is blocked, if it is
};

}  // namespace valdrin::analysis
