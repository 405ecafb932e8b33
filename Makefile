# Everything sets itself up: a virtualenv on CPython 3.13 with the build and
# test tools, then an install of this package into it.
VENV    ?= .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(wildcard src/routes/*.cpp src/routes/*.hpp src/routes/*.pyi) CMakeLists.txt pyproject.toml

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
	$(PY) -m pytest -q tests $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)
