#include "transmit.hpp"

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "render.hpp"

namespace valdrin::engine {

// --- OS texts and the socket --------------------------------------------------

std::string os_text(int error) {
    char buffer[256];
    // GNU strerror_r: returns the message, in `buffer` or a static string.
    const char* message = strerror_r(error, buffer, sizeof buffer);
    return std::string(message) + " (os error " + std::to_string(error) + ")";
}

std::string os_error(std::string_view context) {
    const int error = errno;
    return std::string(context) + ": " + os_text(error);
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int Socket::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<Socket> open_packet_socket(unsigned index, std::string& error) {
    // Protocol 0: the socket receives nothing and only sends.
    Socket socket(::socket(AF_PACKET, SOCK_RAW, 0));
    if (socket.get() < 0) {
        error = os_error("AF_PACKET socket");
        return std::nullopt;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = 0;
    address.sll_ifindex = static_cast<int>(index);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = os_error("bind");
        return std::nullopt;
    }
    return socket;
}

// --- The set-up report --------------------------------------------------------

SetupReport::State SetupReport::wait(std::string& text) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return state_ != State::pending; });
    text = text_;
    return state_;
}

void SetupReport::report(State state, std::string text) {
    {
        std::lock_guard guard(lock_);
        if (state_ != State::pending) return;  // one shot
        state_ = state;
        text_ = std::move(text);
    }
    changed_.notify_all();
}

Reporter::~Reporter() {
    if (report_) report_->report(SetupReport::State::gone);
}

void Reporter::ok() {
    report_->report(SetupReport::State::ok);
    report_.reset();
}

void Reporter::failed(std::string text) {
    report_->report(SetupReport::State::failed, std::move(text));
    report_.reset();
}

// --- The pacing loop ----------------------------------------------------------

namespace {

using i128 = __int128;
constexpr std::int64_t ns_per_s = 1'000'000'000;

// Longest single sleep: a far-off first period is slept in slices of this
// length, so that a stop request is seen promptly.
constexpr std::int64_t sleep_slice_ns = 50'000'000;

i128 now_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<i128>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
}

// Sleeps until absolute time `t` (ns of CLOCK_REALTIME), which lies within
// the range of time_t; interrupted sleeps go on, other failures return.
void sleep_until(i128 t) noexcept {
    i128 seconds = t / ns_per_s;
    i128 rest = t % ns_per_s;
    if (rest < 0) {  // floor, also before 1970
        rest += ns_per_s;
        seconds -= 1;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest);
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Sleeps until `t`; when it lies further ahead than one slice, sleeps in
// slices and gives up as soon as the stop flag is set. Returns false when
// stopped.
bool sleep_until_unless_stopped(i128 t, const Counters& counters) noexcept {
    i128 now = now_ns();
    while (t - now > sleep_slice_ns) {
        sleep_until(now + sleep_slice_ns);
        if (counters.stop.load()) return false;
        now = now_ns();
    }
    if (t > now) sleep_until(t);
    return true;
}

std::int64_t saturate(i128 value) noexcept {
    constexpr i128 lo = std::numeric_limits<std::int64_t>::min();
    constexpr i128 hi = std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(value < lo ? lo : value > hi ? hi : value);
}

void raise_max(std::atomic<std::int64_t>& max, std::int64_t value) noexcept {
    std::int64_t seen = max.load();
    while (value > seen && !max.compare_exchange_weak(seen, value)) {
    }
}

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

bool set_up(const Config& config, Reporter& reporter) {
    if (config.cpu) {
        if (*config.cpu >= CPU_SETSIZE) return false;  // not representable: end unreported
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(static_cast<std::size_t>(*config.cpu), &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) {
            const int error = errno;  // before building the context can touch it
            reporter.failed("pin to CPU " + std::to_string(*config.cpu) + ": " + os_text(error));
            return false;
        }
    }
    if (config.rt_priority) {
        sched_param param{};
        param.sched_priority = *config.rt_priority;
        const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        if (error != 0) {
            reporter.failed("SCHED_FIFO priority " + std::to_string(*config.rt_priority) + ": " +
                            os_text(error));
            return false;
        }
    }
    reporter.ok();
    return true;
}

}  // namespace

void transmit(std::shared_ptr<const Config> config, std::shared_ptr<Counters> counters,
              Socket socket, Reporter reporter, bool resume) noexcept {
    pthread_setname_np(pthread_self(), "sv-engine");
    // Without SCHED_FIFO the default 50 µs timer slack would delay every
    // wake-up; ask for the least.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    try {
        if (!set_up(*config, reporter)) return;
    } catch (...) {
        return;  // the report says "gone"
    }

    const std::int64_t rate = config->rate;
    const std::int64_t asdus = config->asdus_per_frame;
    const std::int64_t frames_per_second = rate / asdus;
    const i128 frame_period = static_cast<i128>(asdus) * ns_per_s / rate;

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
        return second * ns_per_s + static_cast<i128>(first_smp) * ns_per_s / rate;
    };
    const auto scheduled_of = [&](std::uint64_t k) { return scheduled_at(second_of(k), first_smp_of(k)); };

    std::uint64_t k = 0;
    if (resume) {
        // A run after a stop picks up at the first period not yet due
        // instead of sending all periods since start_second back to back.
        const i128 now = now_ns();
        const i128 elapsed = now - static_cast<i128>(config->start_second) * ns_per_s;
        if (elapsed > 0) {
            const i128 periods = elapsed / ns_per_s * frames_per_second +
                                 elapsed % ns_per_s * frames_per_second / ns_per_s;
            k = static_cast<std::uint64_t>(periods);
            while (k > 0 && scheduled_of(k - 1) >= now) --k;
            while (scheduled_of(k) < now) ++k;
        }
    }
    for (;; ++k) {
        const i128 second = second_of(k);
        const std::int64_t first_smp = first_smp_of(k);
        const i128 scheduled = scheduled_at(second, first_smp);

        const std::int64_t frame_second = saturate(second);
        for (std::size_t i = 0; i < config->streams.size(); ++i) {
            render(config->streams[i], batch->frames[i], frame_second, first_smp, rate,
                   batch->caches[i]);
        }
        if (!sleep_until_unless_stopped(scheduled, *counters)) return;
        const i128 now = now_ns();

        const std::uint64_t sent = send_all(socket.get(), *batch, *counters);
        const std::int64_t lateness = saturate(now - scheduled);
        counters->frames_sent.fetch_add(sent);
        raise_max(counters->max_lateness_ns, lateness);
        if (lateness > frame_period) counters->late_frames.fetch_add(sent);
        if (counters->stop.load()) return;
    }
}

}  // namespace valdrin::engine
