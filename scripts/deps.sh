#!/usr/bin/env bash
# Checks the Debian packages that the build and the tests need and, when run
# as root, installs the missing ones. --cross adds the cross toolchain and
# qemu, --docs what the manual page tests need, --package what building and
# checking Debian packages needs, --fuzz clang and its libFuzzer runtime,
# --clang clang (the program's sources are checked with it too), --bench what
# scripts/bench.sh measures with, --browser what the live page's test drives
# (headless Chromium through Selenium).
# Usage: scripts/deps.sh [--cross] [--docs] [--package] [--fuzz] [--clang] [--bench] [--browser]
set -euo pipefail

packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libboost-dev jq curl)
for arg in "$@"; do
  case $arg in
    --cross) packages+=(g++-powerpc-linux-gnu qemu-user) ;;
    --docs) packages+=(groff-base man-db) ;;
    --package) packages+=(dpkg-dev file lintian) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --clang) packages+=(clang) ;;
    --bench) packages+=(hyperfine time valgrind) ;;
    --browser) packages+=(chromium chromium-driver python3-selenium) ;;
    *) echo "usage: scripts/deps.sh [--cross] [--docs] [--package] [--fuzz] [--clang] [--bench] [--browser]" >&2; exit 1 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
