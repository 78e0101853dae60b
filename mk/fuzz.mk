# Fuzzing: the libFuzzer targets listed in tests/fuzz/fuzzers.txt, built with
# clang and run for FUZZ_SECONDS each. New inputs go to build/fuzz/corpus,
# failures to build/fuzz/artifacts. (ctest replays the kept corpora in every
# build: see CMakeLists.txt.)
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZERS := $(shell grep -E '^[a-z0-9_]+$$' tests/fuzz/fuzzers.txt)

.PHONY: fuzz fuzz-deps

# libFuzzer comes with clang's runtime libraries; both are fetched if missing,
# and llvm for the symbolizer of the reports.
fuzz-deps: ## clang with libFuzzer, from apt when missing (as root)
	@probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'; \
	if ! echo "$$probe" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev llvm; \
	  else echo "clang with libFuzzer is missing; install it (apt-get install clang libclang-rt-dev llvm)" >&2; exit 1; fi; \
	fi

fuzz: $(STAMP) fuzz-deps ## each fuzzer for FUZZ_SECONDS (default 60) with libFuzzer and clang
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
