#!/usr/bin/env bash
# Coverage-guided fuzzing with atheris (`make fuzz`).
#
#   scripts/fuzz.sh VENV SECONDS [ARGS OF fuzz/fuzz_compress.py...]
#
# The extension is built with clang (FUZZ_CXX, else clang++ or the newest
# clang++-N) in its own venv, instrumented for libFuzzer and with ASan/UBSan;
# libFuzzer (from clang's runtime) is preloaded ahead of ASan so that it owns
# the coverage callbacks. Crashing inputs land in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1 seconds=$2
shift 2

cxx=${FUZZ_CXX:-$(command -v clang++ || ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V | tail -n 1 || true)}
if [ -z "$cxx" ]; then
  echo "fuzz: clang++ is needed to instrument the extension (Debian package clang)" >&2
  exit 1
fi

extension() { ls "$venv"/lib/python3.*/site-packages/routes/context_compress*.so 2>/dev/null | head -n 1 || true; }

# A venv whose extension lacks libFuzzer's coverage is rebuilt.
so=$(extension)
if [ -n "$so" ] && ! nm -D "$so" | grep -q __sanitizer_cov_8bit_counters_init; then
  rm -f "$venv/.installed"
fi
CXX=$cxx CXXFLAGS=-fsanitize=fuzzer-no-link CC_SANITIZE=ON SKBUILD_INSTALL_STRIP=false \
  "${MAKE:-make}" --no-print-directory install VENV="$venv"
if [ ! -f "$venv/.atheris" ]; then
  "$venv/bin/python" -m pip --disable-pip-version-check -q install atheris
  touch "$venv/.atheris"
fi

mkdir -p build/fuzz
runtime=$("$cxx" -print-runtime-dir)
if [ ! -f build/fuzz/libfuzzer.so ]; then
  "$cxx" -shared -o build/fuzz/libfuzzer.so \
    -Wl,--whole-archive "$runtime/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive -lpthread
fi
LD_PRELOAD="$PWD/build/fuzz/libfuzzer.so $runtime/libclang_rt.asan-x86_64.so" \
ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
PYTHONMALLOC=malloc \
  "$venv/bin/python" fuzz/fuzz_compress.py --seconds "$seconds" "$@"
