#!/usr/bin/env bash
# Installs the Debian packages the client needs and builds it into build/.
#   ./setup.sh                 dependencies + release build
#   ./setup.sh --with-browser  also installs Chromium for the page-rendering test
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make libasio-dev nlohmann-json3-dev libssl-dev libgtest-dev libicu-dev python3)
for arg in "$@"; do
  case "$arg" in
    --with-browser) packages+=(chromium) ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  # Chromium is optional: the browser test skips where it cannot be had.
  if ! "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    core=()
    for p in "${missing[@]}"; do [ "$p" = chromium ] || core+=("$p"); done
    [ ${#core[@]} -eq 0 ] || "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${core[@]}"
    echo "setup.sh: chromium could not be installed; the browser test will be skipped" >&2
  fi
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
