#!/usr/bin/env bash
# scripts/lib/wine-tests.sh BIN PROGRAM...: runs Windows test programs under
# wine64 and reports, for each, how many of its tests passed, were skipped
# and failed; exits 1 when one failed.
# Each test program runs beside the installed DLLs, a test per process as
# CTest runs them on Linux, in one Wine prefix made for this run and removed
# afterwards. Console programs need no display. A test that has not ended
# after two minutes is a failure.
set -uo pipefail
bin=$1
shift
export WINEPREFIX=$(mktemp -d /tmp/kxenv-wine.XXXXXX) WINEDEBUG=-all
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
# The server, started first so that it stays up between the tests (a -p
# after another client started one fails and leaves that one to time out).
wineserver -p
wineboot --init >/dev/null 2>&1
failed=0
for program in "$@"; do
  name=$(basename "$program" .exe)
  cp "$program" "$bin/"
  passed=0 skipped=0 failures=()
  # --gtest_list_tests: "Suite." lines, then "  Test" lines (a comment may
  # follow a parameterised one).
  tests=$(wine "$bin/$name.exe" --gtest_list_tests | tr -d '\r' |
          awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
  for test in $tests; do
    log=$(timeout -k 5 120 wine "$bin/$name.exe" --gtest_filter="$test" 2>&1) &&
      rc=0 || rc=$?
    if ((rc != 0)); then
      failures+=("$test")
      printf '%s\n' "$log" | tail -n 30
      ((rc == 124)) && echo "$test: no end after 120 s"
    elif grep -q '^\[  SKIPPED \]' <<<"$log"; then
      skipped=$((skipped + 1))
    else
      passed=$((passed + 1))
    fi
  done
  echo "== $name under wine64: $passed passed, $skipped skipped," \
       "${#failures[@]} failed ${failures[*]}"
  ((${#failures[@]} == 0)) || failed=1
  rm -f "$bin/$name.exe"
done
exit $failed
