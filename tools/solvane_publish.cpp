// solvane-publish: maintains the release tree that a static web host serves
// to SolvaneSetup (manifest.json and the installer files).
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/terminal.h"
#include "release/key_chain.h"
#include "tools/key_sets.h"
#include "tools/release_tree.h"
#include "tools/signing.h"

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
    "  rollout  stage a release to a share of clients, or pause or end that\n"
    "  withdraw take a release back from clients (or --undo)\n"
    "  critical mark a release critical (or --undo)\n"
    "  refresh  raise the manifest's serial and renew its expiry\n"
    "  keygen   make a minisign key pair for signing the manifest\n"
    "  sign     sign manifest.json (writes manifest.json.minisig)\n"
    "  verify   check the tree's files against its manifest, and its signature\n"
    "  keys     root keys and key sets: replace release keys in the field\n"
    "\n"
    "'solvane-publish <command> --help' describes a command.\n"
    "\n"
    "exit codes: 0 done; 1 problems found or the tree could not be written;\n"
    "            2 request refused or bad usage (nothing changed)\n";

constexpr const char kAddUsage[] =
    "usage: solvane-publish add --root DIR --base-url URL --platform KEY --version V\n"
    "                           [--notes TEXT | --notes-file FILE] [--no-stable]\n"
    "                           [--channel NAME] [--replace]\n"
    "                           [--min-os V] [--informational URL]\n"
    "                           [--min-autoupdate V]\n"
    "                           [--valid-days N] [--delta-from OLD]...\n"
    "                           INSTALLER\n"
    "\n"
    "Copies INSTALLER to DIR/KEY/V/<its file name>, records its SHA-256, URL\n"
    "(URL + KEY/V/<file name>) and notes under releases in DIR/manifest.json, and\n"
    "makes V the stable version of KEY unless --no-stable is given. Every other\n"
    "member of the manifest is kept; the manifest is replaced atomically.\n"
    "When the manifest changes, its serial is raised and its expiry set to N\n"
    "days from now, and a manifest.json.minisig beside it is removed, since it\n"
    "no longer matches: run 'solvane-publish sign' afterwards.\n"
    "\n"
    "  --root DIR         the release tree (created when missing)\n"
    "  --base-url URL     where DIR is served, ending in '/'\n"
    "  --platform KEY     platform key, e.g. windows-x64 or linux-x64\n"
    "  --version V        release version; must begin with a number\n"
    "  --notes TEXT       release notes\n"
    "  --notes-file FILE  release notes read from FILE\n"
    "  --no-stable        publish without making it the stable version\n"
    "  --channel NAME     make V the version of channel NAME (e.g. beta) instead\n"
    "                     of the stable one; clients that ask for NAME take the\n"
    "                     newer of it and stable\n"
    "  --replace          allow a new file for a version already published\n"
    "  --min-os V         the lowest system version V runs on (Windows: e.g.\n"
    "                     10.0.17763; Linux: the glibc version, e.g. 2.36);\n"
    "                     older systems are offered the newest release they run\n"
    "  --informational URL  announce V at URL (https) instead of installing it:\n"
    "                     clients record it as available and download nothing\n"
    "  --min-autoupdate V installations older than V are not updated to it;\n"
    "                     for them it is announced (at --informational, else the\n"
    "                     manifest's download_page) and they update in steps\n"
    "  --valid-days N     days until the manifest expires (default 90)\n"
    "  --delta-from OLD   an earlier release's installer: writes a patch from it\n"
    "                     beside INSTALLER (<file name>.from-<digest>.zst) and\n"
    "                     lists it under the entry's deltas; a client that still\n"
    "                     has OLD downloads the patch instead of the installer.\n"
    "                     Pays when the installer stores its payload uncompressed.\n"
    "                     Repeatable (usually the last one or two releases).\n"
    "\n"
    "exit codes: 0 published; 1 the tree could not be written; 2 refused\n";

