# Everything sets itself up: a virtualenv on CPython 3.13 with the build and
# test tools, then an install of this package into it.
VENV    ?= .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(wildcard src/routes/*.cpp src/routes/*.hpp src/routes/*.pyi src/routes/py.typed src/context_compress_cli/*.py) CMakeLists.txt pyproject.toml

.PHONY: all install test stubtest demo bench bench-quick bench-readme sanitize valgrind fuzz clean

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

# The type stub against the installed module.
stubtest: install
	$(PY) -m mypy.stubtest routes.context_compress

clean:
	rm -rf build $(VENV)

# The main job: the context-compress command on the sample conversation, with
# the built-in extract as summary (no LLM needed). The sample is generated when
# absent; the compressed copy goes to build/demo/.
SAMPLE := examples/sample_conversation.json

$(SAMPLE): examples/make_sample.py | $(VENV)/.tools
	$(PY) examples/make_sample.py $@

demo: install $(SAMPLE)
	@mkdir -p build/demo
	$(VENV)/bin/context-compress $(SAMPLE) -o build/demo/sample_compressed.json
	@echo
	$(VENV)/bin/context-compress --json $(SAMPLE)
	@echo
	$(VENV)/bin/context-compress build/demo/sample_compressed.json

# Benchmarks of the native module against the pure-Python baseline,
# tests/reference.py. The bench extra of pyproject.toml (pyperf, matplotlib)
# is installed into the venv without rebuilding the package. BENCH_ARGS
# passes options to the runner (pyperf's among them, e.g. BENCH_ARGS="-p 20").
# A run writes bench/out/ only; bench-readme copies its headline into README.md.
$(VENV)/.bench: $(VENV)/.installed pyproject.toml
	$(PY) -c "import tomllib; print('\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['bench']))" > $(VENV)/bench-requirements.txt
	$(PIP) install -r $(VENV)/bench-requirements.txt
	touch $@

bench: $(VENV)/.bench
	$(PY) bench/run.py $(BENCH_ARGS)

bench-quick: $(VENV)/.bench
	$(PY) bench/run.py --quick $(BENCH_ARGS)

bench-readme:
	"$$(bash scripts/find-python.sh)" bench/readme.py

# The whole suite against an ASan + UBSan build in its own venv; see the script.
SAN_VENV ?= $(VENV)-asan

sanitize:
	bash scripts/sanitize.sh $(SAN_VENV) $(PYTEST_ARGS)

# Memcheck over a representative part of the suite (normal build, plain
# malloc). Fails on invalid accesses, uses of uninitialised values and
# definite leaks that have a frame in the extension; see tests/memcheck.py.
valgrind: install
	$(PY) tests/memcheck.py $(VALGRIND_ARGS)

# Coverage-guided fuzzing with atheris for FUZZ_SECONDS, in a clang build of
# its own venv; see the script. FUZZ_ARGS passes options to
# fuzz/fuzz_compress.py (and, after --, to libFuzzer); FUZZ_CXX picks the
# compiler.
FUZZ_VENV    ?= $(VENV)-fuzz
FUZZ_SECONDS ?= 60

fuzz:
	FUZZ_CXX="$(FUZZ_CXX)" bash scripts/fuzz.sh $(FUZZ_VENV) $(FUZZ_SECONDS) $(FUZZ_ARGS)
