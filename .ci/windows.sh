#!/usr/bin/env bash
# The Windows build: cross-compiles grenfel.exe with mingw-w64 (64-bit, and
# the 32-bit program as a compile check), runs the cross-compiled unit tests
# under wine, runs the end-to-end suite (a Linux program) against
# grenfel.exe under wine, and checks that both builds print the same bytes
# and write the same files for the example lists. Exits non-zero on any
# failure. The README tells how to run it by hand.
#
# Build folders: build-win (64-bit), build-win32 (32-bit), and a Linux build
# for the end-to-end programs, build-win-e2e unless GRENFEL_LINUX_BUILD names
# another (such as the README's build/). GRENFEL_WIN_TEST_PROGRAMS lists the
# cross-compiled unit test programs to build and run (default: all of
# them).
set -euo pipefail
cd "$(dirname "$0")/.."

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
win_build=build-win
win32_build=build-win32
linux_build=${GRENFEL_LINUX_BUILD:-build-win-e2e}
read -r -a test_programs <<<"${GRENFEL_WIN_TEST_PROGRAMS:-services_tests memberlist_tests grouping_tests driver_tests}"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/src/googletest/CMakeLists.txt ] || need+=(libgtest-dev)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(mingw-w64)
[ -x "$wine" ] || need+=(wine64)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

# One wine prefix for this run, in a scratch folder, with its server kept up
# so that each program starts in a fraction of a second.
scratch=$(mktemp -d /tmp/grenfel-windows-XXXXXX)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=${HOME:-$scratch}
# Wine gets no input from CI; a closed standard input must not trouble it.
exec </dev/null
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$WINEPREFIX"
"$wineserver" -p
echo "== Preparing the wine prefix"
"$wine" wineboot -i >/dev/null 2>&1 &
boot=$!

echo "== Cross-compiling (64-bit)"
cmake --no-warn-unused-cli -S . -B "$win_build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$win_build" -j2 --target grenfel grenfel_e2e_launch "${test_programs[@]}"

echo "== Cross-compiling (32-bit, compile check only: wine64 cannot run it)"
cmake --no-warn-unused-cli -S . -B "$win32_build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DGRENFEL_TESTS=OFF >/dev/null
cmake --build "$win32_build" -j2 --target grenfel

echo "== Building the end-to-end tests (Linux)"
cmake -S . -B "$linux_build" >/dev/null
cmake --build "$linux_build" -j2 --target grenfel grenfel_e2e_tests

wait "$boot" || true

failed=0
for program in "${test_programs[@]}"; do
  echo "== Unit tests under wine: $program.exe"
  if ! timeout 300 "$wine" "$win_build/$program.exe" --gtest_brief=1; then
    echo "FAILED: $program.exe under wine"
    failed=1
  fi
done

echo "== End-to-end tests against grenfel.exe under wine"
# The launcher hands grenfel.exe the arguments joined by single blanks as its
# command line, as a person types it (wine would quote each argument).
export GRENFEL_E2E_BINARY=$PWD/$win_build/grenfel_e2e_launch.exe
export GRENFEL_E2E_WRAPPER=$wine
export GRENFEL_E2E_WINDOWS=1
shards=2
pids=()
for ((i = 0; i < shards; i++)); do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i timeout 600 \
    "$linux_build/grenfel_e2e_tests" --gtest_brief=1 >"$scratch/e2e.$i.log" 2>&1 &
  pids+=($!)
done
for ((i = 0; i < shards; i++)); do
  if ! wait "${pids[$i]}"; then
    failed=1
  fi
  cat "$scratch/e2e.$i.log"
done
unset GRENFEL_E2E_BINARY GRENFEL_E2E_WRAPPER GRENFEL_E2E_WINDOWS

echo "== Same output and files from both builds (examples)"
for side in linux windows; do
  mkdir -p "$scratch/$side"
  cp examples/*.lst "$scratch/$side/"
done
args=(members.lst new.lst /B=bad.lst /ND /G5)
(cd "$scratch/linux" && "$OLDPWD/$linux_build/grenfel" "${args[@]}" >"$scratch/linux.out")
(cd "$scratch/windows" &&
  "$wine" "$OLDPWD/$win_build/grenfel_e2e_launch.exe" "${args[@]}" >"$scratch/windows.out")
# The last line is the run time, which differs from run to run.
if cmp <(sed '$d' "$scratch/linux.out") <(sed '$d' "$scratch/windows.out") &&
  diff -r "$scratch/linux" "$scratch/windows"; then
  echo "identical"
else
  echo "FAILED: the builds differ"
  failed=1
fi

echo "== Windows only: another spelling of the list's name is the list itself"
mkdir -p "$scratch/case"
printf 'a@x.org\r\n' >"$scratch/case/members.lst"
code=0
(cd "$scratch/case" &&
  "$wine" "$OLDPWD/$win_build/grenfel_e2e_launch.exe" /B=.\\MEMBERS.LST members.lst \
    >"$scratch/case.out") || code=$?
printf '%s\r\n' "Quill's VARN Mailing List Optimizer version 20081031" \
  '* Error: Exclude file ".\MEMBERS.LST" is the list file "members.lst" itself; nothing was changed.' \
  >"$scratch/case.expected"
if [ "$code" -eq 1 ] && cmp -s "$scratch/case.out" "$scratch/case.expected" &&
  [ "$(cat "$scratch/case/members.lst")" = $'a@x.org\r' ]; then
  echo "refused"
else
  echo "FAILED: exit code $code, printed:"
  cat -A "$scratch/case.out"
  failed=1
fi

if [ "$failed" -ne 0 ]; then
  echo "Windows build: FAILED"
  exit 1
fi
echo "Windows build: all passed"
