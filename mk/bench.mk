# Benchmarks: marrowfen against its peers, and instruction counts of the hot
# paths. Both run in bench/.venv, with peers from bench/requirements.txt.
BENCH_VENV := bench/.venv$(PY_SUFFIX)
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_STAMP := $(BENCH_VENV)/.peers-stamp
BENCH_WHEELS := $(BENCH_VENV)/wheels
BENCH_VALGRIND := command -v valgrind >/dev/null || { \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; \
	  else echo "valgrind is missing; install it (apt-get install valgrind)" >&2; exit 1; fi; }
# bubblewrap, the sandbox the contained pools are set against, from Debian.
BENCH_BWRAP := command -v bwrap >/dev/null || { \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq bubblewrap; \
	  else echo "bubblewrap is missing; install it (apt-get install bubblewrap)" >&2; exit 1; fi; }

.PHONY: bench bench-callgrind bench-env bench-cpp bench-scale

$(BENCH_STAMP): bench/requirements.txt
	@py="$$(scripts/find-python.sh)" && echo "using $$py" && "$$py" -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q -r bench/requirements.txt
	touch $(BENCH_STAMP)

# The build of `install` (same directory and options, so incremental), packed as
# a wheel that keeps its symbols for profiles, installed beside the peers.
bench-env: install $(BENCH_STAMP) ## bench/.venv with the peers and a wheel of marrowfen that keeps its symbols
	@$(BENCH_BWRAP)
	rm -rf $(BENCH_WHEELS)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip wheel -q --no-deps --no-build-isolation \
	  --config-settings=cmake.define.MARROWFEN_WERROR=ON --config-settings=install.strip=false \
	  -w $(BENCH_WHEELS) .
	$(BENCH_PY) -m pip install -q --force-reinstall --no-deps $(BENCH_WHEELS)/marrowfen-*.whl

# The C++ memory probe (bench/inode_memory.cpp), an optimised build of the core alone.
BENCH_CPP := build/bench-cpp
bench-cpp: $(STAMP) ## the C++ memory probe of the bench, an optimised build of the core alone
	$(VENV)/bin/cmake -S . -B $(BENCH_CPP) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARROWFEN_BUILD_MODULE=OFF \
	  -DMARROWFEN_BUILD_BENCH=ON -DMARROWFEN_WERROR=ON >/dev/null
	$(VENV)/bin/cmake --build $(BENCH_CPP) -j $(JOBS) --target inode_memory

bench: bench-env bench-cpp ## against pyfakefs, PyFilesystem2, fsspec, pexpect, bubblewrap; writes bench/RESULTS.md (minutes; pool rows need root)
	@$(BENCH_VALGRIND)
	$(BENCH_PY) bench/run.py

bench-scale: bench-env ## a tree of ten million empty files: build time, memory, listdir/open/remove in it (2.5 GiB)
	$(BENCH_PY) bench/scale.py

bench-callgrind: bench-env ## instructions per operation of the hot paths under callgrind, with their top functions
	@$(BENCH_VALGRIND)
	$(BENCH_PY) bench/callgrind.py
