#!/usr/bin/env bash
# Renders every manual page with all of groff's warnings on, and fails on any
# warning.  Then checks that the documents have not fallen behind what they
# describe: each page names the project's version; each #define that
# wanseer(3) shows has the value the header (the version macros: VERSION)
# gives it; each function, macro and
# errno name of the public header appears in wanseer(3), whose ERRORS list
# each function's errno values in the header's words; the header, wanseer(3),
# wanseer(1), `wanseer --help` and the README name the same files read; each
# option that a tool's --help lists appears in its page and in the README's
# Tools section; and the metrics that a running server serves are those that
# wanseer-probe-server(8) and docs/operating.md list.
# MAN_DIR holds the pages as the build makes them, the version filled in.
# usage: lint_man_pages.sh MAN_DIR HEADER VERSION [TOOLS_DIR]
# Exit: 0 clean, 1 a warning or a missing name, 77 groff is not installed.
set -euo pipefail
usage="usage: lint_man_pages.sh MAN_DIR HEADER VERSION [TOOLS_DIR]"
man_dir=${1:?$usage}
header=${2:?$usage}
version=${3:?$usage}
tools_dir=${4:-}
root=$(cd "$(dirname "$0")/../.." && pwd)

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
  local where=$1 text=$2 what=$3 name
  shift 3
  for name in "$@"; do
    grep -qF -- "$name" <<<"$text" || fail "$where does not mention the $what $name"
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
library_text=$(plain_text "$library_page")
require_names wanseer.3 "$library_text" function "${functions[@]}"
require_names wanseer.3 "$library_text" macro "${macros[@]}"
require_names wanseer.3 "$library_text" "errno value" "${errnos[@]}"

