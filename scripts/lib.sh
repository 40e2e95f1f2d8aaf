# shellcheck shell=bash
# What every script under scripts/ shares; each one sources it first. It sets
# no shell options (each script says its own) and does three jobs:
#
#   solvane_install_packages PACKAGE...     installs the Debian packages that are missing
#   solvane_build SOURCE BUILD [OPTION...] [-- TARGET...]
#                                           configures and builds quietly
#   solvane_build_project BUILD [OPTION...] [-- TARGET...]
#                                           the same for this repository
#   solvane_serve FOLDER [PORT]             serves FOLDER on 127.0.0.1 until exit
#
# with two helpers: solvane_at_exit COMMAND (clean-up when the script ends,
# last registered first) and solvane_fail MESSAGE.
#
# The scripts read only SOLVANE_... environment variables. The shared ones:
#   SOLVANE_JOBS       build parallelism (default: the number of processors)
#   SOLVANE_TEST_PORT  loopback port of the test build (-DSOLVANE_TEST_PORT;
#                      default 18765); set it when several builds test at once
#   SOLVANE_APT_LOCK_TIMEOUT  seconds to wait for another apt/dpkg (default 1800)

solvane_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SOLVANE_JOBS=${SOLVANE_JOBS:-$(nproc)}
export SOLVANE_JOBS

solvane_fail() {
  echo "$(basename "$0"): FAILED: $*" >&2
  exit 1
}

solvane_exit_actions=()
solvane_run_exit_actions() {
  local status=$? action
  for action in "${solvane_exit_actions[@]}"; do
    eval "$action" || true
  done
  exit "$status"
}
solvane_at_exit() {
  solvane_exit_actions=("$1" "${solvane_exit_actions[@]}")
  trap solvane_run_exit_actions EXIT
}

# apt-get that waits for dpkg's lock (held by another apt or an unattended
# upgrade) instead of failing, and asks no questions.
solvane_apt() {
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -qq \
    -o DPkg::Lock::Timeout="${SOLVANE_APT_LOCK_TIMEOUT:-1800}" "$@"
}

# Installs those of the packages that are not installed; the package lists
# are updated once per run of the scripts, and only when something is missing.
solvane_install_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "installing ${missing[*]}"
  if [[ -z ${SOLVANE_APT_UPDATED:-} ]]; then
    solvane_apt update || return 1
    export SOLVANE_APT_UPDATED=1
  fi
  solvane_apt install -y --no-install-recommends "${missing[@]}"
}

# Runs a command with its output in LOG; on failure shows the log's end.
solvane_quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 && return 0
  echo "FAILED: $*" >&2
  tail -n 40 "$log" >&2
  echo "(the whole output: $log)" >&2
  return 1
}

# Configures SOURCE into BUILD with the CMake options, then builds the
# targets (all of them when none is named) with $SOLVANE_JOBS jobs. The
# output goes to BUILD/configure.log and BUILD/build.log.
solvane_build() {
  local source=$1 build=$2
  shift 2
  local options=()
  while (($#)) && [[ $1 != -- ]]; do
    options+=("$1")
    shift
  done
  (($#)) && shift
  mkdir -p "$build"
  solvane_quietly "$build/configure.log" cmake -S "$source" -B "$build" "${options[@]}" || return 1
  local targets=()
  (($#)) && targets=(--target "$@")
  solvane_quietly "$build/build.log" cmake --build "$build" -j "$SOLVANE_JOBS" "${targets[@]}"
}

solvane_build_project() {
  local build=$1
  shift
  solvane_build "$solvane_root" "$build" ${SOLVANE_TEST_PORT:+"-DSOLVANE_TEST_PORT=$SOLVANE_TEST_PORT"} "$@"
}

# Serves FOLDER over HTTP on 127.0.0.1:PORT (a free port when PORT is not
# given) until the script exits, and sets solvane_server_url to its root URL.
solvane_serve() {
  local folder=$1 port=${2:-0} log pid
  log=$(mktemp "${TMPDIR:-/tmp}/solvane-server.XXXXXX")
  python3 -u -m http.server "$port" --bind 127.0.0.1 --directory "$folder" >"$log" 2>&1 &
  pid=$!
  solvane_at_exit "kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f '$log'"
  # The server prints this line once it listens.
  for _ in $(seq 100); do
    port=$(sed -n 's/^Serving HTTP on .* port \([0-9]*\) .*/\1/p' "$log")
    if [[ -n $port ]]; then
      solvane_server_url=http://127.0.0.1:$port/
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the web server for $folder did not start:" >&2
  cat "$log" >&2
  return 1
}
