#!/usr/bin/env bash
# scripts/lib/wine-tests.sh ARCH BIN PROGRAM...: runs Windows test programs
# under Wine, ARCH win64 (wine64) or win32 (32-bit Wine), and reports, for
# each, how many of its tests passed, were skipped and failed; exits 1 when
# one failed, or when a program listed no test or passed none (a program
# that cannot start under this Wine lists nothing, and must not pass).
# Each test program runs beside the installed DLLs, a test per process as
# CTest runs them on Linux, in one Wine prefix of ARCH made for this run and
# removed afterwards. Console programs need no display. A test that has not
# ended after two minutes is a failure.
set -uo pipefail
arch=$1 bin=$2
shift 2
case $arch in
  win32 | win64) ;;
  *) echo "usage: scripts/lib/wine-tests.sh win32|win64 BIN PROGRAM..." >&2
     exit 2 ;;
esac
# Only this run's Wine settings: an inherited WINEARCH, WINELOADER,
# WINESERVER, WINEDLLPATH or WINEDLLOVERRIDES would change what runs.
for variable in $(compgen -e); do
  [[ $variable == WINE* ]] && unset "$variable"
done
export WINEARCH=$arch WINEDEBUG=-all
# The loader of that architecture itself: Debian's wine front end takes the
# 32-bit one whenever wine32 is installed, also for 64-bit programs, so a
# 32-bit side that cannot start would spoil the 64-bit run too.
loader=/usr/lib/wine/wine
[[ $arch == win64 ]] && loader=/usr/lib/wine/wine64
if [[ ! -x $loader ]]; then
  loader=wine
elif [[ $arch == win64 ]]; then
  export WINELOADER=$loader  # what the front end sets for it
fi
export WINEPREFIX=$(mktemp -d /tmp/kxenv-wine.XXXXXX)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
# The server, started first so that it stays up between the tests (a -p
# after another client started one fails and leaves that one to time out).
wineserver -p
"$loader" wineboot --init >/dev/null 2>&1
failed=0 total_passed=0 total_skipped=0 total_failed=0
for program in "$@"; do
  name=$(basename "$program" .exe)
  cp "$program" "$bin/"
  passed=0 skipped=0 failures=()
  # --gtest_list_tests: "Suite." lines, then "  Test" lines (a comment may
  # follow a parameterised one).
  tests=$("$loader" "$bin/$name.exe" --gtest_list_tests | tr -d '\r' |
          awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
  [[ -n $tests ]] || failures+=("(no test listed)")
  for test in $tests; do
    log=$(timeout -k 5 120 "$loader" "$bin/$name.exe" --gtest_filter="$test" 2>&1) &&
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
  ((passed > 0)) || failures+=("(none passed)")
  echo "== $name under Wine $arch: $passed passed, $skipped skipped," \
       "${#failures[@]} failed ${failures[*]}"
  ((${#failures[@]} == 0)) || failed=1
  total_passed=$((total_passed + passed))
  total_skipped=$((total_skipped + skipped))
  total_failed=$((total_failed + ${#failures[@]}))
  rm -f "$bin/$name.exe"
done
echo "$arch: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit $failed
