#!/usr/bin/env bash
# Style checks, changing nothing: ruff's lint and format check over the Python
# code, and clang-format (pinned, so every machine formats alike) over the C++.
# `make format` applies both formatters.
set -euo pipefail
source "$(dirname "$0")/common.sh"

venv=$(make_venv style "$(find_python)" "ruff==0.17.*" "clang-format==21.1.*")
cd "$ROOT"
"$venv/bin/ruff" check --quiet .
"$venv/bin/ruff" format --check --quiet .
git ls-files 'src/*.hpp' 'src/*.cpp' 'tests/*.cpp' 'tools/*.cpp' \
  | xargs "$venv/bin/clang-format" --dry-run --Werror
echo "style: ruff check, ruff format and clang-format clean"
