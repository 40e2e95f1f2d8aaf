// Fetching an installer into the updates folder so that its final name only
// ever holds a whole, verified file.
#pragma once

#include <functional>
#include <string>

#include "net/transfer.h"

namespace solvane {

// Downloads `url` to `final_path` + ".partial", verifies it there against
// `sha256` (skipped when "") and only then renames it to `final_path`,
// replacing what was there. `progress` receives the download's per cent and
// `verifying`, when set, is called once the bytes are all in. False on any
// failure: the partial file is then gone and an existing file at
// `final_path` was neither opened, truncated nor deleted. The caller holds the
// updates folder's lock.
[[nodiscard]] bool DownloadInstaller(const std::string& url, const std::string& sha256,
                                     const std::string& final_path,
                                     const ProgressCallback& progress,
                                     const std::function<void()>& verifying = nullptr);

}  // namespace solvane
