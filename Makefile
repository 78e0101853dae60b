# make run   - set up .venv with CPython 3.12, build marrowfen, start the shell
# make test  - the same set-up, then every C++ and Python test
SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
CPP_BUILD := build/cpp
JOBS ?= 2

.PHONY: run demo test test-cpp test-python install venv deps clean

$(VPY):
	@py="$$(scripts/find-python.sh)" && echo "using $$py" && "$$py" -m venv $(VENV)

$(STAMP): $(VPY) Makefile
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.20" ninja pytest pytest-timeout
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
	rm -rf build $(VENV)
