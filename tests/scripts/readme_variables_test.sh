#!/usr/bin/env bash
# Every environment variable that the code reads is a row of the README's table of
# variables (a line that begins with "| `NAME`"). The names are those given to getenv or
# secure_getenv as a literal, and, in a file that hands them a name held elsewhere (a
# constant, a table), every literal of that file that looks like a variable's name.
# Usage: readme_variables_test.sh SOURCE_DIR
set -uo pipefail
root=${1:?usage: readme_variables_test.sh SOURCE_DIR}
cd "$root" || exit 1
dirs=(nic preload daemon tools sim bench examples)
sources=$(grep -rlE '\b(secure_)?getenv *\(|\benviron\b' --include='*.cpp' --include='*.h' \
  --include='*.c' "${dirs[@]}")
[[ -n $sources ]] || { echo "no source reads the environment: the search is broken"; exit 1; }
names=()
for f in $sources; do
  if grep -qE '\benviron\b' "$f"; then
    echo "$f reads environ: this check cannot tell its names"
    exit 1
  fi
  names+=($(grep -oE '\b(secure_)?getenv *\( *"[A-Za-z_][A-Za-z0-9_]*"' "$f" | grep -oE '"[^"]*"' |
    tr -d '"'))
  if grep -qE '\b(secure_)?getenv *\( *[^" ]' "$f"; then
    held=($(grep -oE '"[A-Z][A-Z0-9_]{2,}"' "$f" | tr -d '"'))
    if ((${#held[@]} == 0)); then
      echo "$f reads a variable whose name this check cannot find"
      exit 1
    fi
    names+=("${held[@]}")
  fi
done
missing=0
for name in $(printf '%s\n' "${names[@]}" | sort -u); do
  if ! grep -qE "^\| \`$name\`" README.md; then
    echo "README.md has no row for $name in its table of environment variables"
    missing=1
  fi
done
((missing == 0)) && echo "all $(printf '%s\n' "${names[@]}" | sort -u | wc -l) variables are in README.md"
exit $missing
