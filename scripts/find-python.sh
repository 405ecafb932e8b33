#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter, or fails loudly.
# Looks at $PYTHON, then pyenv's installed 3.13.x, then python3.13 on PATH.
# Never falls back to another minor version.
set -u
is313() { "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) and sys.implementation.name == "cpython" else 1)' >/dev/null 2>&1; }

if [ -n "${PYTHON:-}" ]; then
  if is313 "$PYTHON"; then echo "$PYTHON"; exit 0; fi
  echo "find-python: \$PYTHON=$PYTHON is not CPython 3.13" >&2; exit 1
fi
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  for cand in $(ls -d "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r); do
    if is313 "$cand"; then echo "$cand"; exit 0; fi
  done
fi
for cand in python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
  path=$(command -v "$cand" 2>/dev/null) || continue
  if is313 "$path"; then echo "$path"; exit 0; fi
done
echo "find-python: no CPython 3.13 found (looked at \$PYTHON, pyenv versions, python3.13 on PATH)" >&2
exit 1
