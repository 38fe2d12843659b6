// Capture files read from disk, a pipe or any other source of octets, in
// bounded chunks, through the core's capture-file parser: a record at a
// time, each a view valid until the next call. Memory stays at one chunk
// (1 MiB) unless a single record is longer, never the whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "capture_file.hpp"
#include "fd.hpp"

namespace valdrin::io {

// A source of a capture file's octets.
class OctetSource {
public:
    virtual ~OctetSource() = default;
    // Reads up to `into.size()` octets into `into`; returns how many (0 at
    // the end) or a negative errno.
    virtual std::int64_t read(std::span<std::uint8_t> into) noexcept = 0;
};

// A file opened for reading, read with read(2).
class FileSource final : public OctetSource {
public:
    // Opens `path`; the errno when it cannot be opened or is a directory (EISDIR).
    [[nodiscard]] static std::expected<std::unique_ptr<FileSource>, int> open(const char* path);
    std::int64_t read(std::span<std::uint8_t> into) noexcept override;
    // The file's size in octets, 0 when it is not a regular file.
    [[nodiscard]] std::uint64_t size() const noexcept { return size_; }

private:
    FileSource(Fd fd, std::uint64_t size) noexcept : fd_(std::move(fd)), size_(size) {}
    Fd fd_;
    std::uint64_t size_;
};

// The records of a capture, read from a source in chunks.
class CaptureFileReader {
public:
    // What next() found.
    enum class Next : std::uint8_t { record, end, error, os_error };

    // Reads from `source`, which must outlive the reader.
    explicit CaptureFileReader(OctetSource& source) : source_(source) {}

    // The next record; after Next::error parser().error(), after
    // Next::os_error os_error() says why, and further calls repeat it.
    [[nodiscard]] Next next() noexcept;
    // The record of the last Next::record: its data valid until next().
    [[nodiscard]] const capfile::Record& record() const noexcept { return parser_.record(); }
    // The parser, with the error, the offset and the frames read.
    [[nodiscard]] const capfile::Reader& parser() const noexcept { return parser_; }
    // The errno of the last Next::os_error (ENOMEM when a record did not fit in memory).
    [[nodiscard]] int os_error() const noexcept { return os_error_; }

    static constexpr std::size_t CHUNK = 1 << 20;

private:
    // Makes the buffer hold at least `wanted` octets from begin_, or all that is left; the errno on failure.
    int fill(std::size_t wanted) noexcept;

    OctetSource& source_;
    capfile::Reader parser_;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool at_end_ = false;
    int os_error_ = 0;
};

}  // namespace valdrin::io