constexpr const char kVerifyUsage[] =
    "usage: solvane-publish verify --root DIR [--public-key FILE] [--publisher NAMES]\n"
    "\n"
    "Checks that every release entry's file exists under DIR and matches its\n"
    "SHA-256, and that every stable version has an entry with a url. With\n"
    "--public-key (a minisign .pub file), also that manifest.json.minisig\n"
    "verifies with that key and that the serial and expiry are sound; an expired\n"
    "manifest is a problem, fewer than 7 days left a warning. Each delta patch\n"
    "listed must match its size and SHA-256 and, applied to the installer in the\n"
    "tree that its from_sha256 names, give the release's installer exactly; when\n"
    "that installer is not in the tree, a warning (not a problem) says the patch\n"
    "could not be checked. With --publisher (the build's SOLVANE_PUBLISHER_NAMES,\n"
    "separated by ';'), each Windows installer's signer is read with osslsigncode\n"
    "and one not signed by those exact names gets a warning. Prints one line per\n"
    "problem.\n"
    "\n"
    "exit codes: 0 the tree is sound; 1 problems found; 2 bad usage\n";

constexpr const char kRefreshUsage[] =
    "usage: solvane-publish refresh --root DIR [--valid-days N]\n"
    "\n"
    "Raises the serial of DIR/manifest.json and sets its expiry to N days from\n"
    "now (default 90), changing nothing else, and removes the signature that no\n"
    "longer matches. Clients refuse an expired manifest, so schedule refresh\n"
    "and sign well before the expiry.\n"
    "\n"
    "exit codes: 0 refreshed; 1 the manifest could not be written; 2 refused\n";

constexpr const char kRolloutUsage[] =
    "usage: solvane-publish rollout --root DIR --platform KEY --version V\n"
    "                               (--percent P | --days D [--start TIME] | --pause | --full)\n"
    "                               [--valid-days N]\n"
    "\n"
    "Sets which share of installations is offered release V. Each installation\n"
    "keeps a random number of its own, so one that is in stays in as the share\n"
    "grows; a client outside the share is offered the newest earlier release\n"
    "that reaches it. Raises the serial like add: sign again afterwards.\n"
    "\n"
    "  --percent P    a fixed share from 0 to 100 (raise it by hand)\n"
    "  --days D       a share growing evenly from 0 to 100 over D days from\n"
    "                 --start (a UTC time YYYY-MM-DDTHH:MM:SSZ, default now)\n"
    "  --pause        hold the share where it stands today\n"
    "  --full         offer V to every installation\n"
    "\n"
    "exit codes: 0 done; 1 the manifest could not be written; 2 refused\n";

constexpr const char kWithdrawUsage[] =
    "usage: solvane-publish withdraw --root DIR --platform KEY --version V [--undo]\n"
    "                                [--rollback-to W] [--valid-days N]\n"
    "\n"
    "Marks release V withdrawn: no client is offered it, and a client that has\n"
    "downloaded it but not started it removes its copy at its next check.\n"
    "--rollback-to W also takes back installations of V: they are offered the\n"
    "earlier published release W, staged as a downgrade.\n"
    "--undo offers it again. Raises the serial like add: sign again afterwards.\n"
    "\n"
    "exit codes: 0 done; 1 the manifest could not be written; 2 refused\n";

constexpr const char kCriticalUsage[] =
    "usage: solvane-publish critical --root DIR --platform KEY --version V [--undo]\n"
    "                                [--valid-days N]\n"
    "\n"
    "Marks release V critical: it reaches every client whatever its rollout, and\n"
    "the client's staged record says so, for the product to insist on it.\n"
    "--undo removes the mark. Raises the serial like add: sign again afterwards.\n"
    "\n"
    "exit codes: 0 done; 1 the manifest could not be written; 2 refused\n";

constexpr const char kKeygenUsage[] =
    "usage: solvane-publish keygen --public-key FILE --secret-key FILE [--no-password]\n"
    "\n"
    "Makes a minisign key pair (Ed25519): the public key file, whose second\n"
    "line is what SOLVANE_RELEASE_PUBLIC_KEYS takes, and the secret key file,\n"
    "encrypted with a password unless --no-password is given. The password is\n"
    "read from the environment variable SOLVANE_SECRET_KEY_PASSWORD or, when it\n"
    "is unset, asked twice on the terminal. Existing files are not overwritten.\n"
    "minisign itself reads both files.\n"
    "\n"
    "exit codes: 0 written; 1 could not be written; 2 refused\n";

