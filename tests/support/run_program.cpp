#include "tests/support/run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace solvane::testing {

std::string UpdatesDirIn(const std::string& home) {
  return home + "/.local/share/Korrinwade/Solvane/Updates";
}

namespace {

constexpr char kUnprivilegedUser[] = "nobody";

bool RunningAsRoot() { return ::geteuid() == 0; }

ProgramRun Run(const std::string& program, const std::string& home,
               const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
               long file_size_limit_kib, const std::function<bool()>& kill_when,
               bool unprivileged = false) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) vars[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  }
  vars["HOME"] = home;
  vars.erase("XDG_DATA_HOME");
  vars.erase("DISPLAY");
  vars.erase("WAYLAND_DISPLAY");
  // The loopback release server must be reached directly unless a test says otherwise.
  for (const char* proxy_var : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    vars.erase(proxy_var);
  }
  for (const auto& [key, value] : env) {
    if (value.empty()) {
      vars.erase(key);
    } else {
      vars[key] = value;
    }
  }
  std::vector<std::string> env_text;
  for (const auto& [key, value] : vars) env_text.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_text{program};
  if (file_size_limit_kib > 0) {
    // ulimit -f counts 512-byte blocks.
    argv_text = {"/bin/sh", "-c",
                 "ulimit -f " + std::to_string(file_size_limit_kib * 2) + " && exec \"$0\" \"$@\"",
                 program};
  }
  if (unprivileged && RunningAsRoot()) {
    // The user's own group and no others: root's supplementary groups stay behind.
    const std::vector<std::string> setpriv{
        "/usr/bin/setpriv", std::string("--reuid=") + kUnprivilegedUser,
        "--regid=" + std::to_string(::getpwnam(kUnprivilegedUser)->pw_gid), "--clear-groups", "--"};
    argv_text.insert(argv_text.begin(), setpriv.begin(), setpriv.end());
  }
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // A folder of its own, so that runs side by side in one home do not mix.
  const TempDir capture;
  const std::string err_path = capture.str() + "/stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Linux counts the spawning process's peak memory into the program's own
  // up to its exec: bring that peak down to what this process holds now,
  // its freed heap returned first.
  malloc_trim(0);
  if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", clear);
    std::fclose(clear);
  }
  pid_t pid = -1;
  ProgramRun run;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    struct rusage usage = {};
    if (kill_when) {
      while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        if (kill_when()) {
          kill(pid, SIGKILL);
          wait4(pid, &status, 0, &usage);
          break;
        }
        usleep(10 * 1000);
      }
    } else {
      wait4(pid, &status, 0, &usage);
    }
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peak_rss_kib = usage.ru_maxrss;
  }
  posix_spawn_file_actions_destroy(&actions);
  run.stderr_text = ReadFile(err_path);
  return run;
}

}  // namespace

void GiveToUnprivilegedUser(const std::filesystem::path& path) {
  if (!RunningAsRoot()) return;
  const passwd* user = ::getpwnam(kUnprivilegedUser);
  if (!user) throw std::runtime_error(std::string("no user ") + kUnprivilegedUser);
  const auto give = [&](const std::filesystem::path& entry) {
    if (::lchown(entry.c_str(), user->pw_uid, user->pw_gid) != 0) {
      throw std::runtime_error("cannot hand " + entry.string() + " over");
    }
  };
  give(path);
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) give(entry);
  }
}

bool DropToUnprivilegedUser() {
  if (!RunningAsRoot()) return true;
  const passwd* user = ::getpwnam(kUnprivilegedUser);
  return user && ::setgroups(0, nullptr) == 0 && ::setgid(user->pw_gid) == 0 &&
         ::setuid(user->pw_uid) == 0;
}

ProgramRun RunProgramUnprivileged(const std::string& home, const std::vector<std::string>& args) {
  return Run(SOLVANE_TEST_PROGRAM, home, args, {}, 0, nullptr, true);
}

ProgramRun RunProgram(const std::string& home, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, long file_size_limit_kib) {
  return Run(SOLVANE_TEST_PROGRAM, home, args, env, file_size_limit_kib, nullptr);
}

ProgramRun RunProgramAt(const std::string& program, const std::string& home,
                        const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env) {
  return Run(program, home, args, env, 0, nullptr);
}

ProgramRun RunProgramKilledWhen(const std::string& home, const std::vector<std::string>& args,
                                const std::function<bool()>& kill_when) {
  return Run(SOLVANE_TEST_PROGRAM, home, args, {}, 0, kill_when);
}

}  // namespace solvane::testing
