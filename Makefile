# Everything sets itself up: a virtualenv on CPython 3.13 with the build and
# test tools, then an install of this package into it.
VENV    ?= .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(wildcard src/routes/*.cpp src/routes/*.hpp src/routes/*.pyi src/routes/py.typed src/context_compress_cli/*.py) CMakeLists.txt pyproject.toml

.PHONY: all install test sanitize clean

all: install

$(VENV)/.tools:
	rm -rf $(VENV)
	"$$(bash scripts/find-python.sh)" -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja pytest hypothesis
	touch $@

$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PIP) install --no-build-isolation -C build-dir=build/$(notdir $(VENV)) ".[test]"
	touch $@

install: $(VENV)/.installed

test: install
	$(PY) -m mypy.stubtest routes.context_compress
	$(PY) -m pytest -q tests $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)

# Benchmarks of the native module against the pure-Python baseline,
# tests/reference.py.
# The bench extra of pyproject.toml (pyperf, matplotlib) is installed into the
# venv without rebuilding the package. BENCH_ARGS passes options to the
# runner (pyperf's among them, e.g. BENCH_ARGS="-p 20").
.PHONY: bench bench-quick

$(VENV)/.bench: $(VENV)/.installed pyproject.toml
	$(PY) -c "import tomllib; print('\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['bench']))" > $(VENV)/bench-requirements.txt
	$(PIP) install -r $(VENV)/bench-requirements.txt
	touch $@

bench: $(VENV)/.bench
	$(PY) bench/run.py $(BENCH_ARGS)

bench-quick: $(VENV)/.bench
	$(PY) bench/run.py --quick $(BENCH_ARGS)

# The main job: the context-compress command on the sample conversation, with
# the built-in extract as summary (no LLM needed). The sample is generated when
# absent; the compressed copy goes to build/demo/.
SAMPLE := examples/sample_conversation.json
.PHONY: demo stubtest

$(SAMPLE): examples/make_sample.py | $(VENV)/.tools
	$(PY) examples/make_sample.py $@

demo: install $(SAMPLE)
	@mkdir -p build/demo
	$(VENV)/bin/context-compress $(SAMPLE) -o build/demo/sample_compressed.json
	@echo
	$(VENV)/bin/context-compress --json $(SAMPLE)
	@echo
	$(VENV)/bin/context-compress build/demo/sample_compressed.json

# The type stub against the installed module.
stubtest: install
	$(PY) -m mypy.stubtest routes.context_compress

# The whole suite against a build of the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own venv, under the same uninstrumented
# CPython 3.13. GCC's runtimes are preloaded, UBSan's first: only then does it
# run standalone and honour its log_path. Leak checking is off (the
# interpreter does not free everything at exit) and PYTHONMALLOC=malloc gives
# every Python object its own guarded block. Reports of every process, test
# children included, are written to $(SAN_LOGS); any report fails the run.
SAN_VENV ?= $(VENV)-asan
SAN_LOGS := build/sanitize
SAN_SO    = $(wildcard $(SAN_VENV)/lib/python3.13/site-packages/routes/context_compress*.so)
.PHONY: valgrind fuzz

sanitize:
	@if [ -n "$(SAN_SO)" ] && ! nm -D $(SAN_SO) | grep -q __asan_init; then rm -f $(SAN_VENV)/.installed; fi
	CC_SANITIZE=ON SKBUILD_INSTALL_STRIP=false $(MAKE) --no-print-directory install VENV=$(SAN_VENV)
	@nm -D $(SAN_VENV)/lib/python3.13/site-packages/routes/context_compress*.so | grep -q __asan_init \
		|| { echo "sanitize: the extension in $(SAN_VENV) is not instrumented"; exit 1; }
	@rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	status=0; \
	LD_PRELOAD="$$(g++ -print-file-name=libubsan.so) $$(g++ -print-file-name=libasan.so)" \
	ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:log_path=$(CURDIR)/$(SAN_LOGS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(SAN_LOGS)/ubsan \
	PYTHONMALLOC=malloc \
	$(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests $(PYTEST_ARGS) || status=$$?; \
	if [ -n "$$(ls -A $(SAN_LOGS))" ]; then cat $(SAN_LOGS)/*; echo "sanitize: sanitizer reports above"; exit 1; fi; \
	exit $$status

# Memcheck over a representative part of the suite (normal build, plain
# malloc). Fails on invalid accesses, uses of uninitialised values and
# definite leaks that have a frame in the extension; see tests/memcheck.py.
valgrind: install
	$(PY) tests/memcheck.py $(VALGRIND_ARGS)

# Coverage-guided fuzzing with atheris for FUZZ_SECONDS. The extension is
# built with clang in its own venv, instrumented for libFuzzer and with
# ASan/UBSan; libFuzzer (from clang's runtime) is preloaded ahead of ASan so
# that it owns the coverage callbacks. Crashing inputs land in build/fuzz/.
# FUZZ_ARGS passes options to fuzz/fuzz_compress.py (and, after --, to libFuzzer).
FUZZ_VENV    ?= $(VENV)-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX     ?= $(shell command -v clang++ 2>/dev/null || ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V | tail -n 1)
FUZZ_SO       = $(wildcard $(FUZZ_VENV)/lib/python3.13/site-packages/routes/context_compress*.so)

fuzz:
	@test -n "$(FUZZ_CXX)" || { echo "fuzz: clang++ is needed to instrument the extension (Debian package clang)"; exit 1; }
	@if [ -n "$(FUZZ_SO)" ] && ! nm -D $(FUZZ_SO) | grep -q __sanitizer_cov_8bit_counters_init; then rm -f $(FUZZ_VENV)/.installed; fi
	CXX=$(FUZZ_CXX) CXXFLAGS=-fsanitize=fuzzer-no-link CC_SANITIZE=ON SKBUILD_INSTALL_STRIP=false \
		$(MAKE) --no-print-directory install VENV=$(FUZZ_VENV)
	@test -f $(FUZZ_VENV)/.atheris || { $(FUZZ_VENV)/bin/python -m pip --disable-pip-version-check -q install atheris && touch $(FUZZ_VENV)/.atheris; }
	@mkdir -p build/fuzz
	rt=$$($(FUZZ_CXX) -print-runtime-dir); \
	test -f build/fuzz/libfuzzer.so || $(FUZZ_CXX) -shared -o build/fuzz/libfuzzer.so \
		-Wl,--whole-archive $$rt/libclang_rt.fuzzer_no_main-x86_64.a -Wl,--no-whole-archive -lpthread; \
	LD_PRELOAD="$(CURDIR)/build/fuzz/libfuzzer.so $$rt/libclang_rt.asan-x86_64.so" \
	ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc \
	$(FUZZ_VENV)/bin/python fuzz/fuzz_compress.py --seconds $(FUZZ_SECONDS) $(FUZZ_ARGS)
