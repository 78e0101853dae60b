# make run   - set up .venv with CPython 3.12, build marrowfen, start the shell
# make test  - the same set-up, then every C++ and Python test
# make help  - every target, one line each
# PYTHON=python3.13 make <target> - any target with CPython 3.13
#
# The targets live in mk/, one file per concern; a target's line in `make
# help` is the "## ..." comment after its prerequisites.
SHELL := /bin/bash
.DEFAULT_GOAL := help

include mk/env.mk
include mk/cpp-tests.mk
include mk/python-tests.mk
include mk/packaging.mk
include mk/sanitizers.mk
include mk/fuzz.mk
include mk/bench.mk
include mk/lint.mk

.PHONY: help run demo test clean

help: ## this list
	@grep -hE '^[a-z][a-z0-9-]*:[^=]*## ' $(MAKEFILE_LIST) | \
	  sed -E 's/^([a-z0-9-]+):[^#]*## (.*)$$/\1\t\2/' | \
	  awk -F'\t' '{ printf "  make %-18s %s\n", $$1, $$2 }'

run: install ## set up .venv, build marrowfen, start the interactive shell
	$(VENV)/bin/marrowfen-shell

demo: install ## the filesystem demo (examples/demo.py)
	$(VPY) examples/demo.py

test: test-cpp test-python ## every C++ and Python test

clean: ## remove the builds, dist/ and the venvs
	rm -rf build dist .venv .venv-*
