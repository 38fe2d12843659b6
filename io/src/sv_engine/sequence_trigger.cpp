#include "sv_engine/sequence_trigger.hpp"

#include <algorithm>
#include <stdexcept>

#include "clock.hpp"

namespace valdrin::io::sv_engine {

SequenceTrigger::SequenceTrigger(std::shared_ptr<SequenceControl> control, Schedule schedule,
                                 std::span<const goose::MemberCondition> conditions, std::vector<TriggerRule> rules)
    : control_(std::move(control)),
      schedule_(schedule),
      last_rise_(conditions.size(), NOT_YET),
      rules_(std::move(rules)),
      fired_(new std::atomic<std::int64_t>[rules_.size()]),
      commanded_(new std::atomic<std::int64_t>[rules_.size()]),
      logs_(new RiseLog[conditions.size()]) {
    if (!control_ || control_->size() != rules_.size()) {
        throw std::invalid_argument("one trigger rule per state of the sequence");
    }
    for (const TriggerRule& rule : rules_) {
        if ((rule.condition && *rule.condition >= conditions.size()) || rule.delay_ns < 0) {
            throw std::invalid_argument("a trigger rule names no condition or has a negative delay");
        }
    }
    trackers_.reserve(conditions.size());
    for (const goose::MemberCondition& condition : conditions) trackers_.emplace_back(condition);
    for (std::size_t s = 0; s < rules_.size(); ++s) {
        fired_[s].store(NOT_YET);
        commanded_[s].store(NOT_YET);
    }
}

void SequenceTrigger::add(std::span<const std::uint8_t> frame, std::int64_t stamp_ns) noexcept {
    const auto pdu = goose::pdu_of_frame(frame);
    if (!pdu) return;
    bool rose = false;
    for (std::size_t c = 0; c < trackers_.size(); ++c) {
        if (trackers_[c].add(*pdu)) {
            last_rise_[c] = stamp_ns;
            log(c, stamp_ns);
            rose = true;
        }
    }
    if (rose) try_fire();
}

void SequenceTrigger::poll() noexcept { try_fire(); }

void SequenceTrigger::log(std::size_t c, std::int64_t stamp_ns) noexcept {
    RiseLog& rises = logs_[c];
    const std::uint64_t head = rises.head.load(std::memory_order_relaxed);
    if (head - rises.tail.load(std::memory_order_acquire) == RISES_KEPT) {
        rises.lost.fetch_add(1);
        return;
    }
    rises.stamps[head % RISES_KEPT].store(stamp_ns, std::memory_order_relaxed);
    rises.head.store(head + 1, std::memory_order_release);
}

std::size_t SequenceTrigger::take_rises(std::size_t c, std::span<std::int64_t> out) noexcept {
    RiseLog& rises = logs_[c];
    const std::uint64_t tail = rises.tail.load(std::memory_order_relaxed);
    const std::uint64_t ready = rises.head.load(std::memory_order_acquire) - tail;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(ready, out.size()));
    for (std::size_t i = 0; i < n; ++i) out[i] = rises.stamps[(tail + i) % RISES_KEPT].load(std::memory_order_relaxed);
    rises.tail.store(tail + n, std::memory_order_release);
    return n;
}

std::size_t SequenceTrigger::current() noexcept {
    constexpr auto running = static_cast<std::uint8_t>(Ending::running);
    while (cursor_ < rules_.size() && control_->ending(cursor_).load() != running) ++cursor_;
    return cursor_;
}

void SequenceTrigger::try_fire() noexcept {
    const std::size_t s = current();
    if (s >= rules_.size() || !rules_[s].condition || fired_[s].load() != NOT_YET) return;
    const std::int64_t first = control_->start(s).load();
    if (first == SequenceControl::NOT_YET || first < 0) return;  // not begun yet
    const std::int64_t rise = last_rise_[*rules_[s].condition];
    const Nanos start = schedule_.instant(schedule_.start_second + first / schedule_.rate, first % schedule_.rate);
    if (rise == NOT_YET || rise <= start) return;
    // Both below 2^63: their sum fits the 128-bit Nanos.
    control_->command(s, schedule_.first_due_from(Nanos{rise} + rules_[s].delay_ns));
    fired_[s].store(rise);
    commanded_[s].store(static_cast<std::int64_t>(now_ns()));
}

}  // namespace valdrin::io::sv_engine
