// Running a test body as root in a network namespace of its own, and the
// frames, sender and recording handler the capture tests share.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/capture.hpp"
#include "fd.hpp"
#include "skip.hpp"

namespace valdrin::io::testing {

// How a body run in a namespace went.
enum class Outcome { Passed, Failed, NotRoot, NoNamespace, Hung, Crashed };

// Forks; the child enters a new network namespace, brings lo up and runs
// `body` (gtest assertions print there); the parent waits at most
// `limit_s` seconds, kills a hung child, and returns the outcome.
Outcome run_in_namespace(const std::function<void()>& body, int limit_s = 30);

// Runs `body` in a namespace; skips (fails when require_all()) when not root
// or namespaces are not available, fails when the child failed, hung or crashed.
#define VALDRIN_IN_NAMESPACE(...)                                                     \
    do {                                                                               \
        const auto outcome_ = ::valdrin::io::testing::run_in_namespace(__VA_ARGS__);           \
        if (outcome_ == ::valdrin::io::testing::Outcome::NotRoot) {                   \
            VALDRIN_SKIP_OR_FAIL("needs root");                                        \
        }                                                                              \
        if (outcome_ == ::valdrin::io::testing::Outcome::NoNamespace) {               \
            VALDRIN_SKIP_OR_FAIL("no network namespaces");                             \
        }                                                                              \
        EXPECT_EQ(outcome_, ::valdrin::io::testing::Outcome::Passed);                  \
    } while (0)

// Runs a shell command (ip link ...) in the namespace; false on failure.
bool shell(const std::string& command);
// Creates the veth pair a <-> b, both up.
void add_veth(const std::string& a, const std::string& b);

// An SV or GOOSE-like frame: multicast destination, fixed source, an
// optional 802.1Q tag (TCI), `ethertype`, then `payload` octets counting
// up from `first`.
std::vector<std::uint8_t> make_frame(std::uint16_t ethertype, std::optional<std::uint16_t> tci,
                                     std::size_t payload, std::uint8_t first = 0);
// `frame` with one more tag (TPID 8100, TCI `tci`) in front of its first.
std::vector<std::uint8_t> add_tag(std::vector<std::uint8_t> frame, std::uint16_t tci);

// A raw packet socket sending whole frames on one interface.
class Sender {
public:
    explicit Sender(const std::string& interface);
    void send(std::span<const std::uint8_t> frame);

private:
    Fd fd_;
};

// A handler recording everything (it allocates: a test's, not the loop's
// business), optionally sleeping per frame to make the ring overflow.
class Recorder final : public FrameHandler {
public:
    struct Seen {
        std::vector<std::uint8_t> octets;
        FrameMeta meta;
    };
    void on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept override;
    void on_idle(std::int64_t now_ns) noexcept override;

    std::vector<Seen> seen;
    std::atomic<std::uint64_t> idle_calls{0};  // read while the capture runs
    std::int64_t last_idle_ns = 0;
    std::int64_t sleep_per_frame_ns = 0;
};

// CLOCK_REALTIME in ns.
std::int64_t realtime_now() noexcept;
// Waits up to `limit_ms` for `done()`, checking every millisecond.
bool eventually(const std::function<bool()>& done, int limit_ms = 2000);

}  // namespace valdrin::io::testing