constexpr const char kSignUsage[] =
    "usage: solvane-publish sign --root DIR --secret-key FILE\n"
    "\n"
    "Signs DIR/manifest.json into DIR/manifest.json.minisig with a minisign\n"
    "secret key (made by keygen or by 'minisign -G', with or without a\n"
    "password), prehashed as minisign 0.11 does, with a trusted comment naming\n"
    "the time and the file. Refuses a manifest that clients would refuse (no\n"
    "serial, expired, a release without sha256). A password-protected key's\n"
    "password is read from SOLVANE_SECRET_KEY_PASSWORD or, when it is unset,\n"
    "asked on the terminal.\n"
    "\n"
    "exit codes: 0 signed; 1 the signature could not be written; 2 refused\n";

constexpr const char kKeysUsage[] =
    "usage: solvane-publish keys init-root --root DIR --release-key PUB... --count N\n"
    "                                      --threshold T --out PREFIX [--no-password]\n"
    "       solvane-publish keys rotate --root DIR --release-key PUB... --sign-with KEY...\n"
    "                                   [--serial-floor S]\n"
    "       solvane-publish keys rotate-root --root DIR --root-key PUB... --threshold T\n"
    "                                        --sign-with KEY... [--serial-floor S]\n"
    "       solvane-publish keys verify --root DIR [--release-keys K --root-keys K --threshold T]\n"
    "\n"
    "init-root makes N root key pairs (PREFIX-1.pub and PREFIX-1.key, ...), keeps\n"
    "the build's key set (the release keys PUB, the root keys, T of them needed)\n"
    "as DIR/keys/1.json, which no client fetches, and prints the build flags.\n"
    "Give each root secret key to a different person, to keep offline.\n"
    "\n"
    "rotate writes the next key set DIR/keys/<N>.json with the release keys PUB\n"
    "and the root keys of the set before; rotate-root the next set with the\n"
    "root keys PUB, T of them needed, and the release keys of the set before.\n"
    "Either signs it with each root secret key KEY into keys/<N>.json.minisig\n"
    "(minisign signature files one after another) and refuses, writing nothing,\n"
    "unless as many root keys of the set before as it needs signed, and as many\n"
    "of the new set's own. The new set counts manifest serials from S (default:\n"
    "the manifest's serial + 1): a serial pushed up by a stolen key is undone.\n"
    "Publish keys/ before a manifest signed with the new release key.\n"
    "\n"
    "verify walks keys/2.json, keys/3.json ... from the build's set (given with\n"
    "the values of the build's flags, else keys/1.json) as a client does, lists each set\n"
    "and reports the first refused, and a manifest signed by a key the newest\n"
    "set does not hold. Passwords as for keygen and sign.\n"
    "\n"
    "exit codes: 0 done; 1 could not be written, or problems found; 2 refused\n";

int Usage(const char* text, const std::string& problem) {
  std::fprintf(stderr, "solvane-publish: %s\n\n%s", problem.c_str(), text);
  return 2;
}

bool ParseDays(const std::string& text, int& days) {
  if (text.empty() || text.size() > 4 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  days = std::atoi(text.c_str());
  return days >= 1 && days <= 3650;
}

// Named options with values; `flags` take none. False (with `problem`) on
// anything else.
bool ReadOptions(const std::vector<std::string>& args, const std::vector<std::string>& names,
                 const std::vector<std::string>& flags, std::map<std::string, std::string>& out,
                 std::string& problem) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
      out.insert_or_assign(arg, std::string("1"));
    } else if (std::find(names.begin(), names.end(), arg) != names.end()) {
      if (i + 1 >= args.size()) {
        problem = arg + " needs a value";
        return false;
      }
      out[arg] = args[++i];
    } else {
      problem = "unexpected argument " + arg;
      return false;
    }
  }
  return true;
}

