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

# Benchmarks of the native module against the pure-Python baseline in bench/.
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
