// The GOOSE publisher: control blocks fixed at construction, one thread
// that sends each block's frames on its retransmission schedule, paced on
// absolute CLOCK_REALTIME deadlines, and publish() from any thread, which
// the thread picks up at once (a futex wake-up), not at the next deadline.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "blocking.hpp"
#include "enum_text.hpp"
#include "failure.hpp"
#include "goose_engine/config.hpp"
#include "goose_engine/faults.hpp"
#include "thread_slot.hpp"

namespace valdrin::io::goose_engine {

// Why a configuration is refused, in the order create() checks.
enum class ConfigError : std::uint8_t {
    NoBlocks,     // not a single control block
    BadTemplate,  // a frame is no GOOSE template (the reason follows)
    BadTiming,    // a timing breaks a rule (the rule follows)
    TooLarge,     // a frame with `capacity` octets of allData would exceed a frame's length
};

// The message of each ConfigError, in enum order.
inline constexpr auto config_error_texts = std::to_array<EnumText<ConfigError>>({
    {ConfigError::NoBlocks, "no control blocks"},
    {ConfigError::BadTemplate, "bad template"},
    {ConfigError::BadTiming, "bad timing"},
    {ConfigError::TooLarge, "capacity too large for a frame"},
});
static_assert(rows_in_order(config_error_texts, ConfigError::TooLarge), "one row per ConfigError, in order");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(ConfigError error) noexcept {
    return text_of(config_error_texts, error);
}

// A refused configuration: "block <i>: <text>[: <reason>]".
using ConfigFailure = Failure<ConfigError>;

// Why start() failed: the slot's errors, shared by every publisher.
using io::StartError;
using io::StartFailure;

// Why publish() refused values.
enum class PublishError : std::uint8_t {
    NoSuchBlock,
    TooLarge,  // more octets than the block's capacity
};

// The message of each PublishError, in enum order.
inline constexpr auto publish_error_texts = std::to_array<EnumText<PublishError>>({
    {PublishError::NoSuchBlock, "no such control block"},
    {PublishError::TooLarge, "values larger than the block's capacity"},
});
static_assert(rows_in_order(publish_error_texts, PublishError::TooLarge), "one row per PublishError, in order");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(PublishError error) noexcept {
    return text_of(publish_error_texts, error);
}

// A snapshot of the counters, cumulative over every run, each read on its own.
struct Stats {
    std::uint64_t frames_sent = 0;
    std::uint64_t send_errors = 0;
    std::uint64_t late_frames = 0;  // sent after the frame that follows was due
    std::int64_t max_lateness_ns = 0;
};

// The first frame of a block's last state change as handed to the kernel.
struct ChangeSent {
    std::uint32_t st_num = 0;
    std::int64_t sent_ns = 0;  // CLOCK_REALTIME just before the send call
};

// What the publisher shares with its thread (shared.hpp).
struct Shared;

class Publisher {
public:
    // Returns a stopped publisher of `config`, or why it is refused.
    [[nodiscard]] static std::expected<std::unique_ptr<Publisher>, ConfigFailure> create(Config config);
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;
    // Stops and joins a running thread as dispose() does.
    ~Publisher();

    // Returns the number of control blocks.
    [[nodiscard]] std::size_t blocks() const noexcept;

    // Opens a packet socket on the interface and starts the thread, which
    // sends every block's current values as a state change at once (the
    // template's stNum on the first run, the next one on later runs).
    // Waits run inside `blocking`'s hooks.
    [[nodiscard]] std::expected<void, StartFailure> start(Blocking& blocking);

    // Stops and joins the thread, if one runs; the join runs inside
    // `blocking`'s hooks.
    void stop(Blocking& blocking);

    // As stop() without hooks, for the owner letting go.
    void dispose();

    // Hands block `block` new allData content (`entries` values): a state
    // change, sent at once when the thread runs, else at its next start.
    // Never waits for the thread.
    [[nodiscard]] std::expected<void, PublishError> publish(std::size_t block, std::span<const std::uint8_t> content,
                                                            std::uint32_t entries);

    // Returns block `block`'s fault knobs (block < blocks()), which live as
    // long as the publisher.
    [[nodiscard]] Faults& faults(std::size_t block) noexcept;

    // Sends none of block `block`'s frames due in the next `ns` (>= 0)
    // nanoseconds (block < blocks()): the silent_until_ns knob, from now.
    void silence(std::size_t block, std::int64_t ns) noexcept;

    // Returns block `block`'s template (views into the configuration) and
    // timing (block < blocks()), for rendering its frames elsewhere.
    [[nodiscard]] const goose::schedule::Template& block_template(std::size_t block) const noexcept;
    [[nodiscard]] const goose::schedule::Timing& block_timing(std::size_t block) const noexcept;

    // Returns block `block`'s last state change whose first frame was sent
    // (block < blocks()), nothing before the first; carried over runs.
    [[nodiscard]] std::optional<ChangeSent> last_change(std::size_t block) const noexcept;

    // Returns the counters as they are now.
    [[nodiscard]] Stats stats() const noexcept;

    // Returns the lateness (ns) of the first Config::lateness_log frames
    // sent; call it while no thread runs.
    [[nodiscard]] std::vector<std::int64_t> lateness_log() const;

private:
    explicit Publisher(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    ThreadSlot slot_;  // polls shared_->stop, sleeps on shared_->wake
};

}  // namespace valdrin::io::goose_engine
