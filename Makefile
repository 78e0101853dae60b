# make run   - set up .venv with CPython 3.12, build marrowfen, start the shell
# make test  - the same set-up, then every C++ and Python test
# make wheel - the same build, packed as a wheel into dist/
SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
CPP_BUILD := build/cpp
JOBS ?= 2
WHEEL_DIR ?= dist

.PHONY: run demo test test-cpp test-python install wheel wheel-build venv deps clean

$(VPY):
	@py="$$(scripts/find-python.sh)" && echo "using $$py" && "$$py" -m venv $(VENV)

$(STAMP): $(VPY) Makefile
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.20" ninja pytest pytest-timeout mypy
	touch $(STAMP)

venv: $(STAMP)

# libgtest-dev comes from apt when it is missing and we are root.
deps:
	@if [ ! -f /usr/lib/x86_64-linux-gnu/libgtest.a ] && [ ! -f /usr/lib/libgtest.a ] && [ ! -d /usr/include/gtest ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else echo "libgtest-dev is missing; install it (apt-get install libgtest-dev)" >&2; exit 1; fi; \
	fi

install: $(STAMP)
	$(VPY) -m pip install -q --no-build-isolation \
	  --config-settings=cmake.define.MARROWFEN_WERROR=ON .

# The same build as `install` (same build directory and options, so it is
# incremental), packed as a wheel into $(WHEEL_DIR).
wheel: $(STAMP)
	@$(MAKE) --no-print-directory wheel-build

# The wheel alone, built with the Python that VPY names, which must have the
# build tools already (the wheel test runs this one).
wheel-build:
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip wheel -q --no-deps --no-build-isolation \
	  --config-settings=cmake.define.MARROWFEN_WERROR=ON -w $(WHEEL_DIR) .
	@ls -1 $(WHEEL_DIR)/marrowfen-*.whl

run: install
	$(VENV)/bin/marrowfen-shell

demo: install
	$(VPY) examples/demo.py

test-cpp: $(STAMP) deps
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DMARROWFEN_BUILD_MODULE=OFF \
	  -DMARROWFEN_BUILD_TESTS=ON -DMARROWFEN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

test-python: install
	cd tests/python && ../../$(VPY) -m pytest -q -p no:cacheprovider

test: test-cpp test-python

clean:
	rm -rf build dist $(VENV)

# make bench           - marrowfen against pyfakefs, PyFilesystem2, fsspec and pexpect, all
#                        installed from PyPI into bench/.venv; prints the tables and writes
#                        bench/RESULTS.md (some 3 minutes; the pool rows need root)
# make bench-callgrind - instructions per operation of the hot paths under callgrind, with
#                        the top functions of each
BENCH_VENV := bench/.venv
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_STAMP := $(BENCH_VENV)/.peers-stamp
BENCH_WHEELS := $(BENCH_VENV)/wheels
BENCH_VALGRIND := command -v valgrind >/dev/null || { \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; \
	  else echo "valgrind is missing; install it (apt-get install valgrind)" >&2; exit 1; fi; }

.PHONY: bench bench-callgrind bench-env

$(BENCH_STAMP): bench/requirements.txt
	@py="$$(scripts/find-python.sh)" && echo "using $$py" && "$$py" -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q -r bench/requirements.txt
	touch $(BENCH_STAMP)

# The build of `install` (same directory and options, so incremental), packed as
# a wheel that keeps its symbols for profiles, installed beside the peers.
bench-env: install $(BENCH_STAMP)
	rm -rf $(BENCH_WHEELS)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip wheel -q --no-deps --no-build-isolation \
	  --config-settings=cmake.define.MARROWFEN_WERROR=ON --config-settings=install.strip=false \
	  -w $(BENCH_WHEELS) .
	$(BENCH_PY) -m pip install -q --force-reinstall --no-deps $(BENCH_WHEELS)/marrowfen-*.whl

bench: bench-env
	@$(BENCH_VALGRIND)
	$(BENCH_PY) bench/run.py

bench-callgrind: bench-env
	@$(BENCH_VALGRIND)
	$(BENCH_PY) bench/callgrind.py
