#!/usr/bin/env bash
# Plants each fault of tests/mutations/ in a scratch copy of the tree, one at
# a time, and runs only the tests named to catch it.
# usage: scripts/mutation-check.sh [BUILD_DIR] [NAME...]
#
# BUILD_DIR (default build-mutations) holds the copy (BUILD_DIR/tree) and its
# build (BUILD_DIR/tree/build); both are kept, so a second run rebuilds only
# what changed.  NAMEs (patch names without .patch) pick some of the patches.
#
# Each tests/mutations/NAME.patch starts with two header lines,
#   Fault: one-line description
#   Tests: ctest-name-1 ctest-name-2
# followed by a unified diff that `git apply` takes from the repository root.
# The named tests run first on the real code, where all must pass; then for
# each patch: apply, rebuild (incrementally), run its tests, revert.  A patch
# is caught when one of its tests fails.  Prints a table; exits 1 when a
# patch survived, did not apply or build, or names a test that does not
# exist, or when a named test fails or is skipped without any fault; 2 on
# bad usage.  Not part of CI:
# it takes one whole build and then minutes per patch.  Namespace tests
# need root (they skip otherwise, which counts as not caught).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
scratch=${1:-build-mutations}
shift || true
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
tree=$scratch/tree
build=$tree/build
log=$scratch/log
mkdir -p "$tree" "$log"

patches=()
if [[ $# -gt 0 ]]; then
  for name in "$@"; do
    [[ -f tests/mutations/$name.patch ]] || { echo "no tests/mutations/$name.patch" >&2; exit 2; }
    patches+=("tests/mutations/$name.patch")
  done
else
  patches=(tests/mutations/*.patch)
fi
[[ -e ${patches[0]} ]] || { echo "no patches in tests/mutations/" >&2; exit 2; }

header() {  # FILE FIELD: the value of a header line
  sed -n "s/^$2: *//p;/^diff --git/q" "$1" | head -n 1
}

# One anchored ctest regular expression for the test names given.
names_regex() {
  local name alternatives=()
  for name in "$@"; do
    alternatives+=("$(printf '%s' "$name" | sed 's/[][\.*^$+?(){}|/]/\\&/g')")
  done
  local IFS='|'
  printf '^(%s)$' "${alternatives[*]}"
}

# Runs the named tests in the copy; prints "passed", "failed", "skipped" or
# "missing N of M".  Output goes to the file $1.
run_tests() {
  local output=$1
  shift
  local regex listed
  regex=$(names_regex "$@")
  listed=$(ctest --test-dir "$build" -N -R "$regex" | grep -c 'Test *#' || true)
  if [[ $listed -ne $# ]]; then
    echo "missing $(($# - listed)) of $#"
    return
  fi
  if ctest --test-dir "$build" -R "$regex" --output-on-failure -j"${MUTATION_JOBS:-1}" \
    >"$output" 2>&1; then
    if grep -qE '\*\*\*Skipped|\[  SKIPPED \]' "$output"; then
      echo skipped
    else
      echo passed
    fi
  else
    echo failed
  fi
}

# The copy: every file git tracks or would track.  Only a file whose bytes
# differ is copied, with a fresh time stamp, so the build of an earlier run
# is reused for the rest, also after a run that ended with a patch applied.
# A git repository of its own, so that git apply works there whatever
# folder holds it.
echo "copying the tree to $tree"
while IFS= read -r -d '' file; do
  if ! cmp -s "$file" "$tree/$file"; then
    mkdir -p "$(dirname "$tree/$file")"
    cp "$file" "$tree/$file"
  fi
done < <(git ls-files -z --cached --others --exclude-standard)
[[ -d $tree/.git ]] || git -C "$tree" init -q
echo "building in $build (the first time takes minutes)"
if ! (cd "$tree" && scripts/build.sh build >"$log/build.txt" 2>&1); then
  echo "the copy does not build: $log/build.txt" >&2
  exit 1
fi

all_tests=()
for patch in "${patches[@]}"; do
  read -r -a named <<<"$(header "$patch" Tests)"
  all_tests+=("${named[@]}")
done
mapfile -t all_tests < <(printf '%s\n' "${all_tests[@]}" | sort -u)
echo "running the ${#all_tests[@]} named tests on the real code"
baseline=$(run_tests "$log/real-code.txt" "${all_tests[@]}")
if [[ $baseline != passed ]]; then
  echo "the named tests on the real code: $baseline (see $log/real-code.txt)" >&2
  exit 1
fi

failures=0
rows=()
for patch in "${patches[@]}"; do
  name=$(basename "$patch" .patch)
  fault=$(header "$patch" Fault)
  read -r -a named <<<"$(header "$patch" Tests)"
  if [[ -z $fault || ${#named[@]} -eq 0 ]]; then
    result="no Fault: or Tests: header"
  elif ! git -C "$tree" apply "$repo/$patch" 2>"$log/$name.txt"; then
    result="does not apply"
  else
    echo "$name: rebuilding and running ${named[*]}"
    if ! (cd "$tree" && scripts/build.sh build >"$log/$name.txt" 2>&1); then
      result="does not build"
    else
      result=$(run_tests "$log/$name.txt" "${named[@]}")
      case $result in
        failed) result=caught ;;
        passed) result=SURVIVED ;;
      esac
    fi
    git -C "$tree" apply -R "$repo/$patch"
  fi
  [[ $result == caught ]] || failures=$((failures + 1))
  rows+=("$(printf '%-36s %-24s %s' "$name" "$result" "$fault")")
done

# The copy's build made from the real code again, for the next run and for
# anyone who runs its tests.
if ! (cd "$tree" && scripts/build.sh build >"$log/build.txt" 2>&1); then
  echo "the copy does not build again without the patches: $log/build.txt" >&2
  failures=$((failures + 1))
fi

echo
printf '%-36s %-24s %s\n' patch result fault
printf '%s\n' "${rows[@]}"
echo
echo "${#patches[@]} patches, $failures not caught; logs in $log"
[[ $failures -eq 0 ]]
