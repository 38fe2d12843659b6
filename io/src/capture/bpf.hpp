// The classic BPF program a capture socket runs in the kernel: it passes
// GOOSE (88B8) and SV (88BA) frames (with `redundancy`, also PRP supervision
// 88FB and HSR-tagged 892F frames), untagged or with one 802.1Q tag, and
// drops everything else before it reaches the ring.
#pragma once

#include <linux/filter.h>

#include <span>

namespace valdrin::io {

// The program, static and immutable; outgoing frames (the host's own) pass
// only when `include_outgoing`.
[[nodiscard]] std::span<const sock_filter> process_bus_filter(bool include_outgoing, bool redundancy = false) noexcept;

}  // namespace valdrin::io
