#include "tests/e2e/e2e_support.h"

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <utility>

#include "state/state_file.h"
#include "tests/support/run_program.h"

namespace solvane::testing {

std::string ReleaseUrl(const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(SOLVANE_TEST_PORT) + path;
}

std::string ManifestFor(const std::string& version, const char* url, const char* sha256,
                        const char* notes) {
  Json entry = Json::object();
  if (url) entry["url"] = url;
  if (sha256) entry["sha256"] = sha256;
  if (notes) entry["notes"] = notes;
  Json manifest;
  manifest["current"]["stable"][SOLVANE_TEST_PLATFORM_KEY] = version;
  manifest["current"]["stable"]["other-platform"] = "9.9.9";
  manifest["releases"][SOLVANE_TEST_PLATFORM_KEY][version] = entry;
  return manifest.dump(2);
}

std::string InstallerScript(const std::string& marker) {
  return "#!/bin/sh\necho ran > '" + marker + "'\n";
}

std::string Sha256Of(const std::string& content) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(content.data(), content.size(), digest, &length, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

std::vector<std::string> LogMessages(const std::string& home) {
  std::istringstream log(ReadFile(UpdatesDirIn(home) + "/SolvaneSetup.log"));
  std::vector<std::string> messages;
  std::string line;
  while (std::getline(log, line)) {
    // "[YYYY-MM-DD HH:MM:SS] " is 22 characters.
    messages.push_back(line.size() >= 22 && line[0] == '[' && line[20] == ']' ? line.substr(22)
                                                                              : "?" + line);
  }
  return messages;
}

std::vector<std::string> WorkflowMessages(const std::string& home) {
  std::vector<std::string> messages = LogMessages(home);
  std::erase_if(messages,
                [](const std::string& line) { return line.starts_with("FetchManifest: route "); });
  return messages;
}

PolicyFile::PolicyFile(std::string path, const std::string& text) : path_(std::move(path)) {
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
  WriteFile(path_, text);
}

PolicyFile::~PolicyFile() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 400; ++i) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

}  // namespace solvane::testing

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace solvane::testing {

ToolRun RunTool(const std::vector<std::string>& argv_text) {
  TempDir capture;
  const std::string out_path = capture.str() + "/out";
  const std::string err_path = capture.str() + "/err";
  std::vector<std::string> copy = argv_text;
  std::vector<char*> argv;
  for (auto& arg : copy) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ToolRun run;
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = ReadFile(out_path);
  run.err = ReadFile(err_path);
  return run;
}

SmallDisk::SmallDisk(const std::string& folder) : folder_(folder) {
  std::filesystem::create_directories(folder);
  const std::string command = "mount -t tmpfs -o size=4m tmpfs '" + folder + "' 2>&1";
  mounted = std::system(command.c_str()) == 0;
  if (!mounted) refused = "mount -t tmpfs refused (not root?)";
}

SmallDisk::~SmallDisk() {
  if (mounted && std::system(("umount '" + folder_ + "'").c_str()) != 0) {
    std::fprintf(stderr, "cannot unmount the small disk at %s\n", folder_.c_str());
  }
}

}  // namespace solvane::testing