int Help(const char* text) {
  std::fputs(text, stdout);
  return 0;
}

bool WantsHelp(const std::vector<std::string>& args) {
  return std::find(args.begin(), args.end(), "--help") != args.end() ||
         std::find(args.begin(), args.end(), "-h") != args.end();
}

// A command's options, or the exit code when the command ends at once: its
// help was asked for, or the options were not understood.
struct CommandLine {
  std::map<std::string, std::string> options;
  std::optional<int> exit;
};

CommandLine ReadCommandLine(const std::vector<std::string>& args, const char* usage,
                            const std::vector<std::string>& names,
                            const std::vector<std::string>& flags) {
  CommandLine line;
  std::string problem;
  if (WantsHelp(args)) {
    line.exit = Help(usage);
  } else if (!ReadOptions(args, names, flags, line.options, problem)) {
    line.exit = Usage(usage, problem);
  }
  return line;
}

int Report(const Outcome& outcome) {
  for (const std::string& line : outcome.listing) std::printf("%s\n", line.c_str());
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
    } else if (arg == "--channel") {
      ok = value(request.channel);
    } else if (arg == "--replace") {
      request.replace = true;
    } else if (arg == "--min-os") {
      ok = value(request.min_os);
    } else if (arg == "--informational") {
      ok = value(request.informational);
    } else if (arg == "--min-autoupdate") {
      ok = value(request.min_autoupdate);
    } else if (arg == "--delta-from") {
      ok = value(request.delta_from.emplace_back());
    } else if (arg == "--valid-days") {
      std::string days;
      ok = value(days);
      if (ok && !ParseDays(days, request.valid_days)) {
        return Usage(kAddUsage, "--valid-days takes a whole number of days from 1 to 3650");
      }
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
  CommandLine line =
      ReadCommandLine(args, kVerifyUsage, {"--root", "--public-key", "--publisher"}, {});
  if (line.exit) return *line.exit;
  std::map<std::string, std::string>& options = line.options;
  if (options["--root"].empty()) return Usage(kVerifyUsage, "--root is required");
  std::vector<std::string> publishers;
  std::stringstream names(options["--publisher"]);
  for (std::string name; std::getline(names, name, ';');) {
    if (!name.empty()) publishers.push_back(name);
  }
  return Report(
      solvane::publish::VerifyTree(options["--root"], options["--public-key"], publishers));
}

// A number from text that holds nothing else.
bool ParseNumber(const std::string& text, double& number) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  number = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

