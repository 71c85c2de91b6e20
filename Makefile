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

test: install
	$(PY) -m pytest -q

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
