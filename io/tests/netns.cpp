#include "netns.hpp"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace valdrin::io::testing {
namespace {

constexpr int exit_no_namespace = 77;

bool lo_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

}  // namespace

Outcome run_in_namespace(const std::function<void()>& body, int limit_s) {
    if (geteuid() != 0) return Outcome::NotRoot;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return Outcome::Crashed;
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0 || !lo_up()) _exit(exit_no_namespace);
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the namespace's test body hung; killed after " << limit_s << " s";
            return Outcome::Hung;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!WIFEXITED(status)) {
        ADD_FAILURE() << "the namespace's test body died, status " << status;
        return Outcome::Crashed;
    }
    switch (WEXITSTATUS(status)) {
        case 0: return Outcome::Passed;
        case exit_no_namespace: return Outcome::NoNamespace;
        default: return Outcome::Failed;
    }
}

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

void add_veth(const std::string& a, const std::string& b) {
    ASSERT_TRUE(shell("ip link add " + a + " type veth peer name " + b + " && ip link set " + a +
                      " up && ip link set " + b + " up"));
}

std::vector<std::uint8_t> make_frame(std::uint16_t ethertype, std::optional<std::uint16_t> tci,
                                     std::size_t payload, std::uint8_t first) {
    std::vector<std::uint8_t> frame{0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01,   // destination
                                    0x02, 0x00, 0x00, 0x00, 0x00, 0x01};  // source
    if (tci) frame.insert(frame.end(), {0x81, 0x00, std::uint8_t(*tci >> 8), std::uint8_t(*tci)});
    frame.push_back(static_cast<std::uint8_t>(ethertype >> 8));
    frame.push_back(static_cast<std::uint8_t>(ethertype));
    for (std::size_t i = 0; i < payload; ++i) frame.push_back(static_cast<std::uint8_t>(first + i));
    return frame;
}

std::vector<std::uint8_t> add_tag(std::vector<std::uint8_t> frame, std::uint16_t tci) {
    frame.insert(frame.begin() + 12, {0x81, 0x00, std::uint8_t(tci >> 8), std::uint8_t(tci)});
    return frame;
}

Sender::Sender(const std::string& interface) : fd_(socket(AF_PACKET, SOCK_RAW, 0)) {
    EXPECT_GE(fd_.get(), 0);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex(interface.c_str()));
    EXPECT_EQ(bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
}

void Sender::send(std::span<const std::uint8_t> frame) {
    EXPECT_EQ(::send(fd_.get(), frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
}

void Recorder::on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept {
    seen.push_back({{frame.begin(), frame.end()}, meta});
    if (sleep_per_frame_ns > 0) {
        const timespec pause{0, static_cast<long>(sleep_per_frame_ns)};
        nanosleep(&pause, nullptr);
    }
}

void Recorder::on_idle(std::int64_t now_ns) noexcept {
    ++idle_calls;
    last_idle_ns = now_ns;
}

std::int64_t realtime_now() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool eventually(const std::function<bool()>& done, int limit_ms) {
    for (int i = 0; i < limit_ms; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

}  // namespace valdrin::io::testing
