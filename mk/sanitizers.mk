# The suites under the sanitizers: the C++ suite with ASan+UBSan and again
# with TSan, then the Python suite against a module built with ASan+UBSan.
SAN_CMAKE = $(VENV)/bin/cmake -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="-O1 -fno-sanitize-recover=all" -DMARROWFEN_WERROR=OFF
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
ASAN_MODULE_BUILD := build/asan-module$(PY_SUFFIX)
# The module installed as pip lays it out: beside the shell script and the stubs.
ASAN_SITE := $(ASAN_MODULE_BUILD)/site

.PHONY: check-sanitizers check-asan check-tsan check-asan-python san-deps

# GCC's sanitizer runtimes come with g++; they are fetched only if missing.
san-deps: deps ## the sanitizer runtimes of g++, from apt when missing (as root)
	@for lib in libasan.so libubsan.so libtsan.so; do \
	  case "$$(g++ -print-file-name=$$lib)" in /*) ;; *) missing=1;; esac; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libasan8 libubsan1 libtsan2; \
	  else echo "a sanitizer runtime of g++ is missing (libasan8, libubsan1, libtsan2)" >&2; exit 1; fi; \
	fi

check-asan: $(STAMP) san-deps ## the C++ suite under ASan and UBSan (build/asan)
	$(SAN_CMAKE) -S . -B $(ASAN_BUILD) -DMARROWFEN_SANITIZE=address,undefined \
	  -DMARROWFEN_BUILD_MODULE=OFF -DMARROWFEN_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

check-tsan: $(STAMP) san-deps ## the C++ suite under TSan (build/tsan)
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
# sanitizers. So are the Ray bridge's: its cluster runs once, in `make test`
# (the sanitized venv would find Ray among the packages of .venv). Reports go
# to files, since pytest captures the standard error of a test; any error
# among them fails the run.
ASAN_VENV := $(ASAN_MODULE_BUILD)/venv
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_REPORTS := $(abspath $(ASAN_MODULE_BUILD)/reports)

check-asan-python: $(STAMP) san-deps ## the Python suite against a module built with ASan and UBSan
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
	  --ignore=test_wheel.py --ignore=test_sdist.py --ignore=test_kit_ray.py); status=$$?; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; fi; \
	if grep -q -E 'ERROR: |runtime error' $(ASAN_REPORTS)/* 2>/dev/null; then echo "sanitizer errors above" >&2; exit 1; fi; \
	exit $$status

check-sanitizers: check-asan check-tsan check-asan-python ## all three sanitizer runs (CI runs these after make test)
