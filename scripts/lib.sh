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
# and, for the scripts that build a MinGW library from Debian's source,
# solvane_mingw_library_start and solvane_mingw_library_finish.
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
# given) until the script exits, and sets solvane_server_url to its root URL
# and solvane_server_log to the server's log (a line per request).
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
      solvane_server_log=$log
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the web server for $folder did not start:" >&2
  cat "$log" >&2
  return 1
}

# For scripts/build-*-mingw.sh: starts building library NAME from Debian's
# source package SOURCE, at the version apt would install for the binary
# package DEB, into $SOLVANE_MINGW_CACHE/NAME-<version> (default cache
# /var/cache/solvane-mingw):
#
#   solvane_mingw_library_start NAME DEB SOURCE [--force]
#
# When that prefix is complete (holds .complete) and --force is not given, it
# says so and ends the script. Otherwise it makes a work folder in the cache
# (removed at exit), unpacks the source into $mingw_work/source/tree and sets
# mingw_version, mingw_prefix and mingw_work; the script then installs the
# library into $mingw_work/install and calls solvane_mingw_library_finish.
solvane_mingw_library_start() {
  local name=$1 deb=$2 source=$3 force=${4:-} cache=${SOLVANE_MINGW_CACHE:-/var/cache/solvane-mingw}
  local script prefix_name
  script=$(basename "$0" .sh)
  mingw_version=$(apt-cache policy "$deb" 2>/dev/null | awk '/Candidate:/ {print $2; exit}')
  if [[ -z $mingw_version || $mingw_version == "(none)" ]]; then
    mingw_version=$(dpkg-query -W -f='${Version}' "$deb" 2>/dev/null || true)
  fi
  prefix_name=$name-${mingw_version:-unknown}
  mingw_prefix=$cache/${prefix_name//[:~+]/_}

  if [[ $force != --force && -f $mingw_prefix/.complete ]]; then
    echo "$script: using cached $mingw_prefix"
    exit 0
  fi

  mkdir -p "$cache"
  mingw_work=$(mktemp -d "$cache/.$name-build.XXXXXX")
  solvane_at_exit "rm -rf '$mingw_work'"
  echo "$script: fetching Debian's $source source ${mingw_version:-(newest)}"
  bash "$solvane_root/scripts/fetch-debian-source.sh" "$source" "$mingw_version" "$mingw_work/source"
  # The prefix keeps apt's version as its key; .complete records the source
  # actually built when the archive could only serve another one.
  mingw_version=$(cat "$mingw_work/source/version")
  echo "$script: configuring and building into $mingw_prefix"
}

# Puts $mingw_work/install in place as the library's prefix, marked complete.
solvane_mingw_library_finish() {
  rm -rf "$mingw_prefix"
  mv "$mingw_work/install" "$mingw_prefix"
  echo "$mingw_version" >"$mingw_prefix/.complete"
  echo "$(basename "$0" .sh): done, $mingw_prefix"
}
