// A bare Sampled Values publisher: the least a paced SV sender has to do,
// measured beside the engine by publish_bench.py.
//
// It reads the streams' frame templates (the engine's own, with the offsets
// of every ASDU's smpCnt and samples and each channel's wave) from a text
// file, precomputes one second of encoded samples for every stream, then
// paces like the engine: per period it copies each template, patches smpCnt
// and the samples, sleeps until the period's absolute time on
// CLOCK_REALTIME, and sends all streams' frames with one sendmmsg. It prints
// its figures as one JSON line.
//
// Written in plain C style on purpose (no containers in the loop, no
// abstraction), as a floor for what the engine could cost.
//
// Template file, whitespace-separated tokens:
//   valdrin-sv-templates 1
//   streams N
//   then N times:
//     stream FRAME_LEN ASDUS CHANNELS
//     frame HEX                          (FRAME_LEN octets)
//     smp_cnt OFFSET...                  (ASDUS values)
//     samples OFFSET...                  (ASDUS values)
//     wave AMP PHASE_DEG FREQ_HZ OFFSET SCALE QUALITY   (CHANNELS lines)
//   end
//
// Usage:
//   baseline_publisher --templates FILE --iface IFACE --streams N --rate R
//       --asdus A --seconds S [--priority P] [--cpu C] [--start-second T]
//   baseline_publisher --templates FILE --streams N --rate R --asdus A
//       --dump-second T --dump-smp F
// The second form sends nothing: it prints every stream's frame for sample
// F of second T in hex, one per line, so that the driver can compare them
// with the engine's.
#include <getopt.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "octets.hpp"  // header-only: the bare publisher links nothing of the project

namespace {

typedef __int128 i128;
const std::int64_t kNsPerS = 1000000000;

// Limits that keep every size computation far from overflow.
const std::uint64_t kMaxStreams = 100000;
const std::uint64_t kMaxFrame = 65535 + 64;
const std::uint64_t kMaxAsdus = 4096;
const std::uint64_t kMaxChannels = 1024;
const std::int64_t kMaxRate = 1000000;
const std::uint64_t kMaxTable = std::uint64_t{8} << 30;  // octets of precomputed samples

struct Wave {
    double amplitude, phase_deg, frequency_hz, offset, scale;
    std::uint32_t quality;
};

struct Stream {
    std::uint8_t* frame;        // the template
    std::uint64_t frame_len;
    std::uint64_t asdus;
    std::uint64_t channels;
    std::uint64_t* smp_cnt_at;  // one per ASDU
    std::uint64_t* samples_at;  // one per ASDU
    Wave* waves;                // one per channel
    std::uint64_t row_at;       // where this stream's samples start in a table row
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "baseline_publisher: %s\n", what);
    std::exit(2);
}

[[noreturn]] void fail_os(const char* what) {
    std::fprintf(stderr, "baseline_publisher: %s: %s (os error %d)\n", what, std::strerror(errno), errno);
    std::exit(2);
}

void* xcalloc(std::uint64_t count, std::uint64_t size) {
    if (count == 0) count = 1;
    void* p = std::calloc(count, size);
    if (p == nullptr) fail("out of memory");
    return p;
}

// --- the template file --------------------------------------------------------

struct Tokens {
    char* text;
    char* at;
};

// Returns the next whitespace-separated token, or null at the end.
char* next_token(Tokens& t) {
    while (*t.at == ' ' || *t.at == '\n' || *t.at == '\t' || *t.at == '\r') ++t.at;
    if (*t.at == '\0') return nullptr;
    char* start = t.at;
    while (*t.at != '\0' && *t.at != ' ' && *t.at != '\n' && *t.at != '\t' && *t.at != '\r') ++t.at;
    if (*t.at != '\0') *t.at++ = '\0';
    return start;
}

void expect(Tokens& t, const char* word) {
    const char* got = next_token(t);
    if (got == nullptr || std::strcmp(got, word) != 0) {
        std::fprintf(stderr, "baseline_publisher: template file: expected \"%s\"\n", word);
        std::exit(2);
    }
}

std::uint64_t read_u64(Tokens& t, std::uint64_t max) {
    const char* s = next_token(t);
    if (s == nullptr || *s < '0' || *s > '9') fail("template file: expected an unsigned integer");
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) fail("template file: integer out of range");
    return v;
}