// rollout, withdraw and critical: one change to one release entry.
int RunChange(const std::string& command, const std::vector<std::string>& args) {
  using Kind = solvane::publish::ReleaseChange::Kind;
  const char* usage = command == "rollout"    ? kRolloutUsage
                      : command == "withdraw" ? kWithdrawUsage
                                              : kCriticalUsage;
  const std::vector<std::string> names =
      command == "rollout"
          ? std::vector<std::string>{"--root",    "--platform", "--version", "--valid-days",
                                     "--percent", "--days",     "--start"}
      : command == "withdraw"
          ? std::vector<std::string>{"--root", "--platform", "--version", "--valid-days",
                                     "--rollback-to"}
          : std::vector<std::string>{"--root", "--platform", "--version", "--valid-days"};
  const std::vector<std::string> flags = command == "rollout"
                                             ? std::vector<std::string>{"--pause", "--full"}
                                             : std::vector<std::string>{"--undo"};
  CommandLine line = ReadCommandLine(args, usage, names, flags);
  if (line.exit) return *line.exit;
  std::map<std::string, std::string>& options = line.options;
  solvane::publish::ReleaseChange change;
  change.root = options["--root"];
  change.platform = options["--platform"];
  change.version = options["--version"];
  if (change.root.empty() || change.platform.empty() || change.version.empty()) {
    return Usage(usage, "--root, --platform and --version are required");
  }
  if (options.count("--valid-days") && !ParseDays(options["--valid-days"], change.valid_days)) {
    return Usage(usage, "--valid-days takes a whole number of days from 1 to 3650");
  }
  if (command == "rollout") {
    const int given = static_cast<int>(options.count("--percent") + options.count("--days") +
                                       options.count("--pause") + options.count("--full"));
    if (given != 1) return Usage(usage, "give one of --percent, --days, --pause and --full");
    if (options.count("--start") && !options.count("--days")) {
      return Usage(usage, "--start goes with --days");
    }
    if (options.count("--percent")) {
      change.kind = Kind::kRolloutPercent;
      if (!ParseNumber(options["--percent"], change.percent) || change.percent > 100) {
        return Usage(usage, "--percent takes a number from 0 to 100");
      }
    } else if (options.count("--days")) {
      change.kind = Kind::kRolloutDays;
      change.start = options["--start"];
      if (!ParseNumber(options["--days"], change.days) || change.days <= 0) {
        return Usage(usage, "--days takes a number of days above 0");
      }
    } else {
      change.kind = options.count("--pause") ? Kind::kRolloutPause : Kind::kRolloutFull;
    }
  } else if (command == "withdraw") {
    change.kind = options.count("--undo") ? Kind::kRestore : Kind::kWithdraw;
    if (options.count("--rollback-to")) {
      change.rollback_to = options["--rollback-to"];
      if (options.count("--undo") || change.rollback_to.empty()) {
        return Usage(usage, "--rollback-to names a release, and does not go with --undo");
      }
    }
  } else {
    change.kind = options.count("--undo") ? Kind::kNotCritical : Kind::kCritical;
  }
  return Report(solvane::publish::ChangeRelease(change));
}

int RunRefresh(const std::vector<std::string>& args) {
  CommandLine line = ReadCommandLine(args, kRefreshUsage, {"--root", "--valid-days"}, {});
  if (line.exit) return *line.exit;
  std::map<std::string, std::string>& options = line.options;
  if (options["--root"].empty()) return Usage(kRefreshUsage, "--root is required");
  int days = 90;
  if (options.count("--valid-days") && !ParseDays(options["--valid-days"], days)) {
    return Usage(kRefreshUsage, "--valid-days takes a whole number of days from 1 to 3650");
  }
  return Report(solvane::publish::RefreshManifest(options["--root"], days));
}

int RunSign(const std::vector<std::string>& args) {
  CommandLine line = ReadCommandLine(args, kSignUsage, {"--root", "--secret-key"}, {});
  if (line.exit) return *line.exit;
  std::map<std::string, std::string>& options = line.options;
  if (options["--root"].empty() || options["--secret-key"].empty()) {
    return Usage(kSignUsage, "--root and --secret-key are required");
  }
  return Report(solvane::publish::SignManifest(options["--root"], options["--secret-key"]));
}

