// The chunked reader of capture files: the same records whatever sizes the
// source reads in, the source's errors passed on, files and directories opened.
#include "capture_file/file_reader.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace valdrin::io {
namespace {

using Octets = std::vector<std::uint8_t>;

void put32(Octets& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A little-endian nanosecond pcap of `count` frames, frame k of k % 300 octets of value k.
Octets capture(std::size_t count) {
    Octets out;
    for (std::uint32_t v : {0xA1B23C4Du, 0x00040002u, 0u, 0u, 65535u, 1u}) put32(out, v);
    for (std::size_t k = 0; k < count; ++k) {
        const auto n = static_cast<std::uint32_t>(k % 300);
        put32(out, static_cast<std::uint32_t>(k));
        put32(out, 0);
        put32(out, n);
        put32(out, n);
        out.insert(out.end(), n, static_cast<std::uint8_t>(k));
    }
    return out;
}

// Hands out `file` at most `step` octets per read; fails with `error` once `fail_at` octets are out.
class MemorySource final : public OctetSource {
public:
    MemorySource(Octets file, std::size_t step, std::size_t fail_at = SIZE_MAX, int error = EIO)
        : file_(std::move(file)), step_(step), fail_at_(fail_at), error_(error) {}
    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        if (at_ >= fail_at_) return -error_;
        const std::size_t n = std::min({into.size(), step_, file_.size() - at_, fail_at_ - at_});
        std::copy_n(file_.begin() + static_cast<std::ptrdiff_t>(at_), n, into.begin());
        at_ += n;
        return static_cast<std::int64_t>(n);
    }

private:
    Octets file_;
    std::size_t step_, at_ = 0, fail_at_;
    int error_;
};

TEST(CaptureFileReader, SameRecordsWhateverTheReadSizes) {
    // 5000 frames of up to 299 octets: about 800 KiB, several refills at the small steps.
    const Octets file = capture(5000);
    for (const std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, CaptureFileReader::CHUNK * 2}) {
        MemorySource source(file, step);
        CaptureFileReader reader(source);
        std::size_t k = 0;
        CaptureFileReader::Next next;
        while ((next = reader.next()) == CaptureFileReader::Next::record) {
            const capfile::Record& record = reader.record();
            ASSERT_EQ(record.time_ns, static_cast<std::int64_t>(k) * 1'000'000'000) << step;
            ASSERT_EQ(record.data.size(), k % 300);
            ASSERT_TRUE(std::all_of(record.data.begin(), record.data.end(),
                                    [&](std::uint8_t octet) { return octet == static_cast<std::uint8_t>(k); }));
            ++k;
        }
        EXPECT_EQ(next, CaptureFileReader::Next::end) << step;
        EXPECT_EQ(k, 5000u);
        EXPECT_EQ(reader.parser().offset(), file.size());
    }
}

TEST(CaptureFileReader, ASourceErrorEndsTheReadingAfterTheRecordsBefore) {
    MemorySource source(capture(10), 1 << 20, 100, EIO);  // the first read gives 100 octets, the next fails
    CaptureFileReader reader(source);
    std::size_t records = 0;
    CaptureFileReader::Next next;
    while ((next = reader.next()) == CaptureFileReader::Next::record) ++records;
    EXPECT_EQ(next, CaptureFileReader::Next::os_error);
    EXPECT_EQ(reader.os_error(), EIO);
    EXPECT_EQ(records, 4u);  // 24 + 16 + (16 + 1) + (16 + 2) + (16 + 3) = 94 octets; the fifth needs 114
    EXPECT_EQ(reader.next(), CaptureFileReader::Next::os_error);  // and it stays so
}

TEST(CaptureFileReader, ACutFileIsTheParsersError) {
    Octets file = capture(3);
    file.pop_back();
    MemorySource source(file, 5);
    CaptureFileReader reader(source);
    while (reader.next() == CaptureFileReader::Next::record) {
    }
    EXPECT_EQ(capfile::describe(reader.parser().error()),
              "capture ends inside frame 3 at offset 57: the frames before it are reported");
}

TEST(FileSource, OpensFilesNotDirectories) {
    char path[] = "/tmp/valdrin_capture_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const Octets file = capture(4);
    ASSERT_EQ(::write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    ::close(fd);
    auto source = FileSource::open(path);
    ASSERT_TRUE(source);
    EXPECT_EQ((*source)->size(), file.size());
    CaptureFileReader reader(**source);
    std::size_t records = 0;
    while (reader.next() == CaptureFileReader::Next::record) ++records;
    EXPECT_EQ(records, 4u);
    ::unlink(path);
    EXPECT_EQ(FileSource::open("/tmp").error(), EISDIR);
    EXPECT_EQ(FileSource::open(path).error(), ENOENT);
}

}  // namespace
}  // namespace valdrin::io
