// What every OS shares of the file helpers: the atomic replacement, built on
// the per-OS OpenFile, FlushToDisk and RenameOver.
#include "platform/fs.h"

#include <cstdio>
#include <random>

namespace solvane {

std::string TemporaryNameFor(const std::string& path) {
  static const char kDigits[] = "0123456789abcdef";
  std::random_device random;
  std::string name = path + ".tmp-";
  for (int i = 0; i < 12; ++i) name += kDigits[random() % 16];
  return name;
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, FileForm form) {
  const std::string temporary = TemporaryNameFor(path);
  bool written = false;
  {
    UniqueFile file = OpenFile(temporary, form == FileForm::kText ? "w" : "wb");
    if (file) {
      written = std::fwrite(contents.data(), 1, contents.size(), file.get()) == contents.size() &&
                FlushToDisk(file.get());
      // fclose reports a failed write-back that the flush did not see.
      written = std::fclose(file.release()) == 0 && written;
    }
  }
  // RenameOver syncs the folder on POSIX and writes through on Windows, so the
  // new name is on the disk once it returns.
  if (written && RenameOver(temporary, path)) return true;
  (void)RemovePath(temporary);  // the failure is already reported; a leftover is only litter
  return false;
}

}  // namespace solvane