// Writes a new file only; an existing key is never overwritten.
bool WriteNewFile(const std::string& path, const std::string& text, bool secret) {
  if (std::filesystem::exists(path)) return false;
  std::ofstream out(path, std::ios::binary);
  if (secret) {
    std::error_code ec;
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
  }
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

// Sets `password` for a new secret key: from kPasswordVariable, else asked
// twice on the terminal. Why there is none, or "".
std::string AskNewPassword(const std::string& what, std::optional<std::string>& password) {
  using solvane::publish::kPasswordVariable;
  if (const char* from_environment = std::getenv(kPasswordVariable)) {
    password = from_environment;
  } else {
    password = solvane::ReadPasswordFromTerminal("Password for " + what + ": ");
    const std::optional<std::string> again =
        password ? solvane::ReadPasswordFromTerminal("Password again: ") : std::nullopt;
    if (!password || !again) {
      return std::string("no terminal to ask a password on: set ") + kPasswordVariable +
             " or give --no-password";
    }
    if (*password != *again) return "the passwords differ";
  }
  return password->empty() ? "an empty password protects nothing" : "";
}

int RunKeygen(const std::vector<std::string>& args) {
  CommandLine line =
      ReadCommandLine(args, kKeygenUsage, {"--public-key", "--secret-key"}, {"--no-password"});
  if (line.exit) return *line.exit;
  std::map<std::string, std::string>& options = line.options;
  const std::string public_path = options["--public-key"];
  const std::string secret_path = options["--secret-key"];
  if (public_path.empty() || secret_path.empty()) {
    return Usage(kKeygenUsage, "--public-key and --secret-key are required");
  }
  for (const std::string& path : {public_path, secret_path}) {
    if (std::filesystem::exists(path)) return Report({2, {path + " exists; not overwritten"}});
  }
  std::optional<std::string> password;
  if (!options.count("--no-password")) {
    const std::string refusal = AskNewPassword("the new secret key", password);
    if (!refusal.empty()) return Report({2, {refusal}});
  }
  const std::optional<solvane::publish::KeyFiles> files =
      solvane::publish::GenerateKeyPair(password);
  if (!files) return Report({1, {"cannot make a key pair"}});
  if (!WriteNewFile(secret_path, files->secret_text, true)) {
    return Report({1, {"cannot write " + secret_path}});
  }
  if (!WriteNewFile(public_path, files->public_text, false)) {
    return Report({1, {"cannot write " + public_path}});
  }
  const std::string key_line = files->public_text.substr(files->public_text.find('\n') + 1);
  return Report(
      {0,
       {"public key " + public_path + ", secret key " + secret_path +
            (password ? " (password-protected)" : " (no password)"),
        "build with -DSOLVANE_RELEASE_PUBLIC_KEYS=" + key_line.substr(0, key_line.size() - 1)}});
}

// A whole number from `low` to `high` in text that holds nothing else.
std::optional<std::int64_t> ParseWhole(const std::string& text, std::int64_t low,
                                       std::int64_t high) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    return std::nullopt;
  }
  return value;
}

// keys init-root: the root key pairs and the build's key set, keys/1.json.
int RunInitRoot(std::map<std::string, std::vector<std::string>>& options) {
  const auto one = [&options](const char* name) {
    return options[name].empty() ? std::string() : options[name].back();
  };
  const std::optional<std::int64_t> count = ParseWhole(one("--count"), 1, 16);
  const std::optional<std::int64_t> threshold =
      ParseWhole(one("--threshold"), 1, count.value_or(0));
  if (one("--root").empty() || one("--out").empty() || options["--release-key"].empty() || !count ||
      !threshold) {
    return Usage(kKeysUsage,
                 "init-root needs --root, --release-key, --out, --count from 1 to 16 and "
                 "--threshold from 1 to the count");
  }
  solvane::KeySet build;
  for (const std::string& file : options["--release-key"]) {
    const std::optional<std::string> text = solvane::publish::ReadText(file);
    const std::optional<solvane::PublicKey> key =
        text ? solvane::ParsePublicKeyFile(*text) : std::nullopt;
    if (!key) return Report({2, {file + " is not a minisign public key file"}});
    build.release_keys.push_back(*key);
  }
  std::vector<std::string> paths;
  for (std::int64_t i = 1; i <= *count; ++i) {
    const std::string prefix = one("--out") + "-" + std::to_string(i);
    for (const std::string& path : {prefix + ".pub", prefix + ".key"}) {
      if (std::filesystem::exists(path)) return Report({2, {path + " exists; not overwritten"}});
    }
    paths.push_back(prefix);
  }
  std::string key_lines;
  for (const std::string& prefix : paths) {
    std::optional<std::string> password;
    if (options["--no-password"].empty()) {
      const std::string refusal = AskNewPassword(prefix + ".key", password);
      if (!refusal.empty()) return Report({2, {refusal}});
    }
    const std::optional<solvane::publish::KeyFiles> files =
        solvane::publish::GenerateKeyPair(password);
    if (!files || !WriteNewFile(prefix + ".key", files->secret_text, true) ||
        !WriteNewFile(prefix + ".pub", files->public_text, false)) {
      return Report({1, {"cannot write " + prefix + ".key and .pub"}});
    }
    build.root_keys.push_back(*solvane::ParsePublicKeyFile(files->public_text));
    key_lines += (key_lines.empty() ? "" : ";") + solvane::PublicKeyText(build.root_keys.back());
  }
  build.root_threshold = *threshold;
  solvane::publish::Outcome outcome = solvane::publish::RecordBuildKeySet(one("--root"), build);
  std::string release_lines;
  for (const solvane::PublicKey& key : build.release_keys) {
    release_lines += (release_lines.empty() ? "" : ";") + solvane::PublicKeyText(key);
  }
  outcome.messages.push_back("build with -DSOLVANE_RELEASE_PUBLIC_KEYS=\"" + release_lines +
                             "\" -DSOLVANE_ROOT_PUBLIC_KEYS=\"" + key_lines +
                             "\" -DSOLVANE_ROOT_THRESHOLD=" + std::to_string(*threshold));
  return Report(outcome);
}

