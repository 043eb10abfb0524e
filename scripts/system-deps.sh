#!/usr/bin/env bash
# Usage: scripts/system-deps.sh [fuzz]
#
# Makes sure the Debian packages that building and testing karvel need are
# installed (with "fuzz", also clang and libFuzzer, which only `make fuzz`
# needs). As root it installs the missing ones (running `apt-get update` only
# then); otherwise it names what is missing and fails.
set -euo pipefail

packages=(
  g++ make pkg-config git
  libgtest-dev libgmock-dev libexpat1-dev liblzf-dev libbenchmark-dev
  libssl-dev libdeflate-dev zlib1g-dev
  topp
  patchelf ninja-build ccache
  libutf8proc-dev
  ca-certificates
  gpg  # signs the throwaway archive of the package-list verification test
  chromium chromium-driver  # the QC reports' browser test
)
if [[ ${1:-} == fuzz ]]; then
  # clang 19: the first Debian 12 clang whose C++23 mode accepts libstdc++'s
  # std::expected; libclang-rt holds libFuzzer and the sanitizer runtimes.
  packages+=(clang-19 libclang-rt-19-dev)
fi

log() { echo "system-deps: $*" >&2; }

if ! command -v dpkg-query >/dev/null 2>&1; then
  log "not a Debian-family system; make sure these (or their equivalents) are installed: ${packages[*]}"
  exit 0
fi

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  log "missing Debian packages: ${missing[*]}"
  log "install them with: sudo apt-get update && sudo apt-get install -y ${missing[*]}"
  exit 1
fi

log "installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >&2
apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
