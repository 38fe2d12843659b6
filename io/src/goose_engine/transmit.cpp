#include "goose_engine/transmit.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "clock.hpp"
#include "futex.hpp"
#include "lateness.hpp"
#include "prp_sender.hpp"
#include "rt_thread.hpp"

namespace valdrin::io::goose_engine {

namespace {

namespace sch = goose::schedule;

// A block's place in its schedule: the change instant, the index of the
// next frame after it, its counters and when it is due.
struct Run {
    Nanos change_at = 0;
    Nanos due = 0;
    std::uint64_t k = 0;
    std::uint32_t st_num = 0;
    std::uint32_t sq_num = 0;
};

// Keeps block i's current state, which it is about to leave, for the old_st
// knob: its values (the mailbox's, before the take that replaces them),
// stNum and change instant. Copies into storage sized at construction.
void keep_older(Shared& shared, std::size_t i, const Run& run) noexcept {
    OlderState& older = shared.older[i];
    const Mailbox& mailbox = *shared.mailboxes[i];
    const std::span<const std::uint8_t> content = mailbox.content();
    std::memcpy(older.content.data(), content.data(), content.size());  // content.size() <= capacity
    older.size = content.size();
    older.entries = mailbox.entries();
    older.st_num = run.st_num;
    older.change_at = static_cast<std::int64_t>(run.change_at);
    older.kept = true;
}

// A state change at `now`: the next stNum, sqNum 0, frame 0 due at once.
void change(Run& run, Nanos now) noexcept {
    run.st_num = sch::next_counter(run.st_num);
    run.sq_num = 0;
    run.change_at = now;
    run.k = 0;
    run.due = now;
}

// PRP: the sender of both LANs, each block's node (source MAC) in it and
// its loss draws.
struct Redundancy {
    PrpSender sender;
    std::vector<std::size_t> node_of;
    std::vector<Draws> draws;
};

// The most frames of one block that leave within a delayed LAN's longest
// delay: its first frames after a change, 1 ms apart at the closest (a
// repeat or a stale frame each add one).
constexpr std::size_t FRAMES_IN_DELAY = 3 * static_cast<std::size_t>(MAX_PRP_DELAY_NS / 1'000'000 + 1);

// The PRP sender of the blocks' source MACs when there is a LAN B; throws
// std::bad_alloc.
std::optional<Redundancy> redundancy_of(const Shared& shared, std::optional<Socket>& lan_b) {
    if (!lan_b) return std::nullopt;
    std::vector<prp::Mac> macs;
    std::vector<std::size_t> node_of;
    std::vector<Draws> draws;
    std::size_t largest = 0;
    for (const BlockConfig& block : shared.config.blocks) {
        draws.emplace_back(0x9E3779B97F4A7C15 * (draws.size() + 1));
        prp::Mac mac;
        std::memcpy(mac.data(), block.frame.data() + 6, mac.size());  // a template holds a whole header
        auto found = std::find(macs.begin(), macs.end(), mac);
        if (found == macs.end()) found = macs.insert(macs.end(), mac);
        node_of.push_back(static_cast<std::size_t>(found - macs.begin()));
    }
    for (const auto& buffer : shared.buffers) largest = std::max(largest, buffer.size());
    Redundancy out{PrpSender(macs, std::move(*lan_b)), std::move(node_of), std::move(draws)};
    out.sender.reserve_waiting(2 * shared.config.blocks.size() * FRAMES_IN_DELAY, largest);
    return out;
}

// Sends `frame` of block i on its LAN(s), counting it per LAN.
void send_frame(Shared& shared, int fd, std::size_t i, std::optional<Redundancy>& prp,
                std::span<const std::uint8_t> frame) noexcept {
    if (prp) {
        const PrpFrameFaults faults = shared.faults[i].prp.next_frame(prp->draws[i]);
        // The clock only for a delayed LAN, whose copy waits from now.
        const bool delayed = faults.delay_ns[0] != 0 || faults.delay_ns[1] != 0;
        const PrpSent both =
            prp->sender.send_frame(fd, prp->node_of[i], frame, faults, delayed ? saturate(now_ns()) : 0);
        shared.frames_sent.fetch_add(both.frames);
        shared.send_errors.fetch_add(both.failed);
    } else if (::send(fd, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size())) {
        shared.frames_sent.fetch_add(1);
    } else {
        shared.send_errors.fetch_add(1);
    }
}

// Sends block i's frame due now, with the fault knobs applied, and moves
// its schedule on by one frame.
void send_due(Shared& shared, int fd, std::optional<Redundancy>& prp, std::size_t i, Run& run, Nanos now) noexcept {
    const sch::Template& tmpl = shared.templates[i];
    const sch::Timing& timing = shared.config.blocks[i].timing;
    const Mailbox& mailbox = *shared.mailboxes[i];
    Faults& faults = shared.faults[i];

    run.sq_num = sch::advance_counter(run.sq_num, faults.skip_sq.exchange(0));
    sch::Fixed fixed = tmpl.fixed;
    if (faults.wrong_conf_rev.load()) fixed.conf_rev += 1;
    if (faults.simulation.load()) fixed.simulation = true;
    if (faults.nds_com.load()) fixed.nds_com = true;
    const OlderState& kept = shared.older[i];
    const bool older = kept.kept && take_one(faults.old_st);
    const bool repeat = take_one(faults.repeat);
    sch::Varying varying{
        .tal_ms = sch::tal_ms(timing, run.k),
        .t = sch::utc_of(run.change_at, tmpl.varying.t.quality),
        .st_num = run.st_num,
        .sq_num = run.sq_num,
        .num_dat_set_entries = mailbox.entries(),
        .all_data = mailbox.content(),
    };
    std::vector<std::uint8_t>& buffer = shared.buffers[i];
    // Writes the frame of `sent` and sends it `copies` times; the first
    // frame of a state notes its send instant.
    const auto emit = [&](const sch::Varying& sent, int copies, bool first_of_state) noexcept {
        auto size = sch::write_frame(fixed, sent, buffer);
        if (!size) {
            shared.send_errors.fetch_add(1);  // cannot happen: the buffer is sized for the capacity
            return;
        }
        if (faults.wrong_type.load() && !sent.all_data.empty()) {
            std::uint8_t& tag = buffer[*size - sent.all_data.size()];
            tag = tag == 0x83 ? 0x85 : 0x83;
        }
        if (first_of_state) {
            ChangeRecord& record = shared.changes[i];
            const std::uint32_t seq = record.seq.load(std::memory_order_relaxed);
            record.seq.store(seq + 1, std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_release);
            record.st_num.store(sent.st_num, std::memory_order_relaxed);
            record.sent_ns.store(saturate(now_ns()), std::memory_order_relaxed);
            record.seq.store(seq + 2, std::memory_order_release);
        }
        for (int copy = 0; copy < copies; ++copy) send_frame(shared, fd, i, prp, std::span(buffer).first(*size));
    };
    if (run.due >= static_cast<Nanos>(faults.silent_until_ns.load())) {
        const std::int64_t lateness = saturate(now - run.due);
        if (older) {
            // An extra frame of the state before, as it was, ahead of the
            // due one: the sequence of the current state stays whole.
            sch::Varying stale = varying;
            stale.t = sch::utc_of(kept.change_at, tmpl.varying.t.quality);
            stale.st_num = kept.st_num;
            stale.num_dat_set_entries = kept.entries;
            stale.all_data = std::span<const std::uint8_t>(kept.content.data(), kept.size);
            emit(stale, 1, false);
        }
        emit(varying, repeat ? 2 : 1, run.k == 0);
        raise_max(shared.max_lateness_ns, lateness);
        if (lateness > sch::gap_ns(timing, run.k)) shared.late_frames.fetch_add(1);
        if (shared.lateness_count < shared.lateness.size()) shared.lateness[shared.lateness_count++] = lateness;
    }
    run.k += 1;
    run.sq_num = sch::next_counter(run.sq_num);
    run.due = run.change_at + sch::offset_ns(timing, run.k);
}

}  // namespace

void transmit(std::shared_ptr<Shared> shared_ptr, Socket socket, std::optional<Socket> lan_b, Reporter reporter) noexcept {
    prepare_thread(THREAD_NAME);
    Shared& shared = *shared_ptr;
    try {
        if (!set_up_thread(shared.config.cpu, shared.config.rt_priority, reporter)) return;
    } catch (...) {
        return;  // the report says "gone"
    }
    std::vector<Run> runs;
    std::optional<Redundancy> prp;
    try {
        runs.resize(shared.templates.size());
        prp = redundancy_of(shared, lan_b);
    } catch (...) {
        return;  // nothing sent
    }
    // Every run starts with a state change of every block: the template's
    // stNum (1 when it has 0) the first time, the next one afterwards.
    const Nanos start = now_ns();
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::uint32_t first = shared.templates[i].varying.st_num;
        runs[i].st_num = shared.has_run ? shared.st_num[i] : (first == 0 ? 0 : first - 1);
        runs[i].change_at = shared.change_at[i];
        if (shared.has_run) keep_older(shared, i, runs[i]);  // the last state of the run before
        (void)shared.mailboxes[i]->take();  // values published while stopped
        change(runs[i], start);
    }
    shared.has_run = true;

