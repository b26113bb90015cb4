#!/usr/bin/env bash
# Makes sure the Debian packages a build needs are installed: installs the missing ones
# when running as root, otherwise names them and fails.
# Usage: scripts/deps.sh base|bench
set -euo pipefail

# The last four are the image tests' oracles (Pillow, giflib's tools, djpeg, FFTW).
base=(cmake ninja-build g++ zlib1g-dev libjpeg62-turbo-dev libgtest-dev libbenchmark-dev
      python3-pil giflib-tools libjpeg-turbo-progs libfftw3-double3)
bench=(libsqlite3-dev liblmdb-dev libgif-dev libturbojpeg0-dev libfftw3-dev guile-3.0 time)

want=("${base[@]}")
[ "${1:-base}" = bench ] && want+=("${bench[@]}")

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
else
  echo "missing packages; install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
