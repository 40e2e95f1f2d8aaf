// File access for narrow program paths. Paths inside the program are narrow
// strings with '/' separators; these wrappers turn them into the file system's
// own form, so call sites never branch on the OS.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace solvane {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept {
    if (f) std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// The file-system path for a narrow program path. Throws
// std::filesystem::filesystem_error when the text cannot be converted.
std::filesystem::path ToFsPath(const std::string& narrow);

// fopen for a narrow path; null when it cannot be opened (or converted) or is
// not a regular file. Never waits for the other end of a FIFO.
[[nodiscard]] UniqueFile OpenFile(const std::string& path, const char* mode);

// OpenFile for a file the program writes in its own folder: null, before
// anything in it is truncated or written, when `path` is a symbolic link, a
// reparse point or a file with another hard link, so that nothing is ever
// written through a link into some other file.
[[nodiscard]] UniqueFile OpenOwnFile(const std::string& path, const char* mode);

// Flushes the stream and asks the OS to put the file's data on the disk.
// Returns false when either step fails.
[[nodiscard]] bool FlushToDisk(std::FILE* file);

// Renames `from` over `to` in one step, replacing `to` if it exists.
// Returns false (and leaves `to` as it was) on failure.
[[nodiscard]] bool RenameOver(const std::string& from, const std::string& to);

// How WriteFileAtomically stores the text: byte for byte, or as a text file
// whose line ends are the OS's own ("\r\n" on Windows).
enum class FileForm { kBinary, kText };

// Replaces the file at `path` with `contents` in one step: writes a new file
// "<path>.tmp-<12 hex digits>" beside it, flushes it to the disk, renames it
// over `path` and syncs the folder where the OS needs that. Returns false,
// removing the temporary file and leaving `path` as it was, when any step fails.
[[nodiscard]] bool WriteFileAtomically(const std::string& path, std::string_view contents,
                                       FileForm form);

// The temporary name WriteFileAtomically uses for `path`: `path` + ".tmp-"
// and 12 random lower-case hexadecimal digits.
[[nodiscard]] std::string TemporaryNameFor(const std::string& path);

// Whether a file at `path` may be replaced: it is absent, or writable by us.
[[nodiscard]] bool CanReplace(const std::string& path);

// Whether anything exists at the path (links followed); false on any error.
[[nodiscard]] bool PathExists(const std::string& path);

// Deletes the entry at the path (a link itself, not its target). Returns true
// when nothing is there afterwards.
[[nodiscard]] bool RemovePath(const std::string& path);

// What a file operation that waits out other programs came to.
struct [[nodiscard]] PatientResult {
  bool ok = false;      // done
  bool waited = false;  // another program held the file at first
};

// RenameOver and RemovePath for a file another program may hold for a moment.
// On Windows virus scanners and indexers open a freshly written executable
// without sharing its deletion, so that it can be neither renamed nor
// removed meanwhile: a sharing, lock or access-denied failure is tried again
// for up to about five seconds. Elsewhere the plain calls.
PatientResult RenameOverPatiently(const std::string& from, const std::string& to);
PatientResult RemovePathPatiently(const std::string& path);

// Bytes the current user may still write on the disk that holds `path` (a
// folder); nullopt when the system cannot tell.
[[nodiscard]] std::optional<std::int64_t> FreeDiskBytes(const std::string& path);

}  // namespace solvane