double read_double(Tokens& t) {
    const char* s = next_token(t);
    if (s == nullptr) fail("template file: expected a number");
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || !std::isfinite(v)) fail("template file: bad number");
    return v;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char* read_file(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) fail_os(path);
    std::uint64_t cap = 1 << 16, len = 0;
    char* buf = static_cast<char*>(xcalloc(cap, 1));
    for (;;) {
        const std::size_t got = std::fread(buf + len, 1, cap - len - 1, f);
        len += got;
        if (got == 0) break;
        if (len + 1 == cap) {
            if (cap > (std::uint64_t{1} << 32)) fail("template file too large");
            char* bigger = static_cast<char*>(std::realloc(buf, cap * 2));
            if (bigger == nullptr) fail("out of memory");
            buf = bigger;
            cap *= 2;
        }
    }
    if (std::ferror(f)) fail_os(path);
    std::fclose(f);
    buf[len] = '\0';
    return buf;
}

// Reads the first `wanted` streams of the file; every one must carry
// `asdus` ASDUs and have its counters and samples inside its frame.
Stream* read_templates(const char* path, std::uint64_t wanted, std::uint64_t asdus) {
    Tokens t{read_file(path), nullptr};
    t.at = t.text;
    expect(t, "valdrin-sv-templates");
    if (read_u64(t, 1) != 1) fail("template file: unknown version");
    expect(t, "streams");
    const std::uint64_t count = read_u64(t, kMaxStreams);
    if (count < wanted) fail("template file holds fewer streams than asked for");
    Stream* streams = static_cast<Stream*>(xcalloc(wanted, sizeof(Stream)));
    for (std::uint64_t i = 0; i < wanted; ++i) {
        Stream& s = streams[i];
        expect(t, "stream");
        s.frame_len = read_u64(t, kMaxFrame);
        s.asdus = read_u64(t, kMaxAsdus);
        s.channels = read_u64(t, kMaxChannels);
        if (s.frame_len == 0) fail("template file: empty frame");
        if (s.asdus != asdus) fail("template file: a stream has another number of ASDUs per frame");
        expect(t, "frame");
        const char* hex = next_token(t);
        if (hex == nullptr || std::strlen(hex) != 2 * s.frame_len) fail("template file: frame length mismatch");
        s.frame = static_cast<std::uint8_t*>(xcalloc(s.frame_len, 1));
        for (std::uint64_t j = 0; j < s.frame_len; ++j) {
            const int hi = hex_digit(hex[2 * j]), lo = hex_digit(hex[2 * j + 1]);
            if (hi < 0 || lo < 0) fail("template file: bad hex");
            s.frame[j] = static_cast<std::uint8_t>(hi << 4 | lo);
        }
        s.smp_cnt_at = static_cast<std::uint64_t*>(xcalloc(s.asdus, sizeof(std::uint64_t)));
        s.samples_at = static_cast<std::uint64_t*>(xcalloc(s.asdus, sizeof(std::uint64_t)));
        if (s.frame_len < 2) fail("template file: frame too short");
        expect(t, "smp_cnt");
        for (std::uint64_t a = 0; a < s.asdus; ++a) s.smp_cnt_at[a] = read_u64(t, s.frame_len - 2);
        expect(t, "samples");
        for (std::uint64_t a = 0; a < s.asdus; ++a) {
            s.samples_at[a] = read_u64(t, kMaxFrame);
            if (s.samples_at[a] + 8 * s.channels > s.frame_len) fail("template file: samples outside the frame");
        }
        s.waves = static_cast<Wave*>(xcalloc(s.channels, sizeof(Wave)));
        for (std::uint64_t c = 0; c < s.channels; ++c) {
            Wave& w = s.waves[c];
            expect(t, "wave");
            w.amplitude = read_double(t);
            w.phase_deg = read_double(t);
            w.frequency_hz = read_double(t);
            w.offset = read_double(t);
            w.scale = read_double(t);
            w.quality = static_cast<std::uint32_t>(read_u64(t, UINT32_MAX));
        }
    }
    std::free(t.text);
    return streams;
}

// --- samples ------------------------------------------------------------------

