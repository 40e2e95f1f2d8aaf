// The sink through real files: what reaches the disk, in which order, and
// what a failing disk does to the download.
#include "platform/download_sink.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>

#include "release/verify.h"
#include "tests/support/temp_dir.h"

namespace solvane {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Bytes that tell every position apart within a 251-byte cycle; pieces of
// odd sizes never line up with it or with the sink's buffers.
std::string Pattern(std::size_t from, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((from + i) % 251);
  return bytes;
}

// Appends `total` bytes of the pattern, continuing from `from`, in pieces from
// one byte to a few MiB. False as soon as an Append is refused.
bool AppendPattern(DownloadSink& sink, std::size_t from, std::size_t total) {
  const std::size_t pieces[] = {1, 3, 4096, 1024 * 1024 + 7, 3 * 1024 * 1024 - 5, 17};
  std::size_t done = 0;
  for (std::size_t i = 0; done < total; ++i) {
    const std::size_t n = std::min(pieces[i % std::size(pieces)], total - done);
    const std::string piece = Pattern(from + done, n);
    if (!sink.Append(piece.data(), piece.size())) return false;
    done += n;
  }
  return true;
}

TEST(DownloadSink, WritesEveryPieceInOrderAndDigestsExactlyTheFile) {
  TempDir dir;
  const std::string path = dir.str() + "/Setup.exe.partial";
  // A resumed download: the file already holds a head, the hash has seen it.
  const std::size_t head = 1000;
  WriteFile(path, Pattern(0, head));
  Sha256Hash hash = Sha256Begin();
  ASSERT_TRUE(hash);
  Sha256Update(*hash, Pattern(0, head).data(), head);

  DownloadSink sink;
  sink.Begin(OpenFile(path, "ab"), std::move(hash));
  // Past the size at which the flusher starts putting bytes on the disk.
  const std::size_t first = 20 * 1024 * 1024 + 11;
  ASSERT_TRUE(AppendPattern(sink, head, first));
  ASSERT_TRUE(sink.Drain());
  // Drained, the file holds every byte handed over: what a stopped download
  // records as its count.
  EXPECT_EQ(std::filesystem::file_size(path), head + first);
  EXPECT_TRUE(ReadFile(path) == Pattern(0, head + first));

  const std::size_t second = 5 * 1024 * 1024 + 3;
  ASSERT_TRUE(AppendPattern(sink, head + first, second));
  Sha256Digest digest{};
  ASSERT_TRUE(sink.Finish(digest));
  EXPECT_TRUE(ReadFile(path) == Pattern(0, head + first + second));
  EXPECT_EQ(HexDigest(digest), Sha256Hex(path).value_or("no digest"));

  // Without a file nothing is taken.
  EXPECT_FALSE(sink.Append("x", 1));
  EXPECT_FALSE(sink.Drain());
}

#ifndef _WIN32
// Sets a file size limit for this process, writes past it failing with EFBIG
// instead of a SIGXFSZ that would end the test; both restored afterwards.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    saved_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, saved_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t saved_handler_ = SIG_DFL;
};

TEST(DownloadSink, AFailedWriteFailsTheDownload) {
  TempDir dir;
  const std::string path = dir.str() + "/Setup.exe.partial";
  const std::size_t limit = 2 * 1024 * 1024 + 100;
  DownloadSink sink;
  {
    const FileSizeLimit file_size_limit(limit);
    sink.Begin(OpenFile(path, "wb"), Sha256Begin());
    // Append may still take a piece or two after the write failed; never all.
    const bool appended = AppendPattern(sink, 0, 8 * 1024 * 1024);
    EXPECT_FALSE(appended && sink.Drain());
    EXPECT_FALSE(sink.Drain());
    EXPECT_FALSE(sink.Append("x", 1));
    Sha256Digest digest{};
    EXPECT_FALSE(sink.Finish(digest));
  }
  // What did reach the file is the start of the download, unchanged.
  const std::string held = ReadFile(path);
  EXPECT_LE(held.size(), limit);
  EXPECT_TRUE(held == Pattern(0, held.size()));
}

// /dev/null takes every write, but fsync refuses it (EINVAL): the flush that
// puts a download on the disk fails, at the end and on the way.
TEST(DownloadSink, AFailedFlushFailsTheDownload) {
  {
    DownloadSink sink;
    sink.Begin(UniqueFile(std::fopen("/dev/null", "wb")), Sha256Begin());
    ASSERT_TRUE(AppendPattern(sink, 0, 64 * 1024));
    EXPECT_TRUE(sink.Drain());
    Sha256Digest digest{};
    EXPECT_FALSE(sink.Finish(digest));
  }
  DownloadSink sink;
  sink.Begin(UniqueFile(std::fopen("/dev/null", "wb")), Sha256Begin());
  // Past the size at which the flusher steps in while bytes still arrive.
  const bool appended = AppendPattern(sink, 0, 40 * 1024 * 1024);
  EXPECT_FALSE(appended && sink.Drain());
  EXPECT_FALSE(sink.Drain());
}
#endif

}  // namespace
}  // namespace solvane
