#!/usr/bin/env bash
# Prints the path of a CPython this package supports, or fails with one line
# that names what was found and what is supported.
#
#   scripts/find-python.sh [X.Y]
#
# $PYTHON, when set, is the only candidate. Otherwise the newest supported
# version found wins: 3.15, then 3.14, then 3.13, looking for each at pyenv's
# installed X.Y.z (newest first) and then at pythonX.Y on PATH. X.Y narrows
# the search to that one version. Free-threaded builds are refused: their
# ABI (cp3XYt) is one the module has never been built or tested for.
set -u
supported=(3.15 3.14 3.13)
listed() { printf '%s\n' "$@" | sort -V | paste -sd, - | sed 's/,/, /g'; }
wanted=("${supported[@]}")
if [ $# -gt 0 ]; then
  case " ${supported[*]} " in
    *" $1 "*) wanted=("$1") ;;
    *) echo "find-python: $1 is not a supported version; supported: CPython $(listed "${supported[@]}")" >&2
       exit 1 ;;
  esac
fi
supported_text="CPython $(listed "${wanted[@]}") (not free-threaded)"

# "3.14 3.14.10" for CPython 3.14.10, "3.14t 3.14.0" for a free-threaded build,
# "pypy 3.10.14" for another implementation; nothing if it does not run.
probe() {
  local out
  out=$("$1" -c 'import sys, sysconfig
v = "%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
print(v if sys.implementation.name == "cpython" else sys.implementation.name, sys.version.split()[0])' \
    2>/dev/null) && [ -n "$out" ] && echo "$out"
}

accepts() {
  local found
  found=$(probe "$1") || return 1
  case " ${wanted[*]} " in *" ${found%% *} "*) return 0 ;; esac
  return 1
}

if [ -n "${PYTHON:-}" ]; then
  if accepts "$PYTHON"; then echo "$PYTHON"; exit 0; fi
  if found=$(probe "$PYTHON"); then
    case $found in
      *t\ *) what="free-threaded CPython ${found#* }" ;;
      [0-9]*) what="CPython ${found#* }" ;;
      *) what=$found ;;
    esac
    echo "find-python: \$PYTHON=$PYTHON is $what; supported: $supported_text" >&2
  else
    why=$(command -v "$PYTHON" >/dev/null && "$PYTHON" -c pass 2>&1 | head -n 1 || echo "not found")
    why=${why:-not a Python}
    echo "find-python: \$PYTHON=$PYTHON does not run${why:+ ($why)}; supported: $supported_text" >&2
  fi
  exit 1
fi

root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for version in "${wanted[@]}"; do
  for cand in $(ls -d "$root"/versions/"$version"*/bin/python"$version" 2>/dev/null | sort -V -r) \
              "python$version" "/usr/bin/python$version" "/usr/local/bin/python$version"; do
    path=$(command -v "$cand" 2>/dev/null) || continue
    if accepts "$path"; then echo "$path"; exit 0; fi
  done
done
fallback=$(probe python3) && fallback="; python3 on PATH is ${fallback#* }" || fallback=
echo "find-python: no $supported_text found (pyenv's versions, pythonX.Y on PATH$fallback);" \
     "set PYTHON=/path/to/python3.X" >&2
exit 1
