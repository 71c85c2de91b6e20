# The two contract commands are `make test` and `make demo`; both set up from scratch.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
STAMP  := $(VENV)/.installed

.PHONY: test demo install redis-server bench bench-quick bench-instructions lint abi3 sanitize fuzz core-tests test-versions clean

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

# The builds that `make test` and `make sanitize` run treat warnings as errors.
install: $(VENV)/bin/python
	$(PIP) install -q ".[test,bench]" -C cmake.define.KORVANE_WERROR=ON

# KORVANE_INTEGRATIONS=required: here every framework and Redis are installed,
# so an integration test that cannot run fails instead of skipping.
test: install redis-server core-tests
	KORVANE_INTEGRATIONS=required $(PY) -m pytest -q

# The integration tests start their own Redis from Debian's package; a fresh
# machine has none, so install it when we may (RUNLEVEL=1: the package starts
# no server of its own).
redis-server:
	@command -v redis-server >/dev/null 2>&1 || { \
	  if command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
	    echo "make: installing redis-server with apt-get"; \
	    export DEBIAN_FRONTEND=noninteractive RUNLEVEL=1; \
	    apt-get update -qq >/dev/null && \
	    apt-get install -y -qq --no-install-recommends redis-server >/dev/null; \
	  else echo "make: redis-server is missing; the integration tests will skip"; fi; }

# The interpreter-free core on its own, with the sanitizers.
core-tests:
	cmake -S . -B build/core -DKORVANE_CORE_TESTS=ON -DKORVANE_SANITIZE=ON -DKORVANE_WERROR=ON \
		-DCMAKE_BUILD_TYPE=Debug > /dev/null
	cmake --build build/core --target core_tests -j2
	./build/core/core_tests

demo: install
	$(PY) -m korvane demo

bench: install
	$(PY) bench/run.py $(BENCH_ARGS)

bench-quick: install
	$(PY) bench/run.py --quick

# Instructions per object-table entry under callgrind (steady on a busy
# machine, unlike wall time); needs valgrind.
bench-instructions: install
	$(PY) bench/instructions.py $(BENCH_ARGS)

# The Python's style: ruff's lint rules and its formatting.
lint: install
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .

abi3: install
	rm -rf dist && $(PY) -m build --wheel --outdir dist . -q
	$(VENV)/bin/abi3audit --strict --report dist/*.whl

clean:
	rm -rf build dist $(VENV) $(VENV)-3.*

# The one abi3 wheel, built here on 3.11, and the whole suite against it on
# each later CPython it claims, each in its own venv holding only the wheel
# and the test runners. The interpreters come from pyenv; PY3_12=... or
# PY3_13=... points at others.
PYENV_VERSIONS := $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions
newest = $(lastword $(sort $(wildcard $(PYENV_VERSIONS)/$(1).*/bin/python$(1))))
PY3_12 ?= $(call newest,3.12)
PY3_13 ?= $(call newest,3.13)
LATER_VERSIONS := 3.12 3.13
TEST_RUNNERS := "pytest>=7" "hypothesis>=6.100" "mypy>=1.8"
test-versions: install
	rm -rf dist/versions
	$(PIP) wheel -q --no-deps --wheel-dir dist/versions .
	ls dist/versions/korvane-*-cp311-abi3-*.whl
	@set -e; for v in $(LATER_VERSIONS); do \
	  case $$v in 3.12) py="$(PY3_12)";; 3.13) py="$(PY3_13)";; esac; \
	  if [ -z "$$py" ] || ! [ -x "$$py" ]; then \
	    echo "test-versions: no Python $$v (looked in $(PYENV_VERSIONS); set PY$${v/./_}=...)"; \
	    exit 1; fi; \
	  venv=$(VENV)-$$v; \
	  echo "test-versions: $$("$$py" --version) in $$venv"; \
	  test -x $$venv/bin/python || "$$py" -m venv $$venv; \
	  $$venv/bin/python -m pip install -q --disable-pip-version-check $(TEST_RUNNERS); \
	  $$venv/bin/python -m pip install -q --disable-pip-version-check --force-reinstall \
	    --no-deps dist/versions/korvane-*-cp311-abi3-*.whl; \
	  $$venv/bin/python -m pytest -q -p no:cacheprovider; \
	done

# AddressSanitizer + UndefinedBehaviorSanitizer build in its own venv, then
# the whole suite against it. The interpreter is not instrumented, so the
# runtime is preloaded and leak detection (the interpreter's own) is off.
ASAN_VENV := .venv-asan
sanitize:
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install -q ".[test]" -C cmake.define.KORVANE_SANITIZE=ON \
		-C cmake.define.KORVANE_WERROR=ON \
		-C cmake.build-type=RelWithDebInfo -C build-dir=build/asan
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# Both fuzz targets for FUZZ_SECONDS each (default 60); see tests/fuzz/run.sh.
FUZZ_SECONDS ?= 60
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) PYTHON=$(PYTHON) bash tests/fuzz/run.sh
