#!/bin/sh
# Prints the path of a CPython interpreter new enough for kestrovane.
#   tools/find-python.sh          the newest 3.12+ found
#   tools/find-python.sh 3.13     exactly that minor version
# Looks at python3.N on PATH (each must actually run: a pyenv shim may not),
# then at pyenv's installed versions. Exits 1 with a message if none is found.
set -u
want="${1:-}"

runs_as() {  # $1 = interpreter, $2 = minor version wanted
  "$1" -c "import sys; sys.exit(0 if sys.version_info[:2] == (3, $2) else 1)" >/dev/null 2>&1
}

pyenv_root="${PYENV_ROOT:-}"
if [ -z "$pyenv_root" ] && command -v pyenv >/dev/null 2>&1; then
  pyenv_root=$(pyenv root 2>/dev/null)
fi
[ -n "$pyenv_root" ] || pyenv_root="$HOME/.pyenv"

if [ -n "$want" ]; then minors="${want#3.}"; else minors="15 14 13 12"; fi
for minor in $minors; do
  if command -v "python3.$minor" >/dev/null 2>&1 && runs_as "python3.$minor" "$minor"; then
    command -v "python3.$minor"
    exit 0
  fi
  for dir in $(ls -d "$pyenv_root"/versions/3."$minor".* 2>/dev/null | sort -t. -k3 -n -r); do
    if [ -x "$dir/bin/python3" ] && runs_as "$dir/bin/python3" "$minor"; then
      echo "$dir/bin/python3"
      exit 0
    fi
  done
done

echo "error: no CPython ${want:-3.12 or newer} found." >&2
echo "Looked for python3.N on PATH and under $pyenv_root/versions." >&2
echo "Install one (e.g. 'pyenv install 3.12' or your system's python3.12 package) and retry." >&2
exit 1
