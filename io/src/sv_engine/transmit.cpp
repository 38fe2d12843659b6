#include "sv_engine/transmit.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <limits>
#include <span>
#include <optional>
#include <vector>

#include "clock.hpp"
#include "lateness.hpp"
#include "prp_sender.hpp"
#include "rt_thread.hpp"
#include "sv_engine/faults.hpp"
#include "sv_engine/render.hpp"
#include "sv_engine/schedule.hpp"
#include "sv_engine/sequence.hpp"

namespace valdrin::io::sv_engine {

// --- The pacing loop ----------------------------------------------------------

namespace {

using i128 = Nanos;

// The working set of the loop, allocated once before pacing: a private copy
// of every template, its sample cache and its fault state, where each
// stream's sending has got to, and room for the messages of one send: each
// stream's frame, its duplicate and the frame a swap held back.
struct Batch {
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<SampleCache> caches;
    std::vector<FrameFaults> faults;
    std::vector<std::uint64_t> next;   // per stream: the next period it sends
    std::vector<std::int64_t> delay;   // per stream: this period's delay, ns
    std::vector<std::uint8_t> queued;  // per stream: its buffers are in `messages`
    std::vector<iovec> scatter;
    std::vector<mmsghdr> messages;
    std::vector<std::size_t> source;   // per message: the stream whose frame it is
    std::size_t count = 0;             // messages waiting to be sent

    Batch(const Config& config, Faults& knobs) {
        const std::size_t n = config.streams.size();
        frames.reserve(n);
        caches.reserve(n);
        faults.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Stream& stream = config.streams[i];
            frames.push_back(stream.frame);
            caches.emplace_back(stream, config.rate);
            faults.emplace_back(stream, knobs.fields(i));
        }
        next.assign(n, 0);
        delay.assign(n, 0);
        queued.assign(n, 0);
        scatter.resize(3 * n);
        messages.resize(3 * n);
        source.resize(3 * n);
    }

    // Appends a message of stream j's `frame` to the next send.
    void queue(std::size_t j, std::span<std::uint8_t> frame) noexcept {
        source[count] = j;
        scatter[count] = {frame.data(), frame.size()};
        messages[count] = {};
        messages[count].msg_hdr.msg_iov = &scatter[count];
        messages[count].msg_hdr.msg_iovlen = 1;
        ++count;
    }
};

// Sends the queued messages, continuing after partial sends; returns the
// number of frames sent and counts the rest as send errors when a call fails
// or accepts none. The queue is empty afterwards.
std::uint64_t send_all(int fd, Batch& batch, Counters& counters) noexcept {
    const std::size_t n = batch.count;
    std::size_t sent = 0;
    while (sent < n) {
        const int r = sendmmsg(fd, batch.messages.data() + sent, static_cast<unsigned>(n - sent), 0);
        if (r <= 0) {
            counters.send_errors.fetch_add(n - sent);
            break;
        }
        sent += static_cast<std::size_t>(r);
    }
    batch.count = 0;
    std::fill(batch.queued.begin(), batch.queued.end(), std::uint8_t{0});
    return sent;
}

// Whether the queue holds each stream's own frame once, in stream order: the
// messages a PRP sender laid out for the batch's frames.
bool plain_period(const Batch& batch) noexcept {
    if (batch.count != batch.frames.size()) return false;
    for (std::size_t i = 0; i < batch.count; ++i) {
        if (batch.source[i] != i || batch.scatter[i].iov_base != batch.frames[i].data()) return false;
    }
    return true;
}

// Whether a queued frame's stream has a PRP knob set.
bool prp_armed(const Batch& batch, Faults& knobs) noexcept {
    for (std::size_t i = 0; i < batch.count; ++i) {
        if (knobs.knobs(batch.source[i]).prp_armed()) return true;
    }
    return false;
}

// As send_all, on both LANs with PRP trailers: a plain period in one
// sendmmsg per LAN, one whose faults changed the messages frame by frame
// (a delayed LAN's copies waiting in `prp` from `now`, when the other
// LAN's leave); then the copies due by `at`, and the supervision frames
// when due.
std::uint64_t send_all(int fd, Batch& batch, Counters& counters, PrpSender& prp, Faults& knobs, std::int64_t now,
                       std::int64_t at) noexcept {
    PrpSent sent;
    if (plain_period(batch) && !prp_armed(batch, knobs)) {
        sent = prp.send(fd, now);
    } else {
        for (std::size_t i = 0; i < batch.count; ++i) {
            const std::size_t j = batch.source[i];
            const iovec& part = batch.scatter[i];
            sent += prp.send_frame(fd, prp.node_of(j),
                                   std::span(static_cast<const std::uint8_t*>(part.iov_base), part.iov_len),
                                   batch.faults[j].prp_frame(knobs.knobs(j)), now);
        }
        sent.failed += prp.supervise(fd, now).failed;
    }
    sent += prp.send_waiting(fd, at);
    counters.send_errors.fetch_add(sent.failed);
    batch.count = 0;
    std::fill(batch.queued.begin(), batch.queued.end(), std::uint8_t{0});
    return sent.frames;
}

// The PRP sender of `batch`'s frames when there is a LAN B; nothing (and
// no sending) when it cannot be made.
std::optional<PrpSender> prp_sender_of(Batch& batch, std::optional<Socket>& lan_b, i128 frame_period) noexcept {
    if (!lan_b) return std::nullopt;
    try {
        std::vector<std::span<std::uint8_t>> frames(batch.frames.begin(), batch.frames.end());
        std::optional<PrpSender> sender(std::in_place, frames, std::move(*lan_b));
        // Room for every stream's frame on both LANs over the periods the
        // longest delay spans (more, with duplicates, leave at once).
        const auto periods = static_cast<std::size_t>(MAX_PRP_DELAY_NS / frame_period) + 2;
        std::size_t largest = 0;
        for (const auto& frame : batch.frames) largest = std::max(largest, frame.size());
        sender->reserve_waiting(2 * batch.frames.size() * periods, largest);
        return sender;
    } catch (...) {
        return std::nullopt;
    }
}

// One run of the loop: what every period needs to reach.
struct Run {
    const Config& config;
    const Schedule schedule;
    Batch& batch;
    Faults& knobs;
    Counters& counters;
    int fd;
    std::uint64_t end;     // the first period not sent
    i128 frame_period;
    PrpSender* prp;              // LAN B's sending, or null: one LAN
    SequenceCursor* sequence;    // the stream that follows a state sequence, or null

