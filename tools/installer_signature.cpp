#include "tools/installer_signature.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

extern char** environ;

namespace solvane::publish {
namespace {

// The CN of an X509_NAME_oneline subject ("/CN=Korrinwade Ltd./O=Korrinwade").
// A '/' only starts the next attribute when a type and '=' follow it, so a
// name holding '/' is kept whole.
std::string CommonName(std::string_view subject) {
  const std::string_view::size_type start = subject.find("/CN=");
  if (start == std::string_view::npos) return "";
  std::string_view rest = subject.substr(start + 4);
  for (std::string_view::size_type at = rest.find('/'); at != std::string_view::npos;
       at = rest.find('/', at + 1)) {
    std::string_view::size_type type = at + 1;
    while (type < rest.size() &&
           (std::isalnum(static_cast<unsigned char>(rest[type])) || rest[type] == '.')) {
      ++type;
    }
    if (type > at + 1 && type < rest.size() && rest[type] == '=')
      return std::string(rest.substr(0, at));
  }
  return std::string(rest);
}

std::string_view Trimmed(std::string_view line) {
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) {
    line.remove_prefix(1);
  }
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
    line.remove_suffix(1);
  }
  return line;
}

}  // namespace

InstallerSignature ReadOsslsigncodeOutput(std::string_view output) {
  InstallerSignature signature;
  if (output.find("No signature found") != std::string_view::npos) {
    signature.kind = InstallerSignature::Kind::kUnsigned;
    return signature;
  }
  if (output.find("MISMATCH") != std::string_view::npos) {
    signature.kind = InstallerSignature::Kind::kChanged;
    return signature;
  }
  // The first subject after "Signer's certificate:" is the signer's own.
  const std::string_view::size_type section = output.find("Signer's certificate:");
  if (section == std::string_view::npos) return signature;
  const std::string_view::size_type subject = output.find("Subject:", section);
  if (subject == std::string_view::npos) return signature;
  const std::string_view line =
      output.substr(subject + 8, output.find('\n', subject) - (subject + 8));
  signature.signer = CommonName(Trimmed(line));
  if (!signature.signer.empty()) signature.kind = InstallerSignature::Kind::kSigned;
  return signature;
}

InstallerSignature CheckInstallerSignature(const std::string& file) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return {InstallerSignature::Kind::kNoTool, ""};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
  std::string tool = "osslsigncode", verb = "verify", in = "-in", path = file;
  char* argv[] = {tool.data(), verb.data(), in.data(), path.data(), nullptr};
  pid_t child = 0;
  const int spawned = ::posix_spawnp(&child, "osslsigncode", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t got; spawned == 0 && (got = ::read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) output.append(buffer, static_cast<std::size_t>(got));
    if (got < 0 && errno != EINTR) break;
  }
  ::close(pipe_ends[0]);
  if (spawned != 0) return {InstallerSignature::Kind::kNoTool, ""};
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The shell's "command not found", for a posix_spawnp that execs late.
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
    return {InstallerSignature::Kind::kNoTool, ""};
  return ReadOsslsigncodeOutput(output);
}

std::string SignatureWarning(const InstallerSignature& signature,
                             const std::vector<std::string>& names, const std::string& where) {
  // A check that could not run says so: it never passes for one that did.
  std::string wanted;
  for (const std::string& name : names) wanted += (wanted.empty() ? "" : " or ") + name;
  const std::string head = "warning: " + where + "not signed by " + wanted + ": ";
  switch (signature.kind) {
    case InstallerSignature::Kind::kNoTool:
      return "warning: " + where + "signature not checked: osslsigncode cannot be started";
    case InstallerSignature::Kind::kUnsigned:
      return head + "no signature";
    case InstallerSignature::Kind::kChanged:
      return head + "changed after it was signed";
    case InstallerSignature::Kind::kUnreadable:
      return head + "osslsigncode's answer cannot be read";
    case InstallerSignature::Kind::kSigned:
      break;
  }
  if (std::find(names.begin(), names.end(), signature.signer) != names.end()) return "";
  return head + "signed by \"" + signature.signer + "\"";
}

}  // namespace solvane::publish
