#include "platform/download_sink.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace solvane {
namespace {

// Four buffers of 1 MiB: enough to ride out a slow write or hash step at
// loopback speed, small enough to keep memory flat.
constexpr std::size_t kBufferBytes = 1024 * 1024;
constexpr std::size_t kBufferCount = 4;

// Written bytes that wait for the disk before the flusher takes them on.
constexpr std::int64_t kFlushBytes = 16 * 1024 * 1024;

}  // namespace

DownloadSink::DownloadSink() {
  for (std::size_t i = 0; i < kBufferCount; ++i) {
    free_.push_back({std::make_unique<char[]>(kBufferBytes), 0});
  }
  writer_ = std::thread([this] { Write(); });
  flusher_ = std::thread([this] { Flush(); });
}

DownloadSink::~DownloadSink() {
  Close();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  writer_.join();
  flusher_.join();
}

void DownloadSink::Begin(UniqueFile file, Sha256Hash hash) {
  Close();
  std::lock_guard lock(mutex_);
  file_ = std::move(file);
  hash_ = std::move(hash);
  failed_ = !file_ || !hash_;
  written_ = flushed_ = 0;
}

bool DownloadSink::Append(const char* data, std::size_t size) {
  {
    std::lock_guard lock(mutex_);
    if (failed_ || !file_) return false;
  }
  while (size > 0) {
    if (!filling_.data) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return failed_ || !free_.empty(); });
      if (failed_) return false;
      filling_ = std::move(free_.back());
      free_.pop_back();
    }
    const std::size_t n = std::min(size, kBufferBytes - filling_.size);
    std::memcpy(filling_.data.get() + filling_.size, data, n);
    filling_.size += n;
    data += n;
    size -= n;
    if (filling_.size == kBufferBytes) {
      std::unique_lock lock(mutex_);
      HandOver(lock);
    }
  }
  // An idle writer takes what there is, so that a slow transfer reaches the
  // file as it arrives; a busy one lets the buffer grow.
  std::unique_lock lock(mutex_);
  if (filling_.size > 0 && queued_.empty() && !writing_) HandOver(lock);
  return !failed_;
}

void DownloadSink::HandOver(std::unique_lock<std::mutex>&) {
  queued_.push_back(std::move(filling_));
  filling_ = {};
  changed_.notify_all();
}

bool DownloadSink::Drain() {
  std::unique_lock lock(mutex_);
  if (filling_.data) {
    if (filling_.size > 0) {
      HandOver(lock);
    } else {
      free_.push_back(std::move(filling_));
      filling_ = {};
    }
  }
  // Idle means the flusher has nothing left to start either, so that no thread
  // touches the file once this returns.
  changed_.wait(lock, [this] {
    return queued_.empty() && !writing_ && !flushing_ && written_ - flushed_ < kFlushBytes;
  });
  return !failed_ && file_ != nullptr;
}

bool DownloadSink::Finish(Sha256Digest& digest) {
  const bool drained = Drain();
  // Drained: the threads leave the file and the hash alone until Begin.
  bool ok = drained && FlushToDisk(file_.get());
  ok = hash_ && Sha256Finish(*hash_, digest) && ok;
  const bool closed = file_ && std::fclose(file_.release()) == 0;
  hash_.reset();
  return ok && closed;
}

void DownloadSink::Close() {
  (void)Drain();  // a failure no longer matters: the bytes are given up or kept as they are
  file_.reset();
  hash_.reset();
}

// The writer: writes and hashes each queued buffer in order, then lets the
// flusher know how much the OS holds.
void DownloadSink::Write() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !queued_.empty(); });
    if (queued_.empty()) return;
    Buffer buffer = std::move(queued_.front());
    queued_.pop_front();
    writing_ = true;
    const bool skip = failed_;
    lock.unlock();
    bool ok = skip;
    if (!skip) {
      ok = std::fwrite(buffer.data.get(), 1, buffer.size, file_.get()) == buffer.size &&
           std::fflush(file_.get()) == 0;
      if (ok) Sha256Update(*hash_, buffer.data.get(), buffer.size);
    }
    lock.lock();
    if (!ok) failed_ = true;
    if (!skip) written_ += static_cast<std::int64_t>(buffer.size);
    buffer.size = 0;
    free_.push_back(std::move(buffer));
    writing_ = false;
    changed_.notify_all();
  }
}

// The flusher: puts written bytes on the disk while the transfer goes on.
void DownloadSink::Flush() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || written_ - flushed_ >= kFlushBytes; });
    if (stop_) return;
    const std::int64_t target = written_;
    flushing_ = true;
    lock.unlock();
    const bool ok = FlushToDisk(file_.get());
    lock.lock();
    if (!ok) failed_ = true;
    flushed_ = target;
    flushing_ = false;
    changed_.notify_all();
  }
}

}  // namespace solvane