    // Sends what is queued, on one LAN or both, due at `at`.
    std::uint64_t send_queued(std::int64_t now, std::int64_t at) noexcept {
        return prp != nullptr ? send_all(fd, batch, counters, *prp, knobs, now, at) : send_all(fd, batch, counters);
    }

    // Renders period c of stream j with its faults applied and queues what
    // leaves of it, sending first what still waits in the stream's buffers.
    void queue_frame(std::size_t j, std::uint64_t c) noexcept {
        if (batch.queued[j] != 0) {
            const std::int64_t now = saturate(now_ns());
            counters.frames_sent.fetch_add(send_queued(now, now));
        }
        const Stream& stream = config.streams[j];
        std::vector<std::uint8_t>& frame = batch.frames[j];
        const auto [second, first_smp, due] = schedule.period(c);
        if (sequence != nullptr && j == config.sequence->stream) {
            sequence->render_live(frame, first_smp, c);
        } else {
            render(stream, frame, saturate(second), first_smp, config.rate, batch.caches[j]);
        }
        FrameFaults& faults = batch.faults[j];
        const Emission emission =
            faults.apply(knobs.knobs(j), stream, frame, first_smp, config.rate, due + batch.delay[j]);
        for (std::uint8_t n = 0; n < emission.copies; ++n) batch.queue(j, frame);
        if (emission.release_held) {
            batch.queue(j, faults.held());
            faults.set_holding(false);
        }
        if (emission.hold) {
            std::copy(frame.begin(), frame.end(), faults.held().begin());
            faults.set_holding(true);
        }
        batch.queued[j] = 1;
    }

    // Queues every frame of stream j due by period k's instant plus `offset`
    // (its delay's part beyond whole periods): those of periods up to k less
    // the delay's whole periods, below `end`.
    void queue_due(std::size_t j, std::uint64_t k) noexcept {
        const auto behind = static_cast<std::uint64_t>(batch.delay[j] / frame_period);
        while (batch.next[j] < end && batch.next[j] <= k && k - batch.next[j] >= behind) {
            queue_frame(j, batch.next[j]++);
        }
    }

    // Sleeps until `at`, sends what is queued and counts it; false when
    // stopped first.
    bool send_at(i128 at) noexcept {
        if (!sleep_until_unless_stopped(at, counters.stop)) return false;
        send_now(at);
        return true;
    }

    // A sequence command that came while the thread slept switches period
    // k's frame of the sequenced stream, when it is queued undelayed: it is
    // rendered again (the knobs' edits of that frame are not made again).
    void render_commanded(std::uint64_t k) noexcept {
        const std::size_t j = config.sequence->stream;
        if (batch.queued[j] == 0 || batch.next[j] != k + 1 || batch.delay[j] != 0) return;
        if (!sequence->command_came(k)) return;
        sequence->render_live(batch.frames[j], schedule.period(k).first_smp, k);
    }