# Each function's ERRORS entries as "function<TAB>NAMES<TAB>text", the text
# without case, spaces, quotes, "()" and roff fonts, so that the header's
# words and the page's compare.  An errno that the header names for a
# function outside its ERRORS gives an entry that no page can match.
entry_awk='function flush() {
    if (names != "") { gsub(/\\f[BIRP]|["\\ ]|\(\)/, "", text); print fn "\t" names "\t" tolower(text) }
    names = text = ""
  }'
header_errors() {
  awk -v errnos="${errnos[*]}" "$entry_awk"'
    BEGIN { split(errnos, list, " "); for (i in list) is_errno[list[i]] = 1 }
    /^ \* wanseer_[a-z_]+ - / { fn = $2; split("", named); split("", listed); next }
    fn == "" { next }
    /^WANSEER_API/ {
      flush()
      for (n in named) if (!(n in listed)) print fn "\t" n "\tnamed outside ERRORS"
      fn = ""; next
    }
    { for (i = 1; i <= NF; i++) { w = $i; gsub(/[^A-Z0-9]/, "", w); if (w in is_errno) named[w] = 1 } }
    { sub(/^ \*/, "") }
    /^ [A-Z]/ { flush(); in_errors = /^ ERRORS/; next }
    /^ *$/ || /^\// { flush(); next }
    in_errors && match($0, /^   E[A-Z0-9]+(, E[A-Z0-9]+)*/) {
      flush(); names = substr($0, 4, RLENGTH - 3); text = substr($0, RLENGTH + 1)
      gsub(/ /, "", names); split(names, each, ","); for (i in each) listed[each[i]] = 1; next
    }
    names != "" { text = text $0 }' "$header"
}
page_errors() {
  plain_text "$library_page" | awk "$entry_awk"'
    /^\.SH/ { flush(); in_errors = ($2 == "ERRORS"); after_pp = 1; next }
    !in_errors { next }
    /^\.PP/ { flush(); after_pp = 1; next }
    after_pp && /^\.BR wanseer_[a-z_]+ \(\)/ { fn = $2 }
    { after_pp = 0 }
    /^\.TP/ { flush(); tag = 1; next }
    { sub(/^\.[A-Z]+ /, "") }
    tag { gsub(/[" ]/, ""); names = $0; tag = 0; next }
    names != "" { text = text $0 }
    END { flush() }'
}
# WHERE WHAT LISTED WANTED: two sorted lists, one item a line, are the same.
same_list() {
  local difference
  difference=$(diff <(echo "$3") <(echo "$4")) || fail "$1: $2 differ (<: listed there, >: wanted):"$'\n'"$difference"
}
same_list wanseer.3 "the ERRORS of the header" "$(page_errors | sort)" "$(header_errors | sort)"

# The synopsis's "#define NAME VALUE" lines against the header's, and the
# version macros against VERSION, the number the build makes the version
# header from: a page written by hand once said 1.1.0 after 1.2.0 was out.
IFS=. read -r major minor patch <<<"$version"
defined_values() { sed -nE 's/^#define (WANSEER_[A-Z_]+) +(\(-?[0-9]+\)|-?[0-9]+).*/\1 \2/p'; }
same_list wanseer.3 "the values of the synopsis's #define lines" \
  "$(plain_text "$library_page" | sed -nE 's/^\.B "(#define .*)"$/\1/p' | defined_values | sort)" \
  "$({
    defined_values <"$header"
    printf '#define WANSEER_VERSION_%s %s\n' MAJOR "$major" MINOR "$minor" PATCH "$patch" |
      defined_values
  } | sort)"

# The files the library reads, as the header lists them.  /etc/wanseer holds
# the configurations of the watcher's service, which systemd reads, not the
# library.
etc_files() {
  grep -oE '/etc/[A-Za-z0-9._/-]*[A-Za-z0-9]' <<<"$1" | grep -v '^/etc/wanseer\b' | sort -u || true
}
files=$(etc_files "$(<"$header")")
same_list wanseer.3 "files read" "$(etc_files "$library_text")" "$files"
same_list wanseer.1 "files read" "$(etc_files "$(plain_text "$man_dir/wanseer.1")")" "$files"
same_list README.md "files read" "$(etc_files "$(<"$root/README.md")")" "$files"

if [[ -n $tools_dir ]]; then
  for tool in wanseer:1 wanseer-probe-server:8; do
    program=${tool%:*}
    page=$man_dir/$program.${tool#*:}
    mapfile -t options < <("$tools_dir/$program" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
    ((${#options[@]} >= 2)) || fail "$program --help lists only ${#options[@]} options"
    require_names "$(basename "$page")" "$(plain_text "$page")" "option of $program --help" "${options[@]}"
    require_names "README.md's Tools" "$(awk '/^## / { on = ($0 == "## Tools") } on' "$root/README.md")" \
      "option of $program --help" "${options[@]}"
  done
  same_list "wanseer --help" "files read" "$(etc_files "$("$tools_dir/wanseer" --help)")" "$files"

  # The metrics a server on loopback serves, against those the documents list.
  exec {server_out}< <(exec "$tools_dir/wanseer-probe-server" --listen 127.0.0.1:0 --metrics 0 2>&1)
  server=$!
  trap 'kill "$server" 2>/dev/null || true' EXIT
  port=
  while [[ -z $port ]] && read -r -t 20 -u "$server_out" line; do
    [[ $line =~ http://127\.0\.0\.1:([0-9]+)/metrics ]] && port=${BASH_REMATCH[1]}
  done
  served="(none served)"
  if [[ -n $port ]] && exec {http}<>"/dev/tcp/127.0.0.1/$port"; then
    printf 'GET /metrics HTTP/1.0\r\n\r\n' >&"$http"
    served=$(timeout 20 cat <&"$http" | sed -nE 's/^# TYPE ([a-z_:]+) .*/\1/p' | sort -u)
  fi
  same_list wanseer-probe-server.8 metrics "$(awk '/^\.SH/ { on = ($2 == "METRICS") }
    on && before ~ /^\.TP/ && /^\.B / { print $2 } { before = $0 }' \
    "$man_dir/wanseer-probe-server.8" | sort -u)" "$served"
  same_list docs/operating.md metrics \
    "$(sed -nE 's/^\| `([a-z_:]+)[{`].*/\1/p' "$root/docs/operating.md" | sort -u)" "$served"
fi

if ((failed)); then
  exit 1
fi
echo "man pages: ${#pages[@]} rendered without a warning; header, --help, files and metrics all documented alike"