int RunKeys(const std::vector<std::string>& args) {
  if (args.empty()) return Usage(kKeysUsage, "no keys action given");
  if (WantsHelp(args)) return Help(kKeysUsage);
  const std::string action = args[0];
  const std::vector<std::string> names = {
      "--root",  "--release-key", "--root-key", "--sign-with",    "--serial-floor",
      "--count", "--threshold",   "--out",      "--release-keys", "--root-keys"};
  std::map<std::string, std::vector<std::string>> options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--no-password") {
      options[args[i]].push_back("1");
    } else if (std::find(names.begin(), names.end(), args[i]) == names.end()) {
      return Usage(kKeysUsage, "unexpected argument " + args[i]);
    } else if (i + 1 == args.size()) {
      return Usage(kKeysUsage, args[i] + " needs a value");
    } else {
      options[args[i]].push_back(args[i + 1]);
      ++i;
    }
  }
  const auto one = [&options](const char* name) {
    return options[name].empty() ? std::string() : options[name].back();
  };
  if (one("--root").empty()) return Usage(kKeysUsage, "--root is required");
  if (action == "init-root") return RunInitRoot(options);
  if (action == "verify") {
    std::optional<solvane::KeySet> first;
    if (!one("--release-keys").empty() || !one("--root-keys").empty()) {
      first = solvane::BuildKeySet(one("--release-keys"), one("--root-keys"),
                                   ParseWhole(one("--threshold"), 1, 16).value_or(0));
      if (!first) return Usage(kKeysUsage, "the build's keys and threshold are not sound");
    }
    return Report(solvane::publish::VerifyKeyChain(one("--root"), first));
  }
  if (action != "rotate" && action != "rotate-root") {
    return Usage(kKeysUsage, "unknown keys action " + action);
  }
  solvane::publish::KeyRotation rotation;
  rotation.root = one("--root");
  rotation.signing_key_files = options["--sign-with"];
  if (action == "rotate") {
    rotation.release_key_files = options["--release-key"];
  } else {
    rotation.root_key_files = options["--root-key"];
    rotation.root_threshold = ParseWhole(one("--threshold"), 1, 16).value_or(0);
  }
  if ((action == "rotate" ? rotation.release_key_files : rotation.root_key_files).empty() ||
      rotation.signing_key_files.empty() || (action == "rotate-root" && !rotation.root_threshold)) {
    return Usage(kKeysUsage, action == "rotate"
                                 ? "rotate needs --release-key and --sign-with"
                                 : "rotate-root needs --root-key, --threshold and --sign-with");
  }
  if (!one("--serial-floor").empty()) {
    rotation.serial_floor = ParseWhole(one("--serial-floor"), 0, INT64_MAX);
    if (!rotation.serial_floor) return Usage(kKeysUsage, "--serial-floor takes a whole number");
  }
  return Report(solvane::publish::RotateKeys(rotation));
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
  if (command == "refresh") return RunRefresh(args);
  if (command == "rollout" || command == "withdraw" || command == "critical") {
    return RunChange(command, args);
  }
  if (command == "keygen") return RunKeygen(args);
  if (command == "sign") return RunSign(args);
  if (command == "keys") return RunKeys(args);
  return Usage(kUsage, "unknown command " + command);
}
