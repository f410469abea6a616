#!/usr/bin/env bash
# The grenfel benchmark: builds grenfel in Release, generates members lists of
# 1,000,000 and 10,000,000 addresses (shuffled, and mostly sorted: sorted plus
# 1% new at the end), and times every scenario against two baselines measured
# in the same run: `LC_ALL=C sort -f -u` on an LF copy of the addresses, and
# the I/O floor `dd if=list of=copy bs=1M`. Every command runs --reps times
# (default 3), interleaved with the others (in another order at each
# repetition); the table shows the median wall time, the median CPU
# time (user + system) and the largest peak resident memory (from
# /usr/bin/time -v).
#
# Also the quicksort's worst kind of order: every address twice, a sorted
# list followed by a reverse-sorted copy in other letter case (2,000,000
# lines), and with --scale one list of 50,000,000 addresses.
#
# Usage: bench/run.sh [--quick] [--scale] [--reps N] [--sizes "N ..."] [--orders "shuffled sorted"]
#                     [--scenarios "nd exclude ..."]
#   --quick   1,000,000 addresses only; results go to the scratch folder,
#             the checked-in results in bench/ stay as they are.
#   --scale   adds the 50,000,000-address list (about 1.3 GB; with its LF
#             copy and the work copies about 5 GB of disk, 10 minutes more).
#   --generate  only makes the lists (they are kept for later runs).
#   --scenarios  runs only these scenarios (sort dd sortonly nd exclude group
#             groupall include closed report dryrun), and always `sort` and nd, which
#             the ratios need.
# Environment: GRENFEL_BENCH_DIR, the scratch folder (default /tmp/grenfel-bench).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH=$ROOT/bench
SCRATCH=${GRENFEL_BENCH_DIR:-/tmp/grenfel-bench}
SIZES="1000000 10000000"
ORDERS="shuffled sorted"
REPS=3
QUICK=0
SCALE=0
GENERATE_ONLY=0
ONLY_SCENARIOS=""
UPDOWN_N=1000000
SCALE_N=50000000

while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1; SIZES="1000000" ;;
    --scale) SCALE=1 ;;
    --generate) GENERATE_ONLY=1 ;;
    --reps) REPS=$2; shift ;;
    --sizes) SIZES=$2; shift ;;
    --orders) ORDERS=$2; shift ;;
    --scenarios) ONLY_SCENARIOS=$2; shift ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 1 ;;
  esac
  shift
