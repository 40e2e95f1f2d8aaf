// What Debian's osslsigncode says of a Windows installer's Authenticode
// signature, for the publishing tool's warnings: the client's own check is
// Windows' verifier, and only a Windows machine judges the chain.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace solvane::publish {

struct InstallerSignature {
  enum class Kind {
    kNoTool,     // osslsigncode could not be started
    kUnsigned,   // no signature
    kChanged,    // the file's digest does not match the signed one
    kSigned,     // signed; `signer` is the signer's common name
    kUnreadable  // the tool ran but said nothing this reader understands
  } kind = Kind::kUnreadable;
  std::string signer;
};

// Reads `osslsigncode verify` output (standard output and error together).
InstallerSignature ReadOsslsigncodeOutput(std::string_view output);

// Runs `osslsigncode verify -in <file>` (found on PATH, the file name handed
// over as one argument, no shell) and reads what it says.
InstallerSignature CheckInstallerSignature(const std::string& file);

// The warning for an installer `where` ("windows-x64 2.1.0: ") that lacks
// one of `names`' signature, or that could not be checked; "" when it has it.
std::string SignatureWarning(const InstallerSignature& signature,
                             const std::vector<std::string>& names, const std::string& where);

}  // namespace solvane::publish
