# The two contract commands are `make test` and `make demo`; both set up from scratch.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
STAMP  := $(VENV)/.installed

.PHONY: test demo install bench bench-quick abi3 sanitize fuzz core-tests clean

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

install: $(VENV)/bin/python
	$(PIP) install -q ".[test,bench]"

test: install core-tests
	$(PY) -m pytest -q

# The interpreter-free core on its own, with the sanitizers.
core-tests:
	cmake -S . -B build/core -DKORVANE_CORE_TESTS=ON -DKORVANE_SANITIZE=ON \
		-DCMAKE_BUILD_TYPE=Debug > /dev/null
	cmake --build build/core --target core_tests -j2
	./build/core/core_tests

demo: install
	$(PY) -m korvane demo

bench: install
	$(PY) bench/run.py $(BENCH_ARGS)

bench-quick: install
	$(PY) bench/run.py --quick

abi3: install
	rm -rf dist && $(PY) -m build --wheel --outdir dist . -q
	$(VENV)/bin/abi3audit --strict --report dist/*.whl

clean:
	rm -rf build dist $(VENV)

# AddressSanitizer + UndefinedBehaviorSanitizer build in its own venv, then
# the whole suite against it. The interpreter is not instrumented, so the
# runtime is preloaded and leak detection (the interpreter's own) is off.
ASAN_VENV := .venv-asan
sanitize:
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install -q ".[test]" -C cmake.define.KORVANE_SANITIZE=ON \
		-C cmake.build-type=RelWithDebInfo -C build-dir=build/asan
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# Both fuzz targets for FUZZ_SECONDS each (default 60); see tests/fuzz/run.sh.
FUZZ_SECONDS ?= 60
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) PYTHON=$(PYTHON) bash tests/fuzz/run.sh
