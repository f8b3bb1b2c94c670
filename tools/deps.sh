#!/usr/bin/env bash
# The Debian packages each part of the work needs, in one place, and their
# installation where some are missing:
#
#   tools/deps.sh demo   the updater and card-sim: a compiler, CMake and
#                        nlohmann-json (header-only)
#   tools/deps.sh test   make test: GoogleTest, Python, ser2net, and the Windows
#                        builds under Wine
#   tools/deps.sh ci     .ci/run: the above, clang for the fuzz targets,
#                        lintian for the package, GNU time for the bench
#
# When everything is there it prints nothing and installs nothing.
# Otherwise, as root it runs `apt-get update` once and `apt-get install`;
# with passwordless sudo it does the same through sudo; else it prints the
# command to run and exits 2.  On a system without dpkg it only names the
# packages (on stderr) and leaves the build to find what it lacks.
set -euo pipefail

# One line a set; each set also needs the sets above it.
DEMO=(build-essential cmake nlohmann-json3-dev)
TEST=(libgtest-dev libgmock-dev python3 procps srecord ser2net
      g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386)
CI=(clang libclang-rt-14-dev lintian time)

case ${1:-} in
  demo) wanted=("${DEMO[@]}") ;;
  test) wanted=("${DEMO[@]}" "${TEST[@]}") ;;
  ci) wanted=("${DEMO[@]}" "${TEST[@]}" "${CI[@]}") ;;
  *)
    echo "usage: $0 demo|test|ci" >&2
    exit 2
    ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "tools/deps.sh: not a Debian system; make sure these (or your system's" \
       "equivalents) are installed: ${wanted[*]}" >&2
  exit 0
fi

# Which of them are installed, in one query.  A name without an
# architecture means the machine's own one (or "all").
native=$(dpkg --print-architecture)
declare -A installed=()
while read -r name arch status; do
  [ "$status" = installed ] || continue
  installed["$name:$arch"]=1
  if [ "$arch" = "$native" ] || [ "$arch" = all ]; then installed["$name"]=1; fi
done < <(dpkg-query -W -f='${Package} ${Architecture} ${db:Status-Status}\n' "${wanted[@]}" 2>/dev/null || true)

missing=()
for package in "${wanted[@]}"; do
  [ -n "${installed[$package]:-}" ] || missing+=("$package")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

# Packages of another architecture (wine32:i386) need it enabled first.
foreign=()
for package in "${missing[@]}"; do
  case $package in
    *:*)
      arch=${package##*:}
      dpkg --print-foreign-architectures | grep -qx "$arch" || foreign+=("$arch")
      ;;
  esac
done
mapfile -t foreign < <(printf '%s\n' ${foreign[@]+"${foreign[@]}"} | sort -u | sed '/^$/d')

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
else
  sudo=
  command -v sudo >/dev/null 2>&1 && sudo="sudo "
  command="${sudo}apt-get install -y --no-install-recommends ${missing[*]}"
  for arch in ${foreign[@]+"${foreign[@]}"}; do
    command="${sudo}dpkg --add-architecture $arch && ${sudo}apt-get update && $command"
  done
  echo "tools/deps.sh: these packages are missing: ${missing[*]}" >&2
  echo "Install them as root, then run make again:" >&2
  echo "  $command"
  exit 2
fi

echo "tools/deps.sh: installing ${missing[*]}"
for arch in ${foreign[@]+"${foreign[@]}"}; do
  "${as_root[@]}" dpkg --add-architecture "$arch"
done
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
