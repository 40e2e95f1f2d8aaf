// A release tree for a static web host: manifest.json at its root and each
// installer under <platform>/<version>/<file name>.
#pragma once

#include <string>
#include <vector>

namespace solvane::publish {

struct AddRequest {
  std::string root;
  std::string base_url;  // where the root is served; ends in '/'
  std::string platform;
  std::string version;
  std::string notes;
  std::string installer;  // path of the file to publish
  bool make_stable = true;
  bool replace = false;
};

// Outcome of an operation: `code` 0 on success, 1 when the tree is broken or
// could not be written, 2 when the request was refused (nothing changed).
struct Outcome {
  int code = 0;
  std::vector<std::string> messages;
};

// Copies the installer into the tree, records its release entry and (unless
// told otherwise) makes it the stable version of its platform. The manifest
// is replaced atomically and checked with the client's own parser first.
Outcome AddRelease(const AddRequest& request);

// Checks that every release entry's file is in the tree and matches its
// digest, and that every stable version has an entry with a url.
Outcome VerifyTree(const std::string& root);

}  // namespace solvane::publish
