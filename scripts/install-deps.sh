#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# Safe to run repeatedly; runs apt-get update at most once, and only when a
# package actually has to be installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3 ccache
  libssl-dev libsodium-dev libsecp256k1-dev nlohmann-json3-dev
  liblz4-dev lz4 libxxhash-dev zlib1g-dev libutf8proc-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format clang-16
)

# The libFuzzer targets (tests/fuzz/) need a Clang that compiles
# std::source_location with this libstdc++ (Debian's Clang 14 does not), and
# its sanitizer runtimes. Only installed when fuzzing is asked for:
# `scripts/install-deps.sh --fuzz` or BRENVIK_FUZZ=1.
fuzz="${BRENVIK_FUZZ:-0}"
for arg in "$@"; do
  case "$arg" in
    --fuzz) fuzz=1 ;;
    *) echo "install-deps: unknown argument $arg (known: --fuzz)" >&2; exit 2 ;;
  esac
done
if [ "$fuzz" = "1" ] || [ "$fuzz" = "ON" ]; then
  packages+=(clang-16 libclang-rt-16-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Node.js >= 18 and npm run the interop tests against independent MLS
# implementations (tests/interop). A machine that has them from elsewhere
# keeps them; otherwise Debian's packages are installed.
node_major=0
if command -v node >/dev/null; then
  node_major="$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)"
fi
[ "$node_major" -ge 18 ] || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
