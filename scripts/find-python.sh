#!/usr/bin/env bash
# Prints the path of the CPython to build and test with: $PYTHON if set, else
# CPython 3.12. $PYTHON may be a path, a command on PATH, or a name such as
# python3.13 that only pyenv has. Supported versions: 3.12 and 3.13.
#   find-python.sh            the interpreter's path
#   find-python.sh --version  its major.minor (the Makefile names the venv after it)
set -u
SUPPORTED="3.12 3.13"
DEFAULT=3.12

# major.minor of a working CPython, or nothing.
version_of() {
  "$1" -c 'import sys
if sys.implementation.name == "cpython": print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

# The path of CPython $1 (e.g. 3.13): python3.13 on PATH, else pyenv's.
find_version() {
  if command -v "python$1" >/dev/null 2>&1 && [ "$(version_of "python$1")" = "$1" ]; then
    command -v "python$1"; return 0
  fi
  local candidate
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python"$1" \
                   /root/.pyenv/versions/"$1".*/bin/python"$1"; do
    if [ -x "$candidate" ] && [ "$(version_of "$candidate")" = "$1" ]; then echo "$candidate"; return 0; fi
  done
  return 1
}

if [ -n "${PYTHON:-}" ]; then
  # A versioned name may be a pyenv shim on PATH that does not run: find_version
  # checks that it works before it looks in pyenv.
  if [[ "$PYTHON" =~ ^python(3\.[0-9]+)$ ]]; then
    python="$(find_version "${BASH_REMATCH[1]}")" || {
      echo "error: \$PYTHON ($PYTHON) is neither a working command on PATH nor installed by pyenv" >&2; exit 1; }
  elif [[ "$PYTHON" == */* ]]; then
    python="$PYTHON"
  else
    python="$(command -v "$PYTHON")" || { echo "error: \$PYTHON ($PYTHON) is not on PATH" >&2; exit 1; }
  fi
  version="$(version_of "$python")"
  if [ -z "$version" ] || [[ " $SUPPORTED " != *" $version "* ]]; then
    echo "error: \$PYTHON ($PYTHON) is not a working CPython ${SUPPORTED// / or }" >&2
    exit 1
  fi
else
  python="$(find_version "$DEFAULT")" || {
    echo "error: CPython $DEFAULT not found; install it or set PYTHON=/path/to/python3.12 (or python3.13)" >&2
    exit 1; }
  version="$DEFAULT"
fi

if [ "${1:-}" = "--version" ]; then echo "$version"; else echo "$python"; fi
