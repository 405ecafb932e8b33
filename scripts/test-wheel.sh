#!/usr/bin/env bash
# The suite against a wheel as a user installs it: a fresh venv outside the
# clone, the wheel with its test extra installed into it, stubtest, and the
# suite run from outside the clone too, so that the package can only be
# imported from that install (CONTEXT_COMPRESS_WHEEL makes the suite check so).
#
#   scripts/test-wheel.sh PYTHON WHEEL [PYTEST ARGS...]
set -euo pipefail
python=$1 wheel=$(realpath "$2")
shift 2
tests="$(cd "$(dirname "$0")/.." && pwd)/tests"
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT

"$python" -m venv "$outside/venv"
"$outside/venv/bin/python" -m pip --disable-pip-version-check -q install "$wheel[test]"
cd "$outside"
venv/bin/python -m mypy.stubtest routes.context_compress --allowlist "$tests/stubtest-allowlist.txt"
CONTEXT_COMPRESS_WHEEL="$wheel" venv/bin/python -m pytest -q -p no:cacheprovider \
  --rootdir "$outside" "$tests" "$@"