// The channel's value at sample `smp` of second `sec`: whole cycles of the
// second taken out first, rounded half to even, saturated to INT32.
std::int32_t sample(const Wave& w, double sec, double smp, double rate) {
    double x = w.offset;
    if (w.frequency_hz != 0.0 && w.amplitude != 0.0) {
        const double cycles = std::fmod(w.frequency_hz * sec, 1.0);
        const double sub = (w.frequency_hz * smp) / rate;
        const double theta = (cycles + sub) * 6.283185307179586 + w.phase_deg * 0.017453292519943295;
        x = w.amplitude * std::sin(theta) + w.offset;
    }
    const double y = x * w.scale;
    if (std::isnan(y)) return 0;
    if (y >= 2147483647.0) return INT32_MAX;
    if (y <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(std::rint(y));
}

// One second of encoded samples (value, quality; 8 octets per channel) for
// every stream, sample-major: row `smp` holds all streams' samples side by
// side, so each period reads one contiguous stretch of memory.
std::uint8_t* precompute(Stream* streams, std::uint64_t n, std::int64_t rate, std::int64_t second,
                         std::uint64_t* row_len) {
    std::uint64_t row = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        streams[i].row_at = row;
        row += 8 * streams[i].channels;
    }
    const i128 total = static_cast<i128>(row) * rate;
    if (total > static_cast<i128>(kMaxTable)) fail("too many samples to precompute");
    std::uint8_t* table = static_cast<std::uint8_t*>(xcalloc(static_cast<std::uint64_t>(total), 1));
    const double sec = static_cast<double>(second), rate_d = static_cast<double>(rate);
    for (std::int64_t smp = 0; smp < rate; ++smp) {
        std::uint8_t* out = table + static_cast<std::uint64_t>(smp) * row;
        for (std::uint64_t i = 0; i < n; ++i) {
            const Stream& s = streams[i];
            for (std::uint64_t c = 0; c < s.channels; ++c) {
                const Wave& w = s.waves[c];
                valdrin::octets::store_be32(out + s.row_at + 8 * c,
                        static_cast<std::uint32_t>(sample(w, sec, static_cast<double>(smp), rate_d)));
                valdrin::octets::store_be32(out + s.row_at + 8 * c + 4, w.quality);
            }
        }
    }
    *row_len = row;
    return table;
}

// Copies the template into `buf` and patches every ASDU's smpCnt and
// samples for samples first_smp, first_smp + 1, ... (all in one second).
inline void patch(const Stream& s, std::uint8_t* buf, const std::uint8_t* table, std::uint64_t row_len,
                  std::uint64_t first_smp) {
    std::memcpy(buf, s.frame, s.frame_len);
    const std::uint64_t bytes = 8 * s.channels;
    for (std::uint64_t a = 0; a < s.asdus; ++a) {
        const std::uint64_t smp = first_smp + a;
        valdrin::octets::store_be16(buf + s.smp_cnt_at[a], static_cast<std::uint16_t>(smp));
        std::memcpy(buf + s.samples_at[a], table + smp * row_len + s.row_at, bytes);
    }
}

// --- time ---------------------------------------------------------------------

i128 now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<i128>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

std::int64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

void sleep_until(i128 t) {
    i128 sec = t / kNsPerS, rest = t % kNsPerS;
    if (rest < 0) {
        rest += kNsPerS;
        sec -= 1;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rest);
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

std::int64_t saturate(i128 v) {
    if (v > INT64_MAX) return INT64_MAX;
    if (v < INT64_MIN) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

// --- arguments ----------------------------------------------------------------

struct Options {
    const char* templates = nullptr;
    const char* iface = nullptr;
    std::uint64_t streams = 0;
    std::int64_t rate = 0;
    std::int64_t asdus = 0;
    std::int64_t seconds = 0;
    std::int64_t priority = -1;  // none
    std::int64_t cpu = -1;       // none
    std::int64_t start_second = -1;  // chosen here
    std::int64_t dump_second = -1;
    std::int64_t dump_smp = -1;
};

std::int64_t parse_int(const char* name, const char* s, std::int64_t lo, std::int64_t hi) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) {
        std::fprintf(stderr, "baseline_publisher: bad --%s: %s\n", name, s);
        std::exit(2);
    }
    return v;
}

