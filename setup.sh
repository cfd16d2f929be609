#!/usr/bin/env bash
# Installs the Debian packages the client needs and builds it into build/.
#   ./setup.sh                   dependencies + release build
#   ./setup.sh --with-browser    also installs Chromium for the page-rendering test
#   ./setup.sh --with-sanitizers also builds the tests under AddressSanitizer and
#                                UndefinedBehaviorSanitizer (build-asan/) and
#                                ThreadSanitizer (build-tsan/)
#   ./setup.sh --with-fuzz       also installs clang and builds the fuzz targets
#                                into build-fuzz/ (see fuzz/run.sh)
# With CI=true every build treats warnings as errors.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make libasio-dev nlohmann-json3-dev libssl-dev libgtest-dev libicu-dev python3)
with_sanitizers=0
with_fuzz=0
for arg in "$@"; do
  case "$arg" in
    --with-browser) packages+=(chromium) ;;
    --with-sanitizers) with_sanitizers=1 ;;
    --with-fuzz) packages+=(clang libclang-rt-14-dev); with_fuzz=1 ;;
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

common=()
[ "${CI:-}" = true ] && common+=(-DVOSTRELIN_WERROR=ON)

trees=(build)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${common[@]}"
if [ "$with_sanitizers" = 1 ]; then
  # -O1 as the sanitizers advise, line tables only: a third less compile
  # time than -O2 -g, and reports still name files and lines.
  sanitized=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" -DVOSTRELIN_BUILD_BENCH=OFF "${common[@]}")
  cmake -S . -B build-asan -DVOSTRELIN_SANITIZE=address,undefined "${sanitized[@]}"
  cmake -S . -B build-tsan -DVOSTRELIN_SANITIZE=thread "${sanitized[@]}"
  trees+=(build-asan build-tsan)
fi
if [ "$with_fuzz" = 1 ]; then
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOSTRELIN_FUZZ=ON -DVOSTRELIN_BUILD_TESTS=OFF -DVOSTRELIN_BUILD_BENCH=OFF "${common[@]}"
  trees+=(build-fuzz)
fi

# The trees share one pool of nproc jobs, so no core idles while the last
# files of one tree compile and the others wait their turn.
pool="$(mktemp)"
trap 'rm -f "$pool"' EXIT
{
  printf 'all:'
  printf ' %s' "${trees[@]}"
  printf '\n.PHONY: all'
  printf ' %s' "${trees[@]}"
  printf '\n'
  for t in "${trees[@]}"; do printf '%s:\n\t+cmake --build %s\n' "$t" "$t"; done
} >"$pool"
make --no-print-directory -j"$(nproc)" -f "$pool"
