#!/usr/bin/env bash
# Runs both fuzz targets for a bounded time each and reports executions and
# findings. Called by `make fuzz`; FUZZ_SECONDS sets the time per target.
#
#   fuzz_reader   libFuzzer + ASan/UBSan over the interpreter-free reader
#                 (needs clang++ and libclang-rt-*-dev).
#   fuzz_loads    atheris over korvane.loads, in .venv-fuzz, with the
#                 extension built by clang with coverage hooks and ASan/UBSan.
#
# Seeds come from tests/fuzz/make_corpus.py; everything lands in fuzz-out/.
# A finding (crash, leak, timeout, out-of-memory) is kept as
# fuzz-out/findings/<target>-<kind>-<hash> and makes the run fail.
set -uo pipefail
cd "$(dirname "$0")/../.."

SECS="${FUZZ_SECONDS:-60}"
PYTHON="${PYTHON:-python3}"
VENV=.venv-fuzz
OUT=fuzz-out
mkdir -p "$OUT/corpus" "$OUT/reader" "$OUT/loads" "$OUT/findings"

# A fresh Debian machine has no clang: install it when we may.
if ! command -v clang++ >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1 &&
   [ "$(id -u)" = 0 ]; then
  echo "fuzz: installing clang and its libFuzzer runtime with apt-get"
  apt-get update -qq >/dev/null && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null ||
    apt-get install -y -qq clang >/dev/null || true
fi

have_clang=0
if command -v clang++ >/dev/null 2>&1; then
  have_clang=1
  rtdir="$(dirname "$(clang++ -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)")"
  [ -f "$rtdir/libclang_rt.fuzzer_no_main-x86_64.a" ] || have_clang=0
fi
if [ "$have_clang" = 0 ]; then
  echo "fuzz: clang++ with its libFuzzer runtime is missing;" \
       "apt-get install -y clang libclang-rt-14-dev (or the packaged version) to enable both targets"
fi

# --- the fuzz venv: korvane (instrumented when clang is there) and atheris ---
have_atheris=0
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV" && "$VENV/bin/python" -m pip install -q --upgrade pip
fi
if "$VENV/bin/python" -c "import atheris" 2>/dev/null ||
   "$VENV/bin/python" -m pip install -q "atheris>=2.3"; then
  have_atheris=1
else
  echo "fuzz: atheris could not be installed into $VENV; the loads target is skipped"
fi
if [ "$have_clang" = 1 ]; then
  san="-fsanitize=address,undefined,fuzzer-no-link -shared-libsan -fno-omit-frame-pointer"
  CC=clang CXX=clang++ CXXFLAGS="$san" LDFLAGS="-shared-libsan" \
    "$VENV/bin/python" -m pip install -q --force-reinstall --no-deps . -C build-dir=build/fuzz-py \
    || { echo "fuzz: building korvane into $VENV failed"; exit 1; }
else
  "$VENV/bin/python" -m pip install -q --force-reinstall --no-deps . -C build-dir=build/fuzz-py-plain \
    || { echo "fuzz: building korvane into $VENV failed"; exit 1; }
fi

# The instrumented extension needs the sanitizer runtime loaded first.
asan_rt=""
[ "$have_clang" = 1 ] && asan_rt="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)"
LD_PRELOAD="$asan_rt" ASAN_OPTIONS=detect_leaks=0 \
  "$VENV/bin/python" tests/fuzz/make_corpus.py "$OUT/corpus" || exit 1

flags=(-max_total_time="$SECS" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1)
declare -A execs findings status

run_target() {  # name, then the command
  local name=$1
  shift
  local log="$OUT/$name.log"
  echo "fuzz: running $name for ${SECS}s"
  "$@" -artifact_prefix="$OUT/findings/$name-" "${flags[@]}" "$OUT/$name" "$OUT/corpus" >"$log" 2>&1
  status[$name]=$?
  execs[$name]=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  findings[$name]=$(grep -c 'Test unit written to' "$log")
}

if [ "$have_clang" = 1 ]; then
  cmake -S . -B build/fuzz -DKORVANE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
    >"$OUT/cmake.log" 2>&1 &&
    cmake --build build/fuzz --target fuzz_reader -j2 >>"$OUT/cmake.log" 2>&1 ||
    { echo "fuzz: building fuzz_reader failed, see $OUT/cmake.log"; exit 1; }
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 run_target reader build/fuzz/fuzz_reader
fi

if [ "$have_atheris" = 1 ]; then
  preload=""
  if [ "$have_clang" = 1 ]; then
    # libFuzzer as a shared runtime: atheris then drives it, and the
    # extension's coverage hooks bind to it.
    clang++ -shared -o build/fuzz/libfuzzer_rt.so -Wl,--whole-archive \
      "$rtdir/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive -lpthread || exit 1
    preload="$asan_rt $PWD/build/fuzz/libfuzzer_rt.so"
  fi
  LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_target loads "$VENV/bin/python" tests/fuzz/fuzz_loads.py
fi

echo
echo "fuzz summary (${SECS}s per target)"
failed=0
for name in reader loads; do
  if [ -z "${status[$name]+x}" ]; then
    echo "  $name: skipped"
    continue
  fi
  echo "  $name: ${execs[$name]:-0} executions, ${findings[$name]} findings (exit ${status[$name]}), log $OUT/$name.log"
  if [ "${status[$name]}" != 0 ] || [ "${findings[$name]}" != 0 ]; then failed=1; fi
done
[ "$failed" = 0 ] || echo "fuzz: findings are in $OUT/findings/; add each as a case in tests/test_hardening.py"
exit "$failed"
