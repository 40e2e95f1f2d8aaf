#include "app/installer_download.h"

#include "constants.h"
#include "net/verify.h"
#include "platform/fs.h"

namespace solvane {

bool DownloadInstaller(const std::string& url, const std::string& sha256,
                       const std::string& final_path, const ProgressCallback& progress,
                       const std::function<void()>& verifying) {
  const std::string partial = final_path + kPartialSuffix;
  bool ok = DownloadFile(url, partial, progress);
  if (ok) {
    if (verifying) verifying();
    // An empty digest means the release is published unverified.
    ok = sha256.empty() || VerifySha256(partial, sha256);
  }
  ok = ok && RenameOver(partial, final_path);
  if (!ok) RemovePath(partial);
  return ok;
}

}  // namespace solvane
