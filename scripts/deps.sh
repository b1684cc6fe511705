#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when some are missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev iproute2 util-linux)
if [ "${KQ7_WITH_BENCH:-0}" = 1 ]; then packages+=(libbenchmark-dev socat irssi python3); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q >&2
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
