#!/usr/bin/env bash
# Prints the path of a CPython 3.12 interpreter: $PYTHON if set, else
# python3.12 if it runs, else pyenv's 3.12, else fails with a clear message.
set -u
is_312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }
if [ -n "${PYTHON:-}" ]; then
  if is_312 "$PYTHON"; then command -v "$PYTHON"; exit 0; fi
  echo "error: \$PYTHON ($PYTHON) is not a working CPython 3.12" >&2
  exit 1
fi
if command -v python3.12 >/dev/null 2>&1 && is_312 python3.12; then
  command -v python3.12; exit 0
fi
for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 /root/.pyenv/versions/3.12*/bin/python3.12; do
  if [ -x "$candidate" ] && is_312 "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "error: CPython 3.12 not found; install it or set PYTHON=/path/to/python3.12" >&2
exit 1
