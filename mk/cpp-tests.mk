# The C++ suite: GoogleTest programs and the fuzzers' corpus replays, through
# ctest, in a build of the core without Python.
CPP_BUILD := build/cpp

.PHONY: test-cpp

test-cpp: $(STAMP) deps ## the C++ suite (GoogleTest and corpus replays through ctest, in build/cpp)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DMARROWFEN_BUILD_MODULE=OFF \
	  -DMARROWFEN_BUILD_TESTS=ON -DMARROWFEN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)