Options parse(int argc, char** argv) {
    static const option longs[] = {
        {"templates", required_argument, nullptr, 't'}, {"iface", required_argument, nullptr, 'i'},
        {"streams", required_argument, nullptr, 'n'},   {"rate", required_argument, nullptr, 'r'},
        {"asdus", required_argument, nullptr, 'a'},     {"seconds", required_argument, nullptr, 's'},
        {"priority", required_argument, nullptr, 'p'},  {"cpu", required_argument, nullptr, 'c'},
        {"start-second", required_argument, nullptr, 'S'},
        {"dump-second", required_argument, nullptr, 'D'},
        {"dump-smp", required_argument, nullptr, 'F'},  {nullptr, 0, nullptr, 0},
    };
    Options o;
    int opt;
    while ((opt = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        switch (opt) {
            case 't': o.templates = optarg; break;
            case 'i': o.iface = optarg; break;
            case 'n': o.streams = static_cast<std::uint64_t>(parse_int("streams", optarg, 0, kMaxStreams)); break;
            case 'r': o.rate = parse_int("rate", optarg, 1, kMaxRate); break;
            case 'a': o.asdus = parse_int("asdus", optarg, 1, kMaxAsdus); break;
            case 's': o.seconds = parse_int("seconds", optarg, 1, 86400); break;
            case 'p': o.priority = parse_int("priority", optarg, 1, 99); break;
            case 'c': o.cpu = parse_int("cpu", optarg, 0, CPU_SETSIZE - 1); break;
            case 'S': o.start_second = parse_int("start-second", optarg, 0, INT64_MAX / kNsPerS - 86400); break;
            case 'D': o.dump_second = parse_int("dump-second", optarg, 0, INT64_MAX / kNsPerS); break;
            case 'F': o.dump_smp = parse_int("dump-smp", optarg, 0, kMaxRate); break;
            default: std::exit(2);
        }
    }
    if (optind != argc) fail("unexpected arguments");
    if (o.templates == nullptr || o.rate == 0 || o.asdus == 0) fail("--templates, --rate and --asdus are required");
    if (o.rate % o.asdus != 0) fail("--rate must be a multiple of --asdus");
    const bool dump = o.dump_second >= 0 || o.dump_smp >= 0;
    if (dump) {
        if (o.dump_second < 0 || o.dump_smp < 0) fail("--dump-second and --dump-smp go together");
        if (o.dump_smp % o.asdus != 0 || o.dump_smp >= o.rate) fail("--dump-smp must be a multiple of --asdus below --rate");
    } else if (o.iface == nullptr || o.seconds == 0) {
        fail("--iface and --seconds are required");
    }
    return o;
}

void free_streams(Stream* streams, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
        std::free(streams[i].frame);
        std::free(streams[i].smp_cnt_at);
        std::free(streams[i].samples_at);
        std::free(streams[i].waves);
    }
    std::free(streams);
}