done
case "$SCRATCH" in
  "$ROOT"|"$ROOT"/*) echo "run.sh: the scratch folder must be outside the repository" >&2; exit 1 ;;
esac
if [ "$QUICK" = 1 ]; then OUT=$SCRATCH/results; else OUT=$BENCH; fi
mkdir -p "$SCRATCH" "$OUT"

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { printf 'run.sh: %s\n' "$*" >&2; exit 1; }

# --- tools -------------------------------------------------------------------
need_package() {  # binary package
  [ -x "$1" ] && return 0
  [ "$(id -u)" = 0 ] || die "$1 is missing: install the Debian package $2"
  log "installing $2"
  if [ -z "${APT_UPDATED:-}" ]; then apt-get update -qq >/dev/null; APT_UPDATED=1; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2" >/dev/null
}
need_package /usr/bin/time time
need_package /usr/bin/gnuplot gnuplot-nox
command -v g++ >/dev/null || die "g++ is missing"
command -v cmake >/dev/null || die "cmake is missing"

# --- build -------------------------------------------------------------------
log "building grenfel (Release) in build-bench/"
(cd "$ROOT" && cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DGRENFEL_TESTS=OFF >/dev/null &&
  cmake --build build-bench -j2 >/dev/null) || die "the build failed"
GRENFEL=$ROOT/build-bench/grenfel
SOURCES_SUM=$(cd "$ROOT" && find CMakeLists.txt src -type f -name '*' | LC_ALL=C sort | xargs cat | sha256sum | cut -c1-16)
BUILT=$(date -u '+%Y-%m-%d %H:%M UTC')
GEN=$SCRATCH/gen_list
g++ -O2 -std=c++20 -Wall -Wextra -o "$GEN" "$BENCH/gen_list.cc" || die "gen_list did not compile"
GEN_SUM=$(cat "$BENCH/gen_list.cc" | sha256sum | cut -c1-16)

# --- data --------------------------------------------------------------------
# data/N/: list.ORDER.lst (1 moderator), closed.ORDER.lst (1,000 moderators),
# lf.ORDER.txt (the member lines with LF ends), exclude.lst, include.lst,
# stats.ORDER (expected line counts). Kept between runs while the generator
# is unchanged.
generate() {  # N order
  local n=$1 order=$2 dir=$SCRATCH/data/$1
  if [ -f "$dir/stamp.$order" ] && [ "$(cat "$dir/stamp.$order")" = "$GEN_SUM" ]; then
    log "data for N=$n $order already there"
    return
  fi
  mkdir -p "$dir"
  rm -f "$dir"/*."$order".* "$dir/stamp.$order"
  log "generating N=$n ($order)"
  local -a extra=()
  case "$order" in
    shuffled) [ "$n" = "$SCALE_N" ] || extra=(--closed-list "$dir/closed.shuffled.lst"
                --exclude "$dir/exclude.lst" --include "$dir/include.lst") ;;
    sorted) extra=(--closed-list "$dir/closed.sorted.lst") ;;
  esac
  "$GEN" --count "$n" --order "$order" --list "$dir/list.$order.lst" --lf "$dir/lf.$order.txt" \
    --stats "$dir/stats.$order" "${extra[@]}"
  echo "$GEN_SUM" >"$dir/stamp.$order"
}

stat_value() {  # file key
  sed -n "s/^$2=//p" "$1"
}

# --- scenarios ---------------------------------------------------------------
SCENARIOS="sort dd sortonly nd exclude group groupall include closed report dryrun"
# What runs: "N order scenario ...", one case a line.
CASES=""
for n in $SIZES; do
  for order in $ORDERS; do CASES="$CASES$n $order $SCENARIOS
"; done
done
[ "$QUICK" = 1 ] || CASES="$CASES$UPDOWN_N updown sort dd sortonly nd
"
[ "$SCALE" = 0 ] || CASES="$CASES$SCALE_N shuffled sort dd nd group
"
if [ -n "$ONLY_SCENARIOS" ]; then
  for sc in $ONLY_SCENARIOS; do
    case " $SCENARIOS " in *" $sc "*) ;; *) die "unknown scenario $sc (see --help)" ;; esac
  done
  kept=""
  while read -r n order scenarios; do
    [ -n "$n" ] || continue
    line="$n $order"
    for sc in $scenarios; do
      case " sort nd $ONLY_SCENARIOS " in *" $sc "*) line="$line $sc" ;; esac
    done
    kept="$kept$line
"
  done <<<"$CASES"
  CASES=$kept
fi
label() {
  case "$1" in
    sort) echo '`LC_ALL=C sort -f -u` (LF copy)' ;;
    dd) echo '`dd bs=1M` (I/O floor)' ;;
    sortonly) echo 'grenfel, sort only' ;;
    nd) echo 'grenfel /ND' ;;
    exclude) echo 'grenfel /ND /B= (1M exclude entries)' ;;
    group) echo 'grenfel /ND /G10' ;;
    groupall) echo 'grenfel /G10 (duplicates kept)' ;;
    include) echo 'grenfel /ND + include list (1M)' ;;
    closed) echo 'grenfel /ND, closed list, 1,000 moderators' ;;
    report) echo 'grenfel /ND --report=r.tsv' ;;
    dryrun) echo 'grenfel /ND --dry-run' ;;
  esac
}

WORK=$SCRATCH/work
RAW=$SCRATCH/raw.tsv

# Runs one scenario once on fresh copies (copying is not timed) and appends
# "N order scenario rep seconds peak_kib list_bytes lines cpu_seconds" to $RAW. Stops the whole
# benchmark when the output does not look sane.
run_scenario() {  # N order scenario rep
  local n=$1 order=$2 sc=$3 rep=$4 dir=$SCRATCH/data/$1
  local stats=$dir/stats.$order list=$dir/list.$order.lst
  rm -rf "$WORK"
  mkdir -p "$WORK"
  local -a cmd
  case "$sc" in
    sort) cmd=(env LC_ALL=C sort -f -u -o out.txt "$dir/lf.$order.txt") ;;
    dd) cmd=(dd if=in.lst of=out.lst bs=1M status=none); ln -s "$list" "$WORK/in.lst" ;;
    sortonly) cmd=("$GRENFEL" w.lst) ;;
    nd) cmd=("$GRENFEL" w.lst /ND) ;;
    exclude) cmd=("$GRENFEL" w.lst /ND /B=x.lst); cp "$dir/exclude.lst" "$WORK/x.lst" ;;
    group) cmd=("$GRENFEL" w.lst /ND /G10) ;;
    groupall) cmd=("$GRENFEL" w.lst /G10) ;;
    include) cmd=("$GRENFEL" w.lst i.lst /ND); cp "$dir/include.lst" "$WORK/i.lst" ;;
    closed) cmd=("$GRENFEL" w.lst /ND); list=$dir/closed.$order.lst ;;
    report) cmd=("$GRENFEL" w.lst /ND --report=r.tsv) ;;
    dryrun) cmd=("$GRENFEL" w.lst /ND --dry-run) ;;
  esac
  # Plain file names only: grenfel finds its options anywhere in the line, so
  # a path holding "/g" or "/nd" would turn one on.
  case "$sc" in sort|dd) ;; *) cp "$list" "$WORK/w.lst" ;; esac
  sync
  local rc=0 t0 t1
  t0=$(date +%s%N)
  (cd "$WORK" && /usr/bin/time -v -o time.txt "${cmd[@]}" >stdout.txt 2>stderr.txt) || rc=$?
  t1=$(date +%s%N)
  local seconds peak cpu
  seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  cpu=$(awk -F': ' '/User time \(seconds\)|System time \(seconds\)/ { t += $2 } END { printf "%.2f", t }' "$WORK/time.txt")
  peak=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$WORK/time.txt")
  [ "$rc" = 0 ] || die "N=$n $order $sc exited with $rc: $(head -c 2000 "$WORK/stdout.txt" "$WORK/stderr.txt")"

  # Sanity: the number of lines written, against what the generator expects.
  local got expect
  case "$sc" in
    sort) got=$(wc -l <"$WORK/out.txt"); expect=$(stat_value "$stats" expect_nd)
          expect=$((expect - $(stat_value "$stats" head_lines))) ;;
    dd) got=$(stat -c %s "$WORK/out.lst"); expect=$(stat -c %s "$list") ;;
    sortonly|groupall) got=$(wc -l <"$WORK/w.lst"); expect=$(stat_value "$stats" expect_sort) ;;
    nd|group|report) got=$(wc -l <"$WORK/w.lst"); expect=$(stat_value "$stats" expect_nd) ;;
    dryrun) got=$(wc -l <"$WORK/w.lst"); expect=$(wc -l <"$list") ;;
    exclude) got=$(wc -l <"$WORK/w.lst"); expect=$(stat_value "$dir/stats.shuffled" expect_exclude)
             expect=$((expect - $(stat_value "$dir/stats.shuffled" head_lines) + $(stat_value "$stats" head_lines))) ;;
    include) got=$(wc -l <"$WORK/w.lst"); expect=$(stat_value "$dir/stats.shuffled" expect_include)
             expect=$((expect - $(stat_value "$dir/stats.shuffled" head_lines) + $(stat_value "$stats" head_lines))) ;;
    closed) got=$(wc -l <"$WORK/w.lst"); expect=$(stat_value "$stats" expect_closed) ;;
  esac
  # `sort -u` keeps one line per distinct run of blanks as well: a few more.
  local slack=$((expect / 1000 + 8))
  if [ $((got - expect)) -gt "$slack" ] || [ $((expect - got)) -gt "$slack" ]; then
    die "N=$n $order $sc: $got lines (bytes for dd) written, $expect expected"
  fi
  case "$sc" in
    sort|dd) ;;
    *) grep -q '^Runtime: ' "$WORK/stdout.txt" || die "N=$n $order $sc: no run-time line"
       [ ! -e "$WORK/w.TMP" ] || die "N=$n $order $sc: the companion file was left behind"
       head -c 29 "$WORK/w.lst" | grep -q '^+ERRORS-TO:=' || die "N=$n $order $sc: the head moved" ;;
  esac
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$n" "$order" "$sc" "$rep" "$seconds" "$peak" \
    "$(stat -c %s "$list")" "$got" "$cpu" >>"$RAW"
  log "N=$n $order $sc rep $rep: ${seconds}s (CPU ${cpu}s), $((peak / 1024)) MiB, $got lines (expected $expect)"
}

# --- run ---------------------------------------------------------------------
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
STARTED=$(date -u '+%Y-%m-%d %H:%M UTC')
: >"$RAW"
while read -r n order scenarios; do
  [ -n "$n" ] && generate "$n" "$order" </dev/null
done <<<"$CASES"
[ "$GENERATE_ONLY" = 0 ] || exit 0
# The commands of a case come in another order at each repetition, the rows
# of a balanced Latin square (0, 1, m-1, 2, m-2, ..., each plus the row), so
# that each follows every other about as often: a run right after
# `sort -f -u` pays again for the pages that sort gave back to the machine's
# host.
for rep in $(seq 1 "$REPS"); do
  while read -r n order scenarios; do
    [ -n "$n" ] || continue
    read -r -a listed <<<"$scenarios"
    m=${#listed[@]}
    ordered=()
    for ((j = 0; j < m; j++)); do
      if ((j == 0)); then b=0; elif ((j % 2)); then b=$(((j + 1) / 2)); else b=$((m - j / 2)); fi
      ordered+=("${listed[(b + rep - 1) % m]}")
    done
    for sc in "${ordered[@]}"; do run_scenario "$n" "$order" "$sc" "$rep" </dev/null; done
  done <<<"$CASES"
done
rm -rf "$WORK"
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# --- summary -----------------------------------------------------------------
# results.tsv: N order scenario median_s peak_MiB ratio_sort ratio_nd peak_per_list_size
median() {  # N order scenario [column] -> median of the column (default: wall seconds)
  awk -F'\t' -v n="$1" -v o="$2" -v s="$3" -v c="${4:-5}" '$1 == n && $2 == o && $3 == s { print $c }' "$RAW" |
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit; if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
peak_kib() {
  awk -F'\t' -v n="$1" -v o="$2" -v s="$3" '$1 == n && $2 == o && $3 == s && $6 > m { m = $6 } END { print m }' "$RAW"
}
list_bytes() {
  awk -F'\t' -v n="$1" -v o="$2" -v s="$3" '$1 == n && $2 == o && $3 == s { print $7; exit }' "$RAW"
}

TSV=$OUT/results.tsv
printf 'n\torder\tscenario\tmedian_s\tmedian_cpu_s\tpeak_mib\tratio_sort\tratio_nd\tpeak_per_list\n' >"$TSV"
TABLE=$OUT/results.md
{
  echo "| scenario | N | order | median wall s | median CPU s | peak MiB | ratio to \`sort -f -u\` | ratio to /ND | peak memory / list size |"
  echo "|---|---:|---|---:|---:|---:|---:|---:|---:|"
} >"$TABLE"
while read -r n order scenarios; do
  [ -n "$n" ] || continue
  {
    base=$(median "$n" "$order" sort)
    nd=$(median "$n" "$order" nd)
    for sc in $scenarios; do
      m=$(median "$n" "$order" "$sc")
      cpu=$(median "$n" "$order" "$sc" 9)
      p=$(peak_kib "$n" "$order" "$sc")
      b=$(list_bytes "$n" "$order" "$sc")
      read -r mib rs rn pl < <(awk -v m="$m" -v p="$p" -v base="$base" -v nd="$nd" -v b="$b" 'BEGIN {
        printf "%.0f %.2f %.2f %.2f\n", p / 1024, m / base, m / nd, p * 1024 / b }')
      printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$n" "$order" "$sc" "$m" "$cpu" "$mib" "$rs" "$rn" "$pl" >>"$TSV"
      case "$order" in
        sorted) ordername="mostly sorted" ;;
        updown) ordername="up then down, twice" ;;
        *) ordername=$order ;;
      esac
      nn=$(echo "$n" | sed -e ':a' -e 's/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/' -e 'ta')
      printf '| %s | %s | %s | %.2f | %.2f | %s | %s | %s | %s |\n' "$(label "$sc")" "$nn" "$ordername" "$m" "$cpu" "$mib" "$rs" \
        "$([ "$sc" = sort ] || [ "$sc" = dd ] && echo "—" || echo "$rn")" "$pl" >>"$TABLE"
    done
  }
done <<<"$CASES"
cp "$RAW" "$OUT/runs.tsv"

{
  echo
  echo "Run of $STARTED, $REPS repetition(s) of every command, interleaved; load average before: $LOAD_BEFORE, after: $LOAD_AFTER."
  echo "grenfel built $BUILT from the work tree (checksum of CMakeLists.txt and src/: $SOURCES_SUM)."
  echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)."
} >>"$TABLE"

# --- plot --------------------------------------------------------------------
DAT=$OUT/scaling.dat
{
  echo "# N sort_shuffled nd_shuffled dd_shuffled sort_sorted nd_sorted (median wall seconds)"
  for n in $SIZES $([ "$SCALE" = 0 ] || echo "$SCALE_N"); do
    row="$n"
    for order in shuffled sorted; do
      for sc in sort nd dd; do
        [ "$order" = sorted ] && [ "$sc" = dd ] && continue
        v=$(median "$n" "$order" "$sc")
        row="$row ${v:-NaN}"
      done
    done
    echo "$row"
  done
} >"$DAT"
read -r XMIN XMAX < <(echo $SIZES $([ "$SCALE" = 0 ] || echo "$SCALE_N") | tr ' ' '\n' | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo / 1.5, hi * 1.5 }')
gnuplot <<EOF || log "the plot failed"
set terminal pngcairo size 900,600 font "DejaVu Sans,11" noenhanced
set output "$OUT/scaling.png"
set title "grenfel /ND against LC_ALL=C sort -f -u (median wall time, 2-core machine)"
set xlabel "addresses in the list"
set ylabel "wall time, seconds"
set logscale xy
set format x "%.0s%c"
set key bottom right
set xrange [$XMIN:$XMAX]
set grid
plot "$DAT" using 1:2 with linespoints lw 2 pt 7 title "sort -f -u, shuffled", \
     "$DAT" using 1:5 with linespoints lw 2 pt 7 dt 2 title "sort -f -u, mostly sorted", \
     "$DAT" using 1:3 with linespoints lw 2 pt 5 title "grenfel /ND, shuffled", \
     "$DAT" using 1:6 with linespoints lw 2 pt 5 dt 2 title "grenfel /ND, mostly sorted", \
     "$DAT" using 1:4 with linespoints lw 1 pt 1 title "dd bs=1M (I/O floor)"
EOF

cat "$TABLE"
log "results in $OUT (results.md, results.tsv, runs.tsv, scaling.dat, scaling.png)"
