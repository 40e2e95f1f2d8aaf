// The bytes of one download on their way to the disk. The receiving thread
// hands each piece over and goes back to the network; a writer thread writes
// and hashes them, and a third thread flushes what was written to the disk
// every few MiB. So the transfer never waits for the hash or the disk, and the
// flush at the end has only the last few MiB left to do. Memory stays a fixed
// few MiB whatever the file's size.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/sha256.h"

namespace solvane {

class DownloadSink {
 public:
  DownloadSink();
  // Discards what is still queued, closes the file and stops the threads.
  ~DownloadSink();
  DownloadSink(const DownloadSink&) = delete;
  DownloadSink& operator=(const DownloadSink&) = delete;

  // Closes any earlier file, then takes `file`, positioned at its end, and
  // `hash`, which already holds every byte before that position.
  void Begin(UniqueFile file, Sha256Hash hash);

  // Queues bytes for the file; waits only while every buffer is full.
  // False once a write or a flush has failed, or with no file.
  [[nodiscard]] bool Append(const char* data, std::size_t size);

  // Waits until every queued byte is written and hashed. False when a write
  // or a flush failed since Begin.
  [[nodiscard]] bool Drain();

  // Drains, puts the file on the disk, closes it and gives the digest of
  // exactly the bytes it holds. False when any of that failed.
  [[nodiscard]] bool Finish(Sha256Digest& digest);

  // Drains and closes the file, leaving it as it is.
  void Close();

 private:
  struct Buffer {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
  };

  void HandOver(std::unique_lock<std::mutex>& lock);
  void Write();
  void Flush();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Buffer> free_;
  std::deque<Buffer> queued_;
  Buffer filling_;  // the receiving thread's own; not under the mutex
  UniqueFile file_;
  Sha256Hash hash_;
  bool writing_ = false;   // the writer has a buffer out of the queue
  bool flushing_ = false;  // the flusher is flushing the file
  bool failed_ = false;
  bool stop_ = false;
  std::int64_t written_ = 0;  // bytes the writer has handed to the OS
  std::int64_t flushed_ = 0;  // of those, bytes on the disk
  std::thread writer_;
  std::thread flusher_;
};

}  // namespace solvane
