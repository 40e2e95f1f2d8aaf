// solvane-publish: maintains the release tree that a static web host serves
// to SolvaneSetup (manifest.json and the installer files).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/release_tree.h"

namespace {

using solvane::publish::Outcome;

constexpr const char kUsage[] =
    "usage: solvane-publish <command> [options]\n"
    "\n"
    "Maintains a release tree for SolvaneSetup: manifest.json at its root and\n"
    "each installer under <platform>/<version>/<file name>, ready for any static\n"
    "web host or CDN.\n"
    "\n"
    "commands:\n"
    "  add      publish an installer as a release of one platform\n"
    "  verify   check the tree's files against its manifest\n"
    "\n"
    "'solvane-publish <command> --help' describes a command.\n"
    "\n"
    "exit codes: 0 done; 1 problems found or the tree could not be written;\n"
    "            2 request refused or bad usage (nothing changed)\n";

constexpr const char kAddUsage[] =
    "usage: solvane-publish add --root DIR --base-url URL --platform KEY --version V\n"
    "                           [--notes TEXT | --notes-file FILE] [--no-stable] [--replace]\n"
    "                           INSTALLER\n"
    "\n"
    "Copies INSTALLER to DIR/KEY/V/<its file name>, records its SHA-256, URL\n"
    "(URL + KEY/V/<file name>) and notes under releases in DIR/manifest.json, and\n"
    "makes V the stable version of KEY unless --no-stable is given. Every other\n"
    "member of the manifest is kept; the manifest is replaced atomically.\n"
    "\n"
    "  --root DIR         the release tree (created when missing)\n"
    "  --base-url URL     where DIR is served, ending in '/'\n"
    "  --platform KEY     platform key, e.g. windows-x64 or linux-x64\n"
    "  --version V        release version; must begin with a number\n"
    "  --notes TEXT       release notes\n"
    "  --notes-file FILE  release notes read from FILE\n"
    "  --no-stable        publish without making it the stable version\n"
    "  --replace          allow a new file for a version already published\n"
    "\n"
    "exit codes: 0 published; 1 the tree could not be written; 2 refused\n";

constexpr const char kVerifyUsage[] =
    "usage: solvane-publish verify --root DIR\n"
    "\n"
    "Checks that every release entry's file exists under DIR and matches its\n"
    "SHA-256, and that every stable version has an entry with a url. Prints one\n"
    "line per problem.\n"
    "\n"
    "exit codes: 0 the tree is sound; 1 problems found; 2 bad usage\n";

int Usage(const char* text, const std::string& problem) {
  std::fprintf(stderr, "solvane-publish: %s\n\n%s", problem.c_str(), text);
  return 2;
}

int Report(const Outcome& outcome) {
  for (const std::string& line : outcome.messages) {
    std::fprintf(outcome.code == 0 ? stdout : stderr, "%s%s\n",
                 outcome.code == 0 ? "" : "solvane-publish: ", line.c_str());
  }
  return outcome.code;
}

int RunAdd(const std::vector<std::string>& args) {
  solvane::publish::AddRequest request;
  std::string notes_file;
  bool notes_given = false;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kAddUsage, stdout);
      return 0;
    } else if (arg == "--root") {
      ok = value(request.root);
    } else if (arg == "--base-url") {
      ok = value(request.base_url);
    } else if (arg == "--platform") {
      ok = value(request.platform);
    } else if (arg == "--version") {
      ok = value(request.version);
    } else if (arg == "--notes") {
      ok = value(request.notes);
      notes_given = true;
    } else if (arg == "--notes-file") {
      ok = value(notes_file);
    } else if (arg == "--no-stable") {
      request.make_stable = false;
    } else if (arg == "--replace") {
      request.replace = true;
    } else if (arg.starts_with("--")) {
      return Usage(kAddUsage, "unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
    if (!ok) return Usage(kAddUsage, arg + " needs a value");
  }
  if (request.root.empty() || request.base_url.empty() || request.platform.empty() ||
      request.version.empty()) {
    return Usage(kAddUsage, "--root, --base-url, --platform and --version are required");
  }
  if (positional.size() != 1) return Usage(kAddUsage, "name exactly one installer");
  if (notes_given && !notes_file.empty()) {
    return Usage(kAddUsage, "give --notes or --notes-file, not both");
  }
  if (!notes_file.empty()) {
    std::ifstream in(notes_file, std::ios::binary);
    if (!in) return Report({2, {"cannot read notes file " + notes_file}});
    std::ostringstream text;
    text << in.rdbuf();
    request.notes = text.str();
  }
  request.installer = positional[0];
  return Report(solvane::publish::AddRelease(request));
}

int RunVerify(const std::vector<std::string>& args) {
  std::string root;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kVerifyUsage, stdout);
      return 0;
    } else if (args[i] == "--root" && i + 1 < args.size()) {
      root = args[++i];
    } else {
      return Usage(kVerifyUsage, "unexpected argument " + args[i]);
    }
  }
  if (root.empty()) return Usage(kVerifyUsage, "--root is required");
  return Report(solvane::publish::VerifyTree(root));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(kUsage, "no command given");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "add") return RunAdd(args);
  if (command == "verify") return RunVerify(args);
  return Usage(kUsage, "unknown command " + command);
}