    // Sends what is queued now, due at `at`, and counts it.
    void send_now(i128 at) noexcept {
        const i128 now = now_ns();
        const std::uint64_t sent = send_queued(saturate(now), saturate(at));
        const std::int64_t lateness = saturate(now - at);
        counters.frames_sent.fetch_add(sent);
        raise_max(counters.max_lateness_ns, lateness);
        if (lateness > frame_period) counters.late_frames.fetch_add(sent);
    }

    // Period k: the frames due at its instant, then those of delayed streams
    // at their instants within it, earliest first. False when stopped.
    bool period(std::uint64_t k) noexcept {
        const i128 due = schedule.period(k).due_ns;
        const std::size_t n = config.streams.size();
        for (std::size_t j = 0; j < n; ++j) {
            batch.delay[j] = batch.faults[j].delay_ns(knobs.knobs(j));
            if (batch.delay[j] % frame_period == 0) queue_due(j, k);
        }
        if (!sleep_until_unless_stopped(due, counters.stop)) return false;
        if (sequence != nullptr) render_commanded(k);
        send_now(due);
        if (sequence != nullptr) sequence->after_send();
        for (i128 offset = 0;;) {
            i128 soonest = frame_period;  // past every offset
            for (std::size_t j = 0; j < n; ++j) {
                const i128 r = batch.delay[j] % frame_period;
                if (r > offset && r < soonest) soonest = r;
            }
            if (prp != nullptr && prp->waiting() != 0) {  // a delayed LAN's copies
                const i128 r = prp->next_waiting_ns() - due;
                if (r > offset && r < soonest) soonest = r;
            }
            if (soonest == frame_period) return true;
            for (std::size_t j = 0; j < n; ++j) {
                if (batch.delay[j] % frame_period == soonest) queue_due(j, k);
            }
            if (!send_at(due + soonest)) return false;
            offset = soonest;
        }
    }

    // Whether period k is still to be paced: one before `end`, or one in
    // which a delayed stream still has frames of periods before `end` to send
    // or a delayed LAN copies (with no streams the periods are paced all the same).
    bool unfinished(std::uint64_t k) const noexcept {
        return k < end || std::ranges::any_of(batch.next, [this](std::uint64_t next) { return next < end; }) ||
               (prp != nullptr && prp->waiting() != 0);
    }
};

}  // namespace

void transmit(std::shared_ptr<const Config> config, std::shared_ptr<Counters> counters,
              std::shared_ptr<Faults> faults, Socket socket, std::optional<Socket> lan_b, Reporter reporter,
              bool resume) noexcept {
    prepare_thread(THREAD_NAME);
    try {
        if (!set_up_thread(config->cpu, config->rt_priority, reporter)) return;
    } catch (...) {
        return;  // the report says "gone"
    }

    const Schedule schedule = Schedule::of(*config);
    std::optional<Batch> batch;
    std::optional<SequenceCursor> sequence;  // a stream whose samples follow a state sequence
    try {
        batch.emplace(*config, *faults);
        if (config->sequence) {
            sequence.emplace(*config->sequence, config->streams[config->sequence->stream], config->rate);
        }
    } catch (...) {
        return;  // out of memory before the first period: nothing is sent
    }
    const bool redundant = lan_b.has_value();
    std::optional<PrpSender> prp = prp_sender_of(*batch, lan_b, schedule.frame_period_ns());
    if (redundant && !prp) return;  // no memory, or a frame no trailer fits: nothing is sent
    if (counters->stop.load()) return;

    // A run after a stop picks up at the first period not yet due instead
    // of sending all periods since start_second back to back.
    std::uint64_t k = resume ? schedule.first_due_from(now_ns()) : 0;
    std::fill(batch->next.begin(), batch->next.end(), k);
    // A bounded run sends periods 0 .. periods - 1 and no other; frames a
    // delay holds back still leave after the last period's instant.
    Run run{*config,
            schedule,
            *batch,
            *faults,
            *counters,
            socket.get(),
            config->periods.value_or(std::numeric_limits<std::uint64_t>::max()),
            schedule.frame_period_ns(),
            prp ? &*prp : nullptr,
            sequence ? &*sequence : nullptr};
    for (; run.unfinished(k); ++k) {
        if (!run.period(k) || counters->stop.load()) return;
    }
}

}  // namespace valdrin::io::sv_engine
