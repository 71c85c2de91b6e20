#!/usr/bin/env bash
# Runs both fuzz targets for a bounded time each and reports executions,
# features and findings. Called by `make fuzz`; FUZZ_SECONDS sets the time
# per target; FUZZ_RUNS, when set, also ends each target after that many
# executions (whichever comes first).
#
#   fuzz_reader   libFuzzer + ASan/UBSan over the interpreter-free reader.
#   fuzz_loads    atheris over korvane.loads, in .venv-fuzz, with the
#                 extension built by clang with coverage hooks and ASan/UBSan.
#
# Both need clang++ and its libFuzzer runtime (libclang-rt-*-dev); as root
# on Debian the script installs them. Seeds come from
# tests/fuzz/make_corpus.py; everything lands in fuzz-out/.
#
# The run fails when
#   - a target finds something (crash, leak, timeout, out-of-memory): it is
#     kept as fuzz-out/findings/<target>-<kind>-<hash>;
#   - a target cannot run: a target that is skipped has checked nothing;
#   - a target is blind: its log says that the coverage hooks are served by
#     a library other than libFuzzer, or it ends with fewer features than
#     its floor below. The floors sit well under what the seed corpus alone
#     reaches in a good run (reader: 840 features, loads: 5,300, both
#     before the first mutation), so they hold for any FUZZ_SECONDS, and
#     far above what a blind target reaches (loads: 38 in 300,000 runs).
set -uo pipefail
cd "$(dirname "$0")/../.."

SECS="${FUZZ_SECONDS:-60}"
PYTHON="${PYTHON:-python3}"
VENV=.venv-fuzz
OUT=fuzz-out
declare -A floor=([reader]=600 [loads]=4000 [differential]=500)
mkdir -p "$OUT/corpus" "$OUT/reader" "$OUT/loads" "$OUT/differential" "$OUT/findings"

fuzzer_runtime() {  # the libFuzzer archive that clang++ links, if it exists
  command -v clang++ >/dev/null 2>&1 || return 1
  local lib
  lib="$(clang++ -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)"
  [ -f "$lib" ] && echo "$lib"
}

# A fresh Debian machine has no clang: install it when we may.
if ! fuzzer_runtime >/dev/null && command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  echo "fuzz: installing clang and its libFuzzer runtime with apt-get"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  command -v clang++ >/dev/null 2>&1 || apt-get install -y -qq clang >/dev/null
  major="$(clang++ -dumpversion 2>/dev/null | cut -d. -f1)"
  [ -n "$major" ] && apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
fi
fuzzer_lib="$(fuzzer_runtime)" || {
  echo "fuzz: clang++ with its libFuzzer runtime is missing;" \
       "apt-get install -y clang libclang-rt-14-dev (or the packaged version)"
  exit 1
}
asan_rt="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)"

# --- the fuzz venv: korvane instrumented for coverage, and atheris -----------
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV" && "$VENV/bin/python" -m pip install -q --upgrade pip || exit 1
fi
"$VENV/bin/python" -c "import atheris" 2>/dev/null ||
  "$VENV/bin/python" -m pip install -q "atheris>=2.3" ||
  { echo "fuzz: atheris could not be installed into $VENV"; exit 1; }
# The differential target runs the generator and properties of the tests.
"$VENV/bin/python" -c "import hypothesis, pytest" 2>/dev/null ||
  "$VENV/bin/python" -m pip install -q "hypothesis>=6.100" "pytest>=7" ||
  { echo "fuzz: hypothesis could not be installed into $VENV"; exit 1; }
san="-fsanitize=address,undefined,fuzzer-no-link -shared-libsan -fno-omit-frame-pointer"
CC=clang CXX=clang++ CXXFLAGS="$san" LDFLAGS="-shared-libsan" \
  "$VENV/bin/python" -m pip install -q --force-reinstall --no-deps . -C build-dir=build/fuzz-py ||
  { echo "fuzz: building korvane into $VENV failed"; exit 1; }

# The instrumented extension needs the sanitizer runtime loaded first.
LD_PRELOAD="$asan_rt" ASAN_OPTIONS=detect_leaks=0 \
  "$VENV/bin/python" tests/fuzz/make_corpus.py "$OUT/corpus" || exit 1

flags=(-max_total_time="$SECS" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1)
[ -n "${FUZZ_RUNS:-}" ] && flags+=(-runs="$FUZZ_RUNS")
declare -A execs features findings status blind

run_target() {  # name, then the command
  local name=$1
  shift
  local log="$OUT/$name.log"
  echo "fuzz: running $name for ${SECS}s"
  "$@" -artifact_prefix="$OUT/findings/$name-" "${flags[@]}" "$OUT/$name" "$OUT/corpus" >"$log" 2>&1
  status[$name]=$?
  execs[$name]=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  # The last status line holds the features reached (a finding ends the
  # run before the final one).
  features[$name]=$(grep -o ' ft: [0-9]*' "$log" | tail -1 | tr -dc 0-9)
  findings[$name]=$(grep -c 'Test unit written to' "$log")
  blind[$name]=""
  if grep -q 'Coverage symbols are being provided by a library other than libFuzzer' "$log"; then
    blind[$name]="coverage hooks served by another library"
  elif grep -q 'Is the code instrumented for coverage' "$log"; then
    blind[$name]="libFuzzer sees no coverage"
  elif [ "${features[$name]:-0}" -lt "${floor[$name]}" ]; then
    blind[$name]="${features[$name]:-0} features, below the floor of ${floor[$name]}"
  fi
}

cmake -S . -B build/fuzz -DKORVANE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
  >"$OUT/cmake.log" 2>&1 &&
  cmake --build build/fuzz --target fuzz_reader -j2 >>"$OUT/cmake.log" 2>&1 ||
  { echo "fuzz: building fuzz_reader failed, see $OUT/cmake.log"; exit 1; }
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 run_target reader build/fuzz/fuzz_reader

# libFuzzer as a shared runtime, preloaded ahead of ASan's: atheris then
# drives it, and the coverage hooks of the extension and of atheris's Python
# instrumentation bind to it rather than to ASan's stubs of the same names
# (hence the link-order check is off).
clang++ -shared -o build/fuzz/libfuzzer_rt.so -Wl,--whole-archive "$fuzzer_lib" \
  -Wl,--no-whole-archive -lpthread || exit 1
LD_PRELOAD="$PWD/build/fuzz/libfuzzer_rt.so $asan_rt" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:verify_asan_link_order=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_target loads "$VENV/bin/python" tests/fuzz/fuzz_loads.py
LD_PRELOAD="$PWD/build/fuzz/libfuzzer_rt.so $asan_rt" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:verify_asan_link_order=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_target differential "$VENV/bin/python" tests/fuzz/fuzz_differential.py

echo
echo "fuzz summary (${SECS}s per target)"
failed=0
for name in reader loads differential; do
  echo "  $name: ${execs[$name]:-0} executions, ${features[$name]:-0} features," \
       "${findings[$name]} findings (exit ${status[$name]}), log $OUT/$name.log"
  if [ -n "${blind[$name]}" ]; then
    echo "  $name is blind: ${blind[$name]}"
    failed=1
  fi
  if [ "${status[$name]}" != 0 ] || [ "${findings[$name]}" != 0 ]; then failed=1; fi
done
[ "${findings[reader]}${findings[loads]}${findings[differential]}" = 000 ] ||
  echo "fuzz: findings are in $OUT/findings/; add each as a case in tests/test_hardening.py"
exit "$failed"
