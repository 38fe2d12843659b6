#include "sv_engine/transmit.hpp"

#include <sys/socket.h>

#include <limits>
#include <optional>
#include <vector>

#include "clock.hpp"
#include "lateness.hpp"
#include "rt_thread.hpp"
#include "sv_engine/render.hpp"
#include "sv_engine/schedule.hpp"
#include "sv_engine/sequence.hpp"

namespace valdrin::io::sv_engine {

// --- The pacing loop ----------------------------------------------------------

namespace {

using i128 = Nanos;

// The working set of the loop, allocated once before pacing: a private copy
// of every template, its sample cache, and the scatter element and message
// header of each.
struct Batch {
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<SampleCache> caches;
    std::vector<iovec> scatter;
    std::vector<mmsghdr> messages;

    explicit Batch(const Config& config) {
        frames.reserve(config.streams.size());
        caches.reserve(config.streams.size());
        for (const Stream& stream : config.streams) {
            frames.push_back(stream.frame);
            caches.emplace_back(stream, config.rate);
        }
        scatter.resize(frames.size());
        messages.resize(frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            scatter[i] = {frames[i].data(), frames[i].size()};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &scatter[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

// Sends the whole batch, continuing after partial sends; returns the number
// of frames sent and counts the rest as send errors when a call fails or
// accepts none.
std::uint64_t send_all(int fd, Batch& batch, Counters& counters) noexcept {
    const std::size_t n = batch.messages.size();
    std::size_t sent = 0;
    while (sent < n) {
        const int r = sendmmsg(fd, batch.messages.data() + sent, static_cast<unsigned>(n - sent), 0);
        if (r <= 0) {
            counters.send_errors.fetch_add(n - sent);
            break;
        }
        sent += static_cast<std::size_t>(r);
    }
    return sent;
}


}  // namespace

void transmit(std::shared_ptr<const Config> config, std::shared_ptr<Counters> counters,
              Socket socket, Reporter reporter, bool resume) noexcept {
    prepare_thread(THREAD_NAME);
    try {
        if (!set_up_thread(config->cpu, config->rt_priority, reporter)) return;
    } catch (...) {
        return;  // the report says "gone"
    }

    const std::int64_t rate = config->rate;
    const Schedule schedule = Schedule::of(*config);
    const i128 frame_period = static_cast<i128>(config->asdus_per_frame) * NS_PER_S / rate;

    std::optional<Batch> batch;
    std::optional<SequenceCursor> sequence;  // a stream whose samples follow a state sequence
    try {
        batch.emplace(*config);
        if (config->sequence) sequence.emplace(*config->sequence, config->streams[config->sequence->stream], rate);
    } catch (...) {
        return;  // out of memory before the first period: nothing is sent
    }
    if (counters->stop.load()) return;

    // A run after a stop picks up at the first period not yet due instead
    // of sending all periods since start_second back to back.
    std::uint64_t k = resume ? schedule.first_due_from(now_ns()) : 0;
    // A bounded run sends periods 0 .. periods - 1 and no other.
    const std::uint64_t end = config->periods.value_or(std::numeric_limits<std::uint64_t>::max());
    for (; k < end; ++k) {
        // Frame k carries the samples from first_smp on of UNIX second
        // `second` and is due at their instant, computed afresh from k.
        const auto [second, first_smp, scheduled] = schedule.period(k);

        const std::int64_t frame_second = saturate(second);
        for (std::size_t i = 0; i < config->streams.size(); ++i) {
            if (sequence && i == config->sequence->stream) {
                sequence->render_live(batch->frames[i], first_smp, k);
                continue;
            }
            render(config->streams[i], batch->frames[i], frame_second, first_smp, rate,
                   batch->caches[i]);
        }
        if (!sleep_until_unless_stopped(scheduled, counters->stop)) return;
        const i128 now = now_ns();
        // A command that came while the thread slept switches this very frame.
        if (sequence && sequence->command_came(k)) {
            sequence->render_live(batch->frames[config->sequence->stream], first_smp, k);
        }

        const std::uint64_t sent = send_all(socket.get(), *batch, *counters);
        if (sequence) sequence->after_send();
        const std::int64_t lateness = saturate(now - scheduled);
        counters->frames_sent.fetch_add(sent);
        raise_max(counters->max_lateness_ns, lateness);
        if (lateness > frame_period) counters->late_frames.fetch_add(sent);
        if (counters->stop.load()) return;
    }
}

}  // namespace valdrin::io::sv_engine
