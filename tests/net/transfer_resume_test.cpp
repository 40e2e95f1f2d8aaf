// The resumable installer download against a loopback server that cuts,
// stalls and changes its file: what is kept, what is asked for, what crosses
// the wire and what the finished file holds.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "net/installer_transfer.h"
#include "net/transfer.h"
#include "platform/sha256.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/release_server.h"
#include "tests/support/temp_dir.h"

namespace solvane {
namespace {

using testing::FaultyFile;
using testing::ReadFile;
using testing::ReleaseServer;
using testing::TempDir;
using namespace std::chrono_literals;

const std::string kPath = "/r/Solvane-2.0.0.exe";

std::string Sha256Of(const std::string& content) {
  Sha256Hash hash = Sha256Begin();
  Sha256Update(*hash, content.data(), content.size());
  Sha256Digest digest{};
  EXPECT_TRUE(Sha256Finish(*hash, digest));
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

FaultyFile Faulty(const std::string& body) {
  FaultyFile file;
  file.body = body;
  return file;
}

std::string Version(char tag, std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(tag + (i * 31 + i / 97) % 61);
  return text;
}

class ResumeTest : public ::testing::Test {
 protected:
  InstallerDownload Request(const std::string& body,
                            const std::optional<PartialDownload>& held = {}) const {
    InstallerDownload request;
    request.url = server_.Url(kPath);
    request.sha256 = Sha256Of(body);
    request.destination = Destination();
    request.held = held;
    request.pause = 10ms;
    return request;
  }
  std::string Destination() const { return dir_.str() + "/Solvane-2.0.0.exe.partial"; }

  InstallerDownloadResult Download(const InstallerDownload& request,
                                   const TransferTuning& tuning = {}) {
    reported_.clear();
    return DownloadWithResume(
        request, [this](int percent) { percents_.push_back(percent); },
        [this](const PartialDownload& partial) { reported_.push_back(partial); }, tuning);
  }

  // A first run cut at 40 % of `body`; returns what it kept.
  PartialDownload CutAtForty(const std::string& body, FaultyFile file = {}) {
    file.body = body;
    file.cuts = {0.4};
    server_.ServeFaulty(kPath, file);
    const InstallerDownloadResult first = Download(Request(body));
    EXPECT_FALSE(first.complete);
    EXPECT_TRUE(first.partial);
    return first.partial.value_or(PartialDownload{});
  }

  TempDir dir_;
  ReleaseServer server_;
  std::vector<PartialDownload> reported_;
  std::vector<int> percents_;
};

TEST_F(ResumeTest, CutDownloadResumesWithOnlyTheRemainderOnTheWire) {
  const std::string body = Version('A', 1000 * 1000 + 7);
  const std::size_t forty = body.size() * 2 / 5;
  const PartialDownload kept = CutAtForty(body);

  // The cut run kept its bytes and said so before the body began.
  EXPECT_EQ(kept.url, server_.Url(kPath));
  EXPECT_EQ(kept.sha256, Sha256Of(body));
  EXPECT_EQ(kept.bytes, static_cast<std::int64_t>(forty));
  EXPECT_EQ(kept.validator, "\"v1\"");
  ASSERT_EQ(reported_.size(), 1u);
  EXPECT_EQ(reported_[0].bytes, 0);
  EXPECT_EQ(reported_[0].validator, "\"v1\"");
  EXPECT_EQ(ReadFile(Destination()), body.substr(0, forty));
  EXPECT_EQ(server_.BytesSent(kPath), static_cast<std::int64_t>(forty));

  // The next run asks for the rest, of that version only.
  server_.ServeFaulty(kPath, Faulty(body));
  percents_.clear();
  const InstallerDownloadResult second = Download(Request(body, kept));
  EXPECT_TRUE(second.complete);
  EXPECT_FALSE(second.partial);
  EXPECT_EQ(second.restarts, 0);
  EXPECT_EQ(server_.LastRange(kPath), "bytes=" + std::to_string(forty) + "-");
  EXPECT_EQ(server_.LastIfRange(kPath), "\"v1\"");
  EXPECT_EQ(second.bytes_received, static_cast<std::int64_t>(body.size() - forty));
  EXPECT_EQ(server_.BytesSent(kPath), static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(ReadFile(Destination()), body);
  // Progress starts from the bytes held, not from zero.
  ASSERT_FALSE(percents_.empty());
  EXPECT_GE(percents_.front(), 40);
  EXPECT_EQ(percents_.back(), 100);
}

TEST_F(ResumeTest, AnyOtherVersionOnTheServerRestartsFromZeroOnce) {
  const std::string old_body = Version('A', 300 * 1000);
  const std::string new_body = Version('a', 300 * 1000);
  struct Case {
    const char* name;
    FaultyFile second;
  };
  const Case cases[] = {
      // A 200 to the ranged request: the whole new file in that same response.
      {"server ignores Range",
       [&] {
         FaultyFile f = Faulty(new_body);
         f.ignore_range = true;
         return f;
       }()},
      // If-Range names the old version: a plain server answers 200.
      {"file changed, new ETag",
       [&] {
         FaultyFile f = Faulty(new_body);
         f.etag = "\"v2\"";
         return f;
       }()},
      // A server that serves the range anyway, under its new validator.
      {"file changed, range served regardless",
       [&] {
         FaultyFile f = Faulty(new_body);
         f.etag = "\"v2\"";
         f.ignore_if_range = true;
         return f;
       }()},
      {"416",
       [&] {
         FaultyFile f = Faulty(new_body);
         f.answer_416 = true;
         return f;
       }()},
      {"ETag gone, only Last-Modified",
       [&] {
         FaultyFile f = Faulty(new_body);
         f.etag = "";
         f.last_modified = "Tue, 08 Dec 2026 10:00:00 GMT";
         f.ignore_if_range = true;
         return f;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The held bytes are of the old file, but the record says the release is
    // the new one: only a clean restart can give its digest.
    FaultyFile first = Faulty(old_body);
    first.cuts = {0.4};
    server_.ServeFaulty(kPath, first);
    const InstallerDownloadResult cut = Download(Request(new_body));
    ASSERT_TRUE(cut.partial);

    server_.ServeFaulty(kPath, c.second);
    const InstallerDownloadResult again = Download(Request(new_body, cut.partial));
    EXPECT_TRUE(again.complete);
    EXPECT_EQ(again.restarts, 1);
    EXPECT_EQ(ReadFile(Destination()), new_body);
  }
}

TEST_F(ResumeTest, HeldBytesOfAnotherReleaseOrWithoutValidatorAreNotKept) {
  const std::string body = Version('A', 200 * 1000);
  PartialDownload kept = CutAtForty(body);

  // Another digest is another release: its bytes are thrown away unasked.
  const std::string other = Version('q', 1000);
  server_.ServeFaulty(kPath, Faulty(other));
  kept.sha256 = Sha256Of(body);
  EXPECT_TRUE(Download(Request(other, kept)).complete);
  EXPECT_EQ(server_.LastRange(kPath), "");
  EXPECT_EQ(ReadFile(Destination()), other);

  // A server that names no version, or none worth keeping: nothing can be
  // asked for later, so nothing is kept.
  for (const auto& [etag, last_modified] : {
           std::pair<std::string, std::string>{"", ""},
           {std::string(90000, '\x01'), "Tue, 08 Dec 2026 10:00:00 GMT junk"},
       }) {
    FaultyFile bare = Faulty(body);
    bare.etag = etag;
    bare.last_modified = last_modified;
    bare.cuts = {0.4};
    server_.ServeFaulty(kPath, bare);
    const InstallerDownloadResult cut = Download(Request(body));
    EXPECT_FALSE(cut.complete);
    EXPECT_FALSE(cut.partial);
    EXPECT_TRUE(reported_.empty());
    EXPECT_FALSE(std::filesystem::exists(Destination()));
  }

  // A digest mismatch leaves nothing, not even a partial.
  server_.ServeFaulty(kPath, Faulty(body));
  InstallerDownload wrong = Request(body);
  wrong.sha256 = Sha256Of(other);
  const InstallerDownloadResult mismatch = Download(wrong);
  EXPECT_FALSE(mismatch.complete);
  EXPECT_FALSE(mismatch.partial);
  EXPECT_FALSE(std::filesystem::exists(Destination()));
}

TEST_F(ResumeTest, BrokenConnectionsAreRetriedFromTheBytesHeld) {
  const std::string body = Version('A', 2 * 1000 * 1000);
  FaultyFile file = Faulty(body);
  file.cuts = {0.3, 0.7};  // dropped twice
  server_.ServeFaulty(kPath, file);
  InstallerDownload request = Request(body);
  request.attempts = 3;
  const InstallerDownloadResult result = Download(request);
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(server_.Hits(kPath), 3);
  // No byte crossed the wire twice.
  EXPECT_EQ(result.bytes_received, static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(ReadFile(Destination()), body);
  ASSERT_FALSE(percents_.empty());
  for (std::size_t i = 1; i < percents_.size(); ++i) {
    EXPECT_GE(percents_[i], percents_[i - 1]) << "at report " << i;
  }
  EXPECT_EQ(percents_.back(), 100);

  // With one try fewer the second drop ends the call, bytes kept.
  server_.ServeFaulty(kPath, file);
  request.attempts = 2;
  const InstallerDownloadResult short_of_tries = Download(request);
  EXPECT_FALSE(short_of_tries.complete);
  ASSERT_TRUE(short_of_tries.partial);
  EXPECT_EQ(short_of_tries.partial->bytes, static_cast<std::int64_t>(body.size() * 7 / 10));
}

TEST_F(ResumeTest, OnlyAStallEndsTheTransferNotItsDuration) {
  const std::string body = Version('A', 80 * 1000);
  // The old whole-transfer limit, shortened to 1 second, and a stall limit of
  // 1 second under 10 KB/s (libcurl averages the speed over the last few
  // seconds); the file takes about 2 seconds at 40 KB/s.
  TransferTuning tuning;
  tuning.timeout_seconds = 1;
  tuning.stall_bytes_per_second = 10 * 1000;
  tuning.stall_seconds = 1;
  FaultyFile slow = Faulty(body);
  slow.bytes_per_second = 40 * 1000;
  server_.ServeFaulty(kPath, slow);

  std::string fetched;
  // The manifest keeps its limit: it times out.
  EXPECT_EQ(static_cast<int>(FetchToMemory(server_.Url(kPath), fetched, tuning).kind),
            static_cast<int>(OutcomeKind::kTimedOut));
  EXPECT_TRUE(Download(Request(body), tuning).complete);
  EXPECT_EQ(ReadFile(Destination()), body);

  // Early on it stops sending for 4 seconds: a stall, and the bytes stay.
  FaultyFile stalled = slow;
  stalled.stall_at = 0.1;
  stalled.stall_for = 4s;
  server_.ServeFaulty(kPath, stalled);
  const InstallerDownloadResult result = Download(Request(body), tuning);
  EXPECT_FALSE(result.complete);
  ASSERT_TRUE(result.partial);
  EXPECT_EQ(result.partial->bytes, static_cast<std::int64_t>(body.size() / 10));
  EXPECT_EQ(static_cast<int>(result.outcome.kind), static_cast<int>(OutcomeKind::kStalled));
  EXPECT_TRUE(result.outcome.kept_for_resume);
  EXPECT_EQ(result.outcome.bytes_held, result.partial->bytes);
}

// The bytes pass through a writer and a flusher thread: a file of many
// buffers and flushes arrives whole, and a write that fails part-way fails
// the download and keeps nothing.
TEST_F(ResumeTest, ALargeFileArrivesWholeAndAFailedWriteKeepsNothing) {
  const std::string body = Version('L', 40 * 1024 * 1024 + 13);
  server_.ServeFaulty(kPath, Faulty(body));
  const InstallerDownloadResult whole = Download(Request(body));
  EXPECT_TRUE(whole.complete);
  EXPECT_TRUE(ReadFile(Destination()) == body);
  std::filesystem::remove(Destination());

#ifndef _WIN32
  const testing::FileSizeLimit limited(3 * 1024 * 1024);
  ASSERT_TRUE(limited.active());
  const InstallerDownloadResult cut = Download(Request(body));
  EXPECT_FALSE(cut.complete);
  EXPECT_FALSE(cut.partial);
  EXPECT_FALSE(std::filesystem::exists(Destination()));
#endif
}

}  // namespace
}  // namespace solvane