    for (;;) {
        const std::uint32_t seen = shared.wake.load(std::memory_order_acquire);
        if (shared.stop.load()) break;
        Nanos now = now_ns();
        Nanos earliest = std::numeric_limits<std::int64_t>::max();
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (shared.mailboxes[i]->has_new()) {
                keep_older(shared, i, runs[i]);
                (void)shared.mailboxes[i]->take();
                change(runs[i], now);
            }
            if (runs[i].due < earliest) earliest = runs[i].due;
        }
        if (prp) {
            const Nanos supervision = prp->sender.next_supervision_ns();
            if (supervision <= now) {
                const PrpSent sent = prp->sender.supervise(socket.get(), saturate(now));
                shared.send_errors.fetch_add(sent.failed);
                continue;
            }
            // A delayed LAN's copies, when their time has come.
            const PrpSent waited = prp->sender.send_waiting(socket.get(), saturate(now));
            shared.frames_sent.fetch_add(waited.frames);
            shared.send_errors.fetch_add(waited.failed);
            earliest = std::min({earliest, supervision, Nanos{prp->sender.next_waiting_ns()}});
        }
        if (earliest > now) {
            futex_wait_until_instant(shared.wake, seen, earliest);
            continue;
        }
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (runs[i].due <= now) send_due(shared, socket.get(), prp, i, runs[i], now_ns());
        }
    }
    if (prp) {  // a delayed LAN's copies still waiting leave now, not never
        const PrpSent rest = prp->sender.send_waiting(socket.get(), std::numeric_limits<std::int64_t>::max());
        shared.frames_sent.fetch_add(rest.frames);
        shared.send_errors.fetch_add(rest.failed);
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        shared.st_num[i] = runs[i].st_num;
        shared.change_at[i] = static_cast<std::int64_t>(runs[i].change_at);
    }
}

}  // namespace valdrin::io::goose_engine
