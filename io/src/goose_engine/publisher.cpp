#include "goose_engine/publisher.hpp"

#include <thread>
#include <utility>

#include "clock.hpp"
#include "futex.hpp"
#include "packet_socket.hpp"
#include "goose_engine/shared.hpp"
#include "goose_engine/transmit.hpp"

namespace valdrin::io::goose_engine {

namespace sch = goose::schedule;

namespace {

std::unexpected<ConfigFailure> refused(ConfigError error, std::size_t block, std::string_view reason = {}) {
    std::string text = "block " + std::to_string(block) + ": " + std::string(describe(error));
    if (!reason.empty()) text += ": " + std::string(reason);
    return std::unexpected(ConfigFailure{error, std::move(text)});
}

}  // namespace

std::expected<std::unique_ptr<Publisher>, ConfigFailure> Publisher::create(Config config) {
    if (config.blocks.empty()) return std::unexpected(ConfigFailure{ConfigError::NoBlocks, "no control blocks"});
    auto shared = std::make_shared<Shared>();
    shared->config = std::move(config);
    const std::size_t n = shared->config.blocks.size();
    shared->faults = std::make_unique<Faults[]>(n);
    shared->changes = std::make_unique<ChangeRecord[]>(n);
    shared->st_num.assign(n, 0);
    shared->change_at.assign(n, 0);
    shared->older.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        BlockConfig& block = shared->config.blocks[i];
        auto tmpl = sch::read_template(block.frame);
        if (!tmpl) return refused(ConfigError::BadTemplate, i, sch::describe(tmpl.error()));
        if (auto timing = sch::check(block.timing); !timing) {
            return refused(ConfigError::BadTiming, i, sch::describe(timing.error()));
        }
        if (block.capacity < tmpl->varying.all_data.size()) block.capacity = tmpl->varying.all_data.size();
        shared->mailboxes.push_back(
            std::make_unique<Mailbox>(block.capacity, tmpl->varying.all_data, tmpl->varying.num_dat_set_entries));
        // The longest frame: every counter at its widest, allData full.
        std::vector<std::uint8_t> widest(block.capacity);
        const sch::Varying largest{.tal_ms = UINT32_MAX, .t = {}, .st_num = UINT32_MAX, .sq_num = UINT32_MAX,
                                   .num_dat_set_entries = UINT32_MAX, .all_data = widest};
        sch::Fixed fixed = tmpl->fixed;
        fixed.conf_rev = UINT32_MAX;
        auto size = sch::frame_size(fixed, largest);
        if (!size) return refused(ConfigError::TooLarge, i);
        shared->buffers.emplace_back(*size);
        shared->older[i].content.resize(block.capacity);
        shared->templates.push_back(*tmpl);  // views into block.frame, which stays where it is
    }
    shared->lateness.assign(shared->config.lateness_log, 0);
    return std::unique_ptr<Publisher>(new Publisher(std::move(shared)));
}

Publisher::Publisher(std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)), slot_("the publisher thread ended during setup", shared_->stop, &shared_->wake) {}

Publisher::~Publisher() {
    try {
        dispose();
    } catch (...) {
    }
}

std::size_t Publisher::blocks() const noexcept { return shared_->templates.size(); }

std::expected<void, StartFailure> Publisher::start(Blocking& blocking) {
    // PRP: LAN B's socket, opened first; LAN A's is the slot's own.
    std::optional<Socket> lan_b;
    if (shared_->config.prp_iface_b) {
        auto socket = open_sending_socket(*shared_->config.prp_iface_b);
        if (!socket) return std::unexpected(StartFailure{StartError::Socket, "LAN B: " + socket.error().text});
        lan_b.emplace(std::move(*socket));
    }
    return slot_.start(blocking, shared_->config.iface, [&](Socket socket, Reporter reporter, bool) {
        return std::thread(transmit, shared_, std::move(socket), std::move(lan_b), std::move(reporter));
    });
}

void Publisher::stop(Blocking& blocking) { slot_.stop(blocking); }

void Publisher::dispose() { slot_.dispose(); }

std::expected<void, PublishError> Publisher::publish(std::size_t block, std::span<const std::uint8_t> content,
                                                     std::uint32_t entries) {
    if (block >= shared_->mailboxes.size()) return std::unexpected(PublishError::NoSuchBlock);
    Mailbox& mailbox = *shared_->mailboxes[block];
    if (content.size() > mailbox.capacity()) return std::unexpected(PublishError::TooLarge);
    mailbox.put(content, entries);
    futex_change_and_wake(shared_->wake);
    return {};
}

Faults& Publisher::faults(std::size_t block) noexcept { return shared_->faults[block]; }

void Publisher::silence(std::size_t block, std::int64_t ns) noexcept {
    const Nanos until = now_ns() + (ns > 0 ? ns : 0);
    shared_->faults[block].silent_until_ns.store(static_cast<std::int64_t>(until));
}

const sch::Template& Publisher::block_template(std::size_t block) const noexcept {
    return shared_->templates[block];
}

const sch::Timing& Publisher::block_timing(std::size_t block) const noexcept {
    return shared_->config.blocks[block].timing;
}

std::optional<ChangeSent> Publisher::last_change(std::size_t block) const noexcept {
    const ChangeRecord& record = shared_->changes[block];
    // The thread writes a record at most once per state change: a few
    // tries always find it still.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::uint32_t before = record.seq.load(std::memory_order_acquire);
        if (before & 1U) continue;
        const ChangeSent seen{record.st_num.load(std::memory_order_relaxed),
                              record.sent_ns.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        if (record.seq.load(std::memory_order_relaxed) != before) continue;
        if (before == 0) return std::nullopt;
        return seen;
    }
    return std::nullopt;
}

Stats Publisher::stats() const noexcept {
    return {
        .frames_sent = shared_->frames_sent.load(),
        .send_errors = shared_->send_errors.load(),
        .late_frames = shared_->late_frames.load(),
        .max_lateness_ns = shared_->max_lateness_ns.load(),
    };
}

std::vector<std::int64_t> Publisher::lateness_log() const {
    return {shared_->lateness.begin(), shared_->lateness.begin() + static_cast<std::ptrdiff_t>(shared_->lateness_count)};
}

}  // namespace valdrin::io::goose_engine
