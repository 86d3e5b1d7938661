# shellcheck shell=bash
# For scripts/fuzz: the compiler the fuzzers need, and running one fuzzer.
# Sourced after common.sh.

# clang, and its runtime libraries (libFuzzer and the sanitizers), which
# the clang package only recommends.
kx_ensure_fuzz_packages() {
  KX_PACKAGES+=(clang libclang-rt-dev)
  kx_ensure_packages
}

# kx_run_fuzzer <binary> <seconds>: runs one fuzzer for that long on its
# corpus in build/fuzz/run/<name>/corpus, seeded from tests/fixtures/fuzz/<name>,
# and prints one line of figures. When it fails, the input that made it
# fail is copied to tests/fixtures/fuzz/<name>/, the end of its log shown,
# and the function returns 1.
kx_run_fuzzer() {
  local binary="$1" seconds="$2"
  local name work fixtures log status=0
  name="$(basename "$binary")"
  if [ ! -x "$binary" ]; then
    echo "$name: no such fuzzer in $(dirname "$binary")" >&2
    return 1
  fi
  work="$KX_ROOT/build/fuzz/run/$name"
  fixtures="$KX_ROOT/tests/fixtures/fuzz/$name"
  log="$work/log"
  rm -rf "$work/artifacts"
  mkdir -p "$work/corpus" "$work/artifacts" "$fixtures"
  # New inputs go to the first directory; the fixtures are only read.
  UBSAN_OPTIONS=print_stacktrace=1 "$binary" \
    -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$fixtures" >"$log" 2>&1 || status=$?
  local runs corpus
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  corpus=$(find "$work/corpus" -type f | wc -l)
  echo "$name: ${runs:-?} runs in ${seconds} s, corpus of $corpus inputs"
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    local found
    for found in "$work"/artifacts/*; do
      [ -f "$found" ] || continue
      cp "$found" "$fixtures/"
      echo "$name: failing input kept as $fixtures/$(basename "$found")" >&2
    done
    return 1
  fi
}
