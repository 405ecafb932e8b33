#!/usr/bin/env bash
# The whole suite against a build of the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own venv, under the same uninstrumented
# CPython as `make test` (`make sanitize`).
#
#   scripts/sanitize.sh VENV [PYTEST ARGS...]
#
# GCC's runtimes are preloaded, UBSan's first: only then does it run
# standalone and honour its log_path. Leak checking is off (the interpreter
# does not free everything at exit) and PYTHONMALLOC=malloc gives every
# Python object its own guarded block. Reports of every process, test
# children included, are written to build/sanitize; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1
shift
logs=build/sanitize

extension() { ls "$venv"/lib/python3.*/site-packages/routes/context_compress*.so 2>/dev/null | head -n 1 || true; }
instrumented() { [ -n "$1" ] && nm -D "$1" | grep -q __asan_init; }

# A venv whose extension was built without the sanitizers is rebuilt.
so=$(extension)
if [ -n "$so" ] && ! instrumented "$so"; then
  rm -f "$venv/.installed"
fi
CC_SANITIZE=ON SKBUILD_INSTALL_STRIP=false "${MAKE:-make}" --no-print-directory install VENV="$venv"
if ! instrumented "$(extension)"; then
  echo "sanitize: the extension in $venv is not instrumented" >&2
  exit 1
fi

rm -rf "$logs" && mkdir -p "$logs"
status=0
LD_PRELOAD="$(g++ -print-file-name=libubsan.so) $(g++ -print-file-name=libasan.so)" \
ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:log_path=$PWD/$logs/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$PWD/$logs/ubsan" \
PYTHONMALLOC=malloc \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@" || status=$?
if [ -n "$(ls -A "$logs")" ]; then
  cat "$logs"/*
  echo "sanitize: sanitizer reports above" >&2
  exit 1
fi
exit "$status"
