#!/usr/bin/env bash
# Installs the pinned npm packages of tests/interop (npm ci, no install
# scripts) when they are missing or older than package-lock.json. Fails with
# a clear message when Node.js >= 18 or npm is missing: the interop tests are
# part of the suite and never skip.
set -euo pipefail
dir="$(cd "$(dirname "$0")/../tests/interop" && pwd)"

command -v node >/dev/null || { echo "interop: Node.js is missing; run scripts/install-deps.sh" >&2; exit 1; }
command -v npm >/dev/null || { echo "interop: npm is missing; run scripts/install-deps.sh" >&2; exit 1; }
major="$(node -p 'process.versions.node.split(".")[0]')"
if [ "$major" -lt 18 ]; then
  echo "interop: Node.js $(node --version) is too old; 18 or later is needed" >&2
  exit 1
fi

stamp="$dir/node_modules/.package-lock.json"
if [ -f "$stamp" ] && [ "$stamp" -nt "$dir/package-lock.json" ]; then
  exit 0
fi
# Two build trees may run this at once: one installs, the other waits.
exec 9>"$dir/.npm-ci.lock"
flock 9
if [ -f "$stamp" ] && [ "$stamp" -nt "$dir/package-lock.json" ]; then
  exit 0
fi
echo "interop: npm ci in tests/interop"
if ! (cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund); then
  echo "interop: npm ci failed (is the npm registry reachable?)" >&2
  exit 1
fi
