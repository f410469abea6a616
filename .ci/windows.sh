#!/usr/bin/env bash
# The Windows builds: cross-compiles grenfel.exe with mingw-w64 as a 64-bit
# and as a 32-bit program, runs every cross-compiled unit test program of
# both under wine, runs the end-to-end suite (a Linux program) against each
# grenfel.exe under wine (the 32-bit one also with a list too big for its
# address space, and one that needs more than 2 GiB of it), checks that the
# Linux program and both Windows programs print the same bytes and write the
# same files for the example lists and for a large generated list, and
# builds and checks the two Windows ZIPs.
# Exits non-zero on any failure. The README tells how to run it by hand.
#
# Build folders: build-win (64-bit), build-win32 (32-bit), and a Linux build
# for the end-to-end programs, build-win-e2e unless GRENFEL_LINUX_BUILD names
# another (such as the README's build/). GRENFEL_WIN_TEST_PROGRAMS lists the
# cross-compiled unit test programs to build and run (default: all of
# them).
set -euo pipefail
cd "$(dirname "$0")/.."

wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
linux_build=${GRENFEL_LINUX_BUILD:-build-win-e2e}
read -r -a test_programs <<<"${GRENFEL_WIN_TEST_PROGRAMS:-services_tests memberlist_tests grouping_tests driver_tests reference_tests}"
started=$SECONDS

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/src/googletest/CMakeLists.txt ] || need+=(libgtest-dev)
command -v groff >/dev/null || need+=(groff-base)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(mingw-w64)
[ -x "$wine64" ] || need+=(wine64)
# The 32-bit wine runs 32-bit programs in the same (64-bit) prefix.
if [ ! -x "$wine32" ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  need+=(wine32:i386)
fi
if [ ${#need[@]} -gt 0 ]; then
  .ci/apt-install "${need[@]}" >/dev/null
fi

# One wine prefix for this run, in a scratch folder, with its server kept up
# so that each program, 64-bit or 32-bit, starts in a fraction of a second.
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
"$wine64" wineboot -i >/dev/null 2>&1 &
boot=$!

# bits, build folder, toolchain file, extra configure options
configure_and_build() {
  local bits=$1 build=$2 toolchain=$3
  shift 3
  echo "== Cross-compiling ($bits-bit)"
  cmake --no-warn-unused-cli -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$build" -j2 --target grenfel grenfel_e2e_launch manual_text "${test_programs[@]}"
}
configure_and_build 64 build-win cmake/mingw-w64-x86_64.cmake
# Where size_t has 32 bits, narrowing and sign changes in the program's own
# code fail the build.
configure_and_build 32 build-win32 cmake/mingw-w64-i686.cmake -DGRENFEL_CONVERSION_CHECKS=ON

echo "== Building the end-to-end tests (Linux)"
# A build that GRENFEL_LINUX_BUILD names is used as it was configured (.ci/run
# hands over the one its test command made).
[ -e "$linux_build/CMakeCache.txt" ] || cmake -S . -B "$linux_build" >/dev/null
cmake --build "$linux_build" -j2 --target grenfel grenfel_e2e_tests
# Relative or absolute, it is used from other folders below.
linux_build=$(cd "$linux_build" && pwd)

wait "$boot" || true
echo "-- built in $((SECONDS - started)) s"

failed=0

# Two programs at a time: wine spends much of a test program's time
# starting processes and waiting for files, not computing.
echo "== Unit tests under wine"
pids=()
names=()
for program in "${test_programs[@]}"; do
  for bits in 64 32; do
    if [ "$bits" = 64 ]; then loader=$wine64 build=build-win; else loader=$wine32 build=build-win32; fi
    timeout 300 "$loader" "$build/$program.exe" --gtest_brief=1 \
      >"$scratch/unit.$program.$bits.log" 2>&1 &
    pids+=($!)
    names+=("$program.$bits")
  done
  for ((i = 0; i < ${#pids[@]}; i++)); do
    if wait "${pids[$i]}"; then
      echo "passed: ${names[$i]%.*}.exe (${names[$i]##*.}-bit)"
    else
      cat "$scratch/unit.${names[$i]}.log"
      echo "FAILED: ${names[$i]%.*}.exe (${names[$i]##*.}-bit) under wine"
      failed=1
    fi
  done
  pids=()
  names=()
done
echo "-- unit tests done at $((SECONDS - started)) s"

# The launcher hands grenfel.exe the arguments joined by single blanks as its
# command line, as a person types it (wine would quote each argument).
echo "== End-to-end tests against both grenfel.exe under wine"
shards=2
pids=()
logs=()
# bits, then the arguments of the suite
run_e2e() {
  local bits=$1 loader build
  shift
  if [ "$bits" = 64 ]; then loader=$wine64 build=build-win; else loader=$wine32 build=build-win32; fi
  GRENFEL_E2E_BINARY=$PWD/$build/grenfel_e2e_launch.exe GRENFEL_E2E_WRAPPER=$loader \
    GRENFEL_E2E_WINDOWS=1 GRENFEL_E2E_32BIT=$([ "$bits" = 32 ] && echo 1 || echo 0) \
    timeout 900 "$linux_build/grenfel_e2e_tests" --gtest_brief=1 "$@"
}
for bits in 64 32; do
  for ((i = 0; i < shards; i++)); do
    log=$scratch/e2e.$bits.$i.log
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i run_e2e "$bits" >"$log" 2>&1 &
    pids+=($!)
    logs+=("$log")
  done
done
# A test that fails is run once more, alone, and fails the build only when
# it fails again; either way its failure is told again at the end, where a
# long log is not cut.
told=()
for ((i = 0; i < ${#pids[@]}; i++)); do
  log=${logs[$i]}
  code=0
  wait "${pids[$i]}" || code=$?
  cat "$log"
  [ "$code" -eq 0 ] && continue
  bits=${log#"$scratch"/e2e.}
  bits=${bits%%.*}
  tests=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_]*\.[A-Za-z0-9_/]*\).*/\1/p' "$log" | sort -u | paste -sd:)
  if [ -n "$tests" ] && run_e2e "$bits" --gtest_filter="$tests" >"$log.again" 2>&1; then
    told+=("FLAKY ($bits-bit): $tests failed in ${log##*/}, then passed alone; its failure was:")
  else
    told+=("FAILED ($bits-bit): ${tests:-the suite} in ${log##*/}, and again alone; the failure was:")
    failed=1
  fi
  told+=("$(grep -v -e '^Running main' -e 'Skipped$' -e 'not run through GRENFEL_E2E_WRAPPER' \
    -e '^Linux' -e '^for the 32-bit' -e '^a POSIX FIFO' -e '^grenfel: hint' "$log" | tail -n 40)")
done
echo "-- end-to-end tests done at $((SECONDS - started)) s"

# Runs one program on fresh copies of the lists in $scratch/lists, in
# $scratch/<side>, with the arguments after the side; its output goes to
# $scratch/<side>.out.
run_side() {
  local side=$1
  shift
  rm -rf "${scratch:?}/$side"
  cp -r "$scratch/lists" "$scratch/$side"
  case $side in
    linux) (cd "$scratch/$side" && "$linux_build/grenfel" "$@") ;;
    win64) (cd "$scratch/$side" && "$wine64" "$OLDPWD/build-win/grenfel_e2e_launch.exe" "$@") ;;
    win32) (cd "$scratch/$side" && "$wine32" "$OLDPWD/build-win32/grenfel_e2e_launch.exe" "$@") ;;
  esac >"$scratch/$side.out"
}

# The three programs on the same lists: the same output (the run time aside)
# and the same files.
compare_sides() {
  local what=$1
  shift
  for side in linux win64 win32; do run_side "$side" "$@"; done
  local same=1
  for side in win64 win32; do
    # The last line is the run time, which differs from run to run.
    if ! cmp <(sed '$d' "$scratch/linux.out") <(sed '$d' "$scratch/$side.out") ||
      ! diff -r "$scratch/linux" "$scratch/$side" >/dev/null; then
      echo "FAILED: $side differs from linux ($what)"
      same=0
      failed=1
    fi
  done
  [ "$same" -eq 1 ] && echo "identical: $what"
  return 0
}

echo "== Same output and files from the three programs"
mkdir -p "$scratch/lists"
cp examples/*.lst "$scratch/lists/"
compare_sides "examples, with include, exclude, /ND and /G5" members.lst new.lst /B=bad.lst /ND /G5
# Large enough for every two-thread path (reading, exclusion, sorting,
# grouping, writing): equal keys in several letter cases, plus records,
# empty lines and a closed list's moderators.
awk 'BEGIN {
  srand(7)
  printf "Mod@Example.org\r\nCLOSED\r\n"
  for (i = 0; i < 300000; i++) {
    n = int(rand() * 200000); d = int(rand() * rand() * 5000)
    r = rand()
    if (r < 0.2) printf "User%d@Dom%d.EXAMPLE\r\n", n, d
    else if (r < 0.4) printf "user%d@dom%d.example\r\n", n, d
    else if (r < 0.41) printf "+owner%d@dom%d.example\r\n", n, d
    else if (r < 0.42) printf "\r\n"
    else printf "  u%d@d%d.example \r\n", n, d
  }
}' >"$scratch/lists/big.lst"
awk 'BEGIN { srand(8); for (i = 0; i < 80000; i++) printf "new%d@dom%d.example\r\n", i, i % 7000 }' \
  >"$scratch/lists/bignew.lst"
awk 'BEGIN { srand(9); for (i = 0; i < 70000; i++) printf "USER%d@DOM%d.example\r\n", int(rand() * 200000), int(rand() * 5000) }' \
  >"$scratch/lists/bigbad.lst"
compare_sides "300,000 records, with include, exclude, /ND and /G7" big.lst bignew.lst /B=bigbad.lst /ND /G7
compare_sides "300,000 records, sorted only" big.lst

echo "== Windows only: another spelling of the list's name is the list itself"
for bits in 64 32; do
  if [ "$bits" = 64 ]; then loader=$wine64 build=build-win; else loader=$wine32 build=build-win32; fi
  rm -rf "$scratch/case"
  mkdir -p "$scratch/case"
  printf 'a@x.org\r\n' >"$scratch/case/members.lst"
  code=0
  (cd "$scratch/case" &&
    "$loader" "$OLDPWD/$build/grenfel_e2e_launch.exe" /B=.\\MEMBERS.LST members.lst \
      >"$scratch/case.out") || code=$?
  printf '%s\r\n' "Quill's VARN Mailing List Optimizer version 20081031" \
    '* Error: Exclude file ".\MEMBERS.LST" is the list file "members.lst" itself; nothing was changed.' \
    >"$scratch/case.expected"
  if [ "$code" -eq 1 ] && cmp -s "$scratch/case.out" "$scratch/case.expected" &&
    [ "$(cat "$scratch/case/members.lst")" = $'a@x.org\r' ]; then
    echo "refused ($bits-bit)"
  else
    echo "FAILED ($bits-bit): exit code $code, printed:"
    cat -A "$scratch/case.out"
    failed=1
  fi
done

echo "== The Windows ZIPs"
version=$(sed -n 's/^project(grenfel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for bits in 64 32; do
  if [ "$bits" = 64 ]; then loader=$wine64 build=build-win; else loader=$wine32 build=build-win32; fi
  name=grenfel-$version-win$bits
  rm -f "$build/$name.zip"
  (cd "$build" && cpack -G ZIP >/dev/null)
  expected=$(printf '%s\n' "$name/README.md" "$name/examples/bad.lst" \
    "$name/examples/members.lst" "$name/examples/new.lst" "$name/grenfel.exe" "$name/grenfel.txt")
  listed=$(cmake -E tar tf "$build/$name.zip" | grep -v '/$' | sort)
  rm -rf "$scratch/zip"
  mkdir -p "$scratch/zip"
  (cd "$scratch/zip" && cmake -E tar xf "$OLDPWD/$build/$name.zip")
  unpacked=$scratch/zip/$name
  if [ "$listed" = "$expected" ] &&
    cmp -s "$unpacked/grenfel.exe" "$build/grenfel.exe" &&
    cmp -s "$unpacked/README.md" README.md &&
    cmp -s "$unpacked/examples/members.lst" examples/members.lst &&
    grep -q $'^SYNOPSIS\r$' "$unpacked/grenfel.txt" &&
    ! grep -q $'[\x08\x1b]' "$unpacked/grenfel.txt" &&
    (cd "$unpacked/examples" && "$loader" ../grenfel.exe members.lst new.lst /B=bad.lst /ND /G \
      >"$scratch/zip.out") && grep -q '^Runtime: ' "$scratch/zip.out"; then
    echo "checked: $build/$name.zip"
  else
    echo "FAILED: $build/$name.zip holds:"
    printf '%s\n' "$listed"
    failed=1
  fi
done

echo "-- Windows builds took $((SECONDS - started)) s"
if [ ${#told[@]} -gt 0 ]; then
  echo "== End-to-end failures under wine, again"
  printf '%s\n' "${told[@]}"
fi
if [ "$failed" -ne 0 ]; then
  echo "Windows build: FAILED"
  exit 1
fi
echo "Windows build: all passed"
