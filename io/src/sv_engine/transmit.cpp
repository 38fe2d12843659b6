#include "sv_engine/transmit.hpp"

#include <sys/socket.h>

#include <limits>
#include <optional>
#include <vector>

#include "clock.hpp"
#include "lateness.hpp"
#include "rt_thread.hpp"
#include "sv_engine/render.hpp"

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
    const std::int64_t asdus = config->asdus_per_frame;
    const std::int64_t frames_per_second = rate / asdus;
    const i128 frame_period = static_cast<i128>(asdus) * NS_PER_S / rate;

    std::optional<Batch> batch;
    try {
        batch.emplace(*config);
    } catch (...) {
        return;  // out of memory before the first period: nothing is sent
    }
    if (counters->stop.load()) return;

    // Frame k carries the samples from first_smp on of UNIX second `second`
    // and is due at their instant, computed afresh from k every period.
    const auto second_of = [&](std::uint64_t k) {
        return config->start_second + static_cast<i128>(k / frames_per_second);
    };
    const auto first_smp_of = [&](std::uint64_t k) {
        return static_cast<std::int64_t>(k % frames_per_second) * asdus;
    };
    const auto scheduled_at = [&](i128 second, std::int64_t first_smp) {
        return second * NS_PER_S + static_cast<i128>(first_smp) * NS_PER_S / rate;
    };
    const auto scheduled_of = [&](std::uint64_t k) { return scheduled_at(second_of(k), first_smp_of(k)); };

    std::uint64_t k = 0;
    if (resume) {
        // A run after a stop picks up at the first period not yet due
        // instead of sending all periods since start_second back to back.
        const i128 now = now_ns();
        const i128 elapsed = now - static_cast<i128>(config->start_second) * NS_PER_S;
        if (elapsed > 0) {
            const i128 periods = elapsed / NS_PER_S * frames_per_second +
                                 elapsed % NS_PER_S * frames_per_second / NS_PER_S;
            k = static_cast<std::uint64_t>(periods);
            while (k > 0 && scheduled_of(k - 1) >= now) --k;
            while (scheduled_of(k) < now) ++k;
        }
    }
    // A bounded run sends periods 0 .. periods - 1 and no other.
    const std::uint64_t end = config->periods.value_or(std::numeric_limits<std::uint64_t>::max());
    for (; k < end; ++k) {
        const i128 second = second_of(k);
        const std::int64_t first_smp = first_smp_of(k);
        const i128 scheduled = scheduled_at(second, first_smp);

        const std::int64_t frame_second = saturate(second);
        for (std::size_t i = 0; i < config->streams.size(); ++i) {
            render(config->streams[i], batch->frames[i], frame_second, first_smp, rate,
                   batch->caches[i]);
        }
        if (!sleep_until_unless_stopped(scheduled, counters->stop)) return;
        const i128 now = now_ns();

        const std::uint64_t sent = send_all(socket.get(), *batch, *counters);
        const std::int64_t lateness = saturate(now - scheduled);
        counters->frames_sent.fetch_add(sent);
        raise_max(counters->max_lateness_ns, lateness);
        if (lateness > frame_period) counters->late_frames.fetch_add(sent);
        if (counters->stop.load()) return;
    }
}

}  // namespace valdrin::io::sv_engine
