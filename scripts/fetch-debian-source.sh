#!/usr/bin/env bash
# Fetches and unpacks one of Debian's source packages without touching the
# machine's apt configuration: a deb-src twin of every Debian entry in the
# machine's apt sources goes into a private folder, together with private
# package lists and caches.
#
#   scripts/fetch-debian-source.sh <source package> <version or ""> <folder>
#
# Unpacks the source (Debian's patches applied) into <folder>/tree and writes
# the version it got to <folder>/version. An empty version, or one the archive
# cannot serve, takes the newest it can.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

package=$1
version=$2
dest=$3

mkdir -p "$dest/apt/sources.list.d" "$dest/apt/lists/partial" "$dest/apt/cache/archives/partial" \
  "$dest/src"
{
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] || continue
    awk '
      BEGIN { RS = ""; ORS = "\n\n" }
      /Types:[^\n]*deb/ && /debian-archive-keyring|\/debian/ {
        sub(/Types:[^\n]*/, "Types: deb-src"); print
      }' "$f"
  done
  if [[ -f /etc/apt/sources.list ]]; then
    awk '$1 == "deb" && $0 ~ /debian/ {
      $1 = ""; sub(/^ /, "");
      if ($1 ~ /^\[/) { while ($1 !~ /\]$/) { $1 = ""; sub(/^ +/, "") } $1 = ""; sub(/^ +/, "") }
      uri = $1; suite = $2; comps = ""
      for (i = 3; i <= NF; i++) comps = comps " " $i
      printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:%s\n\n", uri, suite, comps
    }' /etc/apt/sources.list
  fi
} >"$dest/apt/sources.list.d/debian-src.sources"

grep -q '^URIs:' "$dest/apt/sources.list.d/debian-src.sources" ||
  solvane_fail "no Debian entry in the apt sources to derive deb-src from"

apt_opts=(
  -o Dir::Etc::SourceList=/dev/null
  -o Dir::Etc::SourceParts="$dest/apt/sources.list.d"
  -o Dir::State::Lists="$dest/apt/lists"
  -o Dir::Cache="$dest/apt/cache"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o APT::Sandbox::User=root
)
apt-get "${apt_opts[@]}" -qq update
cd "$dest/src"
# A version can be listed yet not be downloadable (a mirror without the
# security archive's sources lists the update but cannot serve it), so every
# listed version, newest first, is tried after the requested one.
fetched=
if [[ -n $version ]] && apt-get "${apt_opts[@]}" source --download-only "$package=$version" >../fetch.log 2>&1; then
  fetched=$version
else
  for v in $(apt-cache "${apt_opts[@]}" showsrc "$package" 2>/dev/null |
    awk -v p="$package" '/^Package:/ {ours = ($2 == p)} ours && /^Version:/ {print $2}' | sort -urV); do
    rm -f ./*
    if apt-get "${apt_opts[@]}" source --download-only "$package=$v" >>../fetch.log 2>&1; then
      fetched=$v
      break
    fi
  done
fi
if [[ -z $fetched ]]; then
  cat ../fetch.log >&2
  exit 1
fi
[[ -z $version || $fetched == "$version" ]] ||
  echo "fetch-debian-source: $package $version cannot be fetched; using $fetched" >&2
echo "$fetched" >"$dest/version"
dsc=$(ls ./*.dsc | head -n1)
dpkg-source --no-check -x "$dsc" "$dest/tree" >/dev/null
