#!/usr/bin/env bash
# Renders every manual page with all of groff's warnings on, and fails on any
# warning.  Then checks that the pages have not fallen behind what they
# describe: each names the project's version, each function, macro and errno
# name of the public header appears in wanseer(3), and each option that a
# tool's --help lists appears in its page.
# usage: lint_man_pages.sh MAN_DIR HEADER VERSION [TOOLS_DIR]
# Exit: 0 clean, 1 a warning or a missing name, 77 groff is not installed.
set -euo pipefail
usage="usage: lint_man_pages.sh MAN_DIR HEADER VERSION [TOOLS_DIR]"
man_dir=${1:?$usage}
header=${2:?$usage}
version=${3:?$usage}
tools_dir=${4:-}

if ! command -v groff >/dev/null 2>&1; then
  echo "SKIPPED: groff is not installed"
  exit 77
fi
export LC_ALL=C.UTF-8
failed=0
fail() {
  echo "FAILED: $*" >&2
  failed=1
}

pages=("$man_dir"/*.[1-8])
for page in "${pages[@]}"; do
  # -t: tables; -z: no output, only the diagnostics.
  if ! warnings=$(groff -t -man -ww -z -Tutf8 "$page" 2>&1) || [[ -n $warnings ]]; then
    fail "$(basename "$page") does not render cleanly:"$'\n'"$warnings"
  fi
  grep -q "^\.TH .* \"wanseer $version\"" "$page" || fail "$(basename "$page") is not marked wanseer $version"
done

# Names as the page's text has them: roff writes a hyphen as \-.
plain_text() { sed 's/\\-/-/g' "$1"; }

require_names() {
  local page=$1 what=$2
  shift 2
  local text name
  text=$(plain_text "$page")
  for name in "$@"; do
    grep -qF -- "$name" <<<"$text" || fail "$(basename "$page") does not mention the $what $name"
  done
}

library_page=$man_dir/wanseer.3
mapfile -t functions < <(grep -oE '\bwanseer_[a-z_]+\(' "$header" | tr -d '(' | sort -u)
mapfile -t macros < <(sed -nE 's/^#define (WANSEER_[A-Z_]+).*/\1/p' "$header" |
  grep -vxE 'WANSEER_H|WANSEER_API' | sort -u)
# Words of the header that are errno names of the system (not headings such
# as ERRORS or EXEC).
mapfile -t errnos < <(comm -12 <(grep -oE '\bE[A-Z0-9]{2,}\b' "$header" | sort -u) \
  <(sed -nE 's/^#define[[:space:]]+(E[A-Z0-9]+)[[:space:]].*/\1/p' \
    /usr/include/asm-generic/errno-base.h /usr/include/asm-generic/errno.h | sort -u))
((${#functions[@]} >= 4)) || fail "found only ${#functions[@]} functions in $header"
require_names "$library_page" function "${functions[@]}"
require_names "$library_page" macro "${macros[@]}"
require_names "$library_page" "errno value" "${errnos[@]}"

if [[ -n $tools_dir ]]; then
  for tool in wanseer:1 wanseer-probe-server:8; do
    program=${tool%:*}
    page=$man_dir/$program.${tool#*:}
    mapfile -t options < <("$tools_dir/$program" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
    ((${#options[@]} >= 2)) || fail "$program --help lists only ${#options[@]} options"
    require_names "$page" "option of $program --help" "${options[@]}"
  done
fi

if ((failed)); then
  exit 1
fi
echo "man pages: ${#pages[@]} rendered without a warning; header and --help names all documented"