int dump(const Options& o, Stream* streams) {
    std::uint64_t row_len = 0;
    std::uint8_t* table = precompute(streams, o.streams, o.rate, o.dump_second, &row_len);
    for (std::uint64_t i = 0; i < o.streams; ++i) {
        std::uint8_t* buf = static_cast<std::uint8_t*>(xcalloc(streams[i].frame_len, 1));
        patch(streams[i], buf, table, row_len, static_cast<std::uint64_t>(o.dump_smp));
        for (std::uint64_t j = 0; j < streams[i].frame_len; ++j) std::printf("%02x", buf[j]);
        std::printf("\n");
        std::free(buf);
    }
    std::free(table);
    free_streams(streams, o.streams);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    Stream* streams = read_templates(o.templates, o.streams, static_cast<std::uint64_t>(o.asdus));
    if (o.dump_second >= 0) return dump(o, streams);

    const std::uint64_t n = o.streams;
    const std::int64_t rate = o.rate, asdus = o.asdus;
    const std::int64_t frames_per_second = rate / asdus;
    const i128 frame_period = static_cast<i128>(asdus) * kNsPerS / rate;

    // The socket: sends only (protocol 0), bound to the interface.
    const unsigned index = if_nametoindex(o.iface);
    if (index == 0) fail_os(o.iface);
    const int fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0) fail_os("AF_PACKET socket");
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(index);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fail_os("bind");

    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (o.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(static_cast<std::size_t>(o.cpu), &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) fail_os("pin to CPU");
    }
    if (o.priority >= 0) {
        sched_param param{};
        param.sched_priority = static_cast<int>(o.priority);
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) fail_os("SCHED_FIFO");
    }

    // The first frame is due at the start of a whole second at least one
    // second away, so the precomputation below is over before it.
    std::int64_t start = o.start_second;
    if (start < 0) start = saturate(now_ns() / kNsPerS) + 2;
    std::uint64_t row_len = 0;
    std::uint8_t* table = precompute(streams, n, rate, start, &row_len);

    // Working set, allocated once.
    std::uint8_t** bufs = static_cast<std::uint8_t**>(xcalloc(n, sizeof(std::uint8_t*)));
    iovec* iov = static_cast<iovec*>(xcalloc(n, sizeof(iovec)));
    mmsghdr* msgs = static_cast<mmsghdr*>(xcalloc(n, sizeof(mmsghdr)));
    for (std::uint64_t i = 0; i < n; ++i) {
        bufs[i] = static_cast<std::uint8_t*>(xcalloc(streams[i].frame_len, 1));
        iov[i].iov_base = bufs[i];
        iov[i].iov_len = streams[i].frame_len;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }

    const i128 start_ns = static_cast<i128>(start) * kNsPerS;
    const i128 end_ns = start_ns + static_cast<i128>(o.seconds) * kNsPerS;
    std::uint64_t periods = 0, frames_sent = 0, send_errors = 0, late_periods = 0, late_frames = 0;
    std::int64_t max_lateness = 0;
    const bool overran = now_ns() >= start_ns;

    const std::int64_t cpu0 = thread_cpu_ns();
    for (std::uint64_t k = 0;; ++k) {
        const i128 second = start + static_cast<i128>(k / static_cast<std::uint64_t>(frames_per_second));
        const std::int64_t first_smp = static_cast<std::int64_t>(k % static_cast<std::uint64_t>(frames_per_second)) * asdus;
        const i128 scheduled = second * kNsPerS + static_cast<i128>(first_smp) * kNsPerS / rate;
        if (scheduled >= end_ns) break;

        for (std::uint64_t i = 0; i < n; ++i) {
            patch(streams[i], bufs[i], table, row_len, static_cast<std::uint64_t>(first_smp));
        }
        sleep_until(scheduled);
        const i128 now = now_ns();

        std::uint64_t sent = 0;
        while (sent < n) {
            const int r = sendmmsg(fd, msgs + sent, static_cast<unsigned>(n - sent), 0);
            if (r <= 0) {
                send_errors += n - sent;
                break;
            }
            sent += static_cast<std::uint64_t>(r);
        }
        const std::int64_t lateness = saturate(now - scheduled);
        ++periods;
        frames_sent += sent;
        if (lateness > max_lateness) max_lateness = lateness;
        if (lateness > frame_period) {
            ++late_periods;
            late_frames += sent;
        }
        // Like a stop request: a thread that has fallen behind ends at the
        // end of the run instead of sending its backlog.
        if (now >= end_ns) break;
    }
    const std::int64_t cpu_ns = thread_cpu_ns() - cpu0;
    const i128 wall = now_ns() - start_ns;

    std::printf(
        "{\"streams\": %" PRIu64 ", \"rate\": %" PRId64 ", \"asdus_per_frame\": %" PRId64
        ", \"start_second\": %" PRId64 ", \"periods\": %" PRIu64 ", \"frames_sent\": %" PRIu64
        ", \"send_errors\": %" PRIu64 ", \"late_periods\": %" PRIu64 ", \"late_frames\": %" PRIu64
        ", \"max_lateness_ns\": %" PRId64 ", \"cpu_ns\": %" PRId64 ", \"wall_ns\": %" PRId64
        ", \"setup_overran\": %s}\n",
        n, rate, asdus, start, periods, frames_sent, send_errors, late_periods, late_frames, max_lateness,
        cpu_ns, saturate(wall), overran ? "true" : "false");
    std::fflush(stdout);

    for (std::uint64_t i = 0; i < n; ++i) std::free(bufs[i]);
    std::free(bufs);
    std::free(iov);
    std::free(msgs);
    free_streams(streams, n);
    std::free(table);
    close(fd);
    return 0;
}
