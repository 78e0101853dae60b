# The lint gate: formatting and static checks of the C++ and Python sources,
# with every tool pinned from PyPI in a venv of its own (.venv-lint), so that
# a finding means the same on every machine.
#
# - clang-format --dry-run over every C++ file, against .clang-format.
# - clang-tidy over src/ with the checks of .clang-tidy, reading the compile
#   commands of a tree that is configured but never built (build/lint). It is
#   the slow one (about three minutes of two cores): the files go to JOBS
#   processes at once.
# - ruff over the Python code, with the rules of pyproject.toml.
# - mypy --strict over python/; it sees the module through its stubs, put
#   where mypy looks for a module named marrowfen.
LINT_VENV := .venv-lint
LINT_PY := $(LINT_VENV)/bin/python
LINT_STAMP := $(LINT_VENV)/.lint-stamp
LINT_BUILD := build/lint
# pytest and fsspec are there for their types: the kit imports both.
LINT_TOOLS := clang-format==19.1.7 clang-tidy==19.1.0 ruff==0.17.6 mypy==2.4.1 pytest==9.2.0 fsspec==2026.9.0
LINT_CPP_FILES = $(shell find src tests bench \( -name '*.cpp' -o -name '*.h' \) | sort)
LINT_PY_DIRS := python tests scripts bench examples
MYPY_STRICT := --strict --strict-bytes --warn-unreachable

.PHONY: lint lint-cpp lint-python

$(LINT_STAMP): mk/lint.mk
	@py="$$(scripts/find-python.sh)" && echo "using $$py" && "$$py" -m venv $(LINT_VENV)
	$(LINT_PY) -m pip install -q --upgrade pip
	$(LINT_PY) -m pip install -q $(LINT_TOOLS)
	touch $(LINT_STAMP)

lint: lint-python lint-cpp ## clang-format, clang-tidy, ruff and mypy --strict, pinned in .venv-lint (minutes)

lint-python: $(LINT_STAMP) ## ruff over the Python code, mypy --strict over python/
	$(LINT_VENV)/bin/ruff check $(LINT_PY_DIRS)
	rm -rf $(LINT_BUILD)/stubs && mkdir -p $(LINT_BUILD)/stubs/marrowfen
	cp python/marrowfen-stubs/__init__.pyi $(LINT_BUILD)/stubs/marrowfen/
	MYPYPATH=$(LINT_BUILD)/stubs $(LINT_VENV)/bin/mypy $(MYPY_STRICT) --cache-dir $(LINT_BUILD)/mypy-cache \
	  python/marrowfen_kit python/marrowfen_shell.py

lint-cpp: $(LINT_STAMP) $(STAMP) ## clang-format --dry-run over the C++ code, clang-tidy over src/
	@$(LINT_VENV)/bin/clang-format --dry-run -Werror $(LINT_CPP_FILES)
	@echo "clang-format: every C++ file as .clang-format has it"
	$(VENV)/bin/cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DMARROWFEN_BUILD_MODULE=ON -DMARROWFEN_BUILD_TESTS=OFF -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	@# One process per file; its output is shown only when it found something.
	@find src -name '*.cpp' | sort | xargs -P $(JOBS) -I '{}' sh -c \
	  'out=$$($(LINT_VENV)/bin/clang-tidy -p $(LINT_BUILD) --quiet --header-filter="$(CURDIR)/src/.*" {} 2>&1) \
	   || { printf "%s\n" "$$out"; exit 1; }'
	@echo "clang-tidy: no findings in src/"
