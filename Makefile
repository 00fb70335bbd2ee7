# Set-up and everyday commands.  Every target finds CPython 3.13 itself and
# works in its own virtual environment, so a fresh machine needs only make,
# a C++ compiler and a CPython 3.13 (pyenv's, where there is one).

PYTHON313 := $(shell for p in $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 python3.13 python3; do \
                 $$p -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1 \
                 && { command -v $$p; break; }; done)
NO_PYTHON := CPython 3.13 not found: install it (e.g. pyenv install 3.13), or name one with make PYTHON313=/path/to/python3.13 demo
VENV := .venv
PY := $(VENV)/bin/python
# The venv's tools first, so the build finds this interpreter's numpy-config.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
SOURCES := meson.build pyproject.toml $(wildcard gammatone_c/* src/*.pyi) \
           $(wildcard src/gammatone_bank/* src/gammatone_bank/cli/*)

# The extras installed into the venv (test, command line, corpus runs).
EXTRAS := test,cli,batch

.PHONY: demo test typecheck bench asan install clean docs wheel wheel-test

# The main job: a cochleagram of the built-in test signal.
demo: $(VENV)/.installed
	$(PY) -m gammatone_bank --out cochleagram.png

test: $(VENV)/.installed
	$(PY) -P -m pytest

typecheck: $(VENV)/.installed
	$(PY) -m mypy --strict

# The benchmarks' peers (SciPy, pyfar, spafe, gammatone) go into a venv of their own, never into
# .venv, so that `make test` tests exactly what a user installs.  (PATH as for
# any build: that venv's numpy-config first.)
BENCH_VENV := .venv-bench
bench:
	$(MAKE) VENV=$(BENCH_VENV) install
	PATH="$(CURDIR)/$(BENCH_VENV)/bin:$$PATH" $(BENCH_VENV)/bin/python -m pip install -q --no-build-isolation ".[bench]"
	$(BENCH_VENV)/bin/python bench/bench.py
	$(BENCH_VENV)/bin/python bench/bench_bank.py
	$(BENCH_VENV)/bin/python bench/bench_engine.py
	$(BENCH_VENV)/bin/python bench/bench_resynth.py
	$(BENCH_VENV)/bin/python bench/bench_signals.py
	$(BENCH_VENV)/bin/python bench/bench_features.py

# The documentation site, in docs/_build/html, from a venv of its own (Sphinx
# and the gallery's needs stay out of .venv); every warning is an error.
DOCS_VENV := .venv-docs
docs:
	$(MAKE) VENV=$(DOCS_VENV) EXTRAS=cli,batch,docs install
	cd docs && PATH="$(CURDIR)/$(DOCS_VENV)/bin:$$PATH" $(CURDIR)/$(DOCS_VENV)/bin/python -P -m sphinx \
	    -W --keep-going -b html -d _build/doctrees . _build/html

# An sdist and a manylinux wheel for this CPython in dist/, repaired and
# checked by auditwheel, from a venv of its own.  The build is isolated (its
# own meson-python and NumPy from PyPI), as pip would build for a user.
WHEEL_VENV := .venv-wheel
wheel:
	@test -n "$(PYTHON313)" || { echo "$(NO_PYTHON)" >&2; exit 1; }
	bash tools/wheel.sh "$(PYTHON313)" $(WHEEL_VENV)

# The suite against the wheel of `make wheel`, installed into a fresh venv
# and run from outside the source tree.
wheel-test:
	@test -n "$(PYTHON313)" || { echo "$(NO_PYTHON)" >&2; exit 1; }
	bash tools/wheel_test.sh "$(PYTHON313)"

# The whole test suite against an AddressSanitizer + UBSan build of the module,
# in a build directory and virtual environment of its own.
asan:
	@test -n "$(PYTHON313)" || { echo "$(NO_PYTHON)" >&2; exit 1; }
	bash tools/asan.sh "$(PYTHON313)"

install: $(VENV)/.installed

$(VENV)/.deps: pyproject.toml
	@test -n "$(PYTHON313)" || { echo "$(NO_PYTHON)" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q meson-python meson ninja "numpy>=2.1"
	touch $@

# The build dependencies live in the venv, so the build runs without isolation.
$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation ".[$(EXTRAS)]"
	touch $@

clean:
	rm -rf $(VENV) .venv-asan $(BENCH_VENV) $(DOCS_VENV) $(WHEEL_VENV) build build-asan .mesonpy-* \
	    bench/_floor* cochleagram.png docs/_build docs/gallery docs/generated dist
