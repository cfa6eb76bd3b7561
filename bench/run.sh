#!/usr/bin/env bash
# Download benchmark: the real orvex_flash against the simulated module with
# wire timing on (500000 baud after the bring-up, 1 ms turnaround, typical
# flash timings), for several image sizes and both peer kinds.
#
#   bench/run.sh                  build (RelWithDebInfo) and run everything
#   bench/run.sh --help           options
#
# Per case it reports the tool's own time line, the whole process's wall
# time, the simulator's floor for the same run, the ratio time / floor
# (median of the runs), the tool's CPU share and its peak resident memory;
# then the 256 KiB image with wire timing off (the tool's overhead per byte)
# and a check that the time grows linearly with the image size.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build="$repo/build-bench"
out=""
do_build=1
sizes="32 128 256"
kinds="bridge uart"
runs=3
timing=1
untimed=1
latency=1
realtime=1

usage() {
  cat <<EOF
usage: bench/run.sh [options]
  --build-dir DIR   build tree to use (default: build-bench in the source tree)
  --no-build        use the programs already built in the build tree
  --out DIR         where the results go (default: BUILD/bench-results)
  --sizes "K ..."   image sizes in KiB (default: "$sizes")
  --kinds "K ..."   peer kinds, bridge and/or uart (default: "$kinds")
  --runs N          runs per case (default: $runs)
  --latency-ms X    turnaround latency of the line (default: $latency)
  --no-timing       wire timing off for every case (a quick functional run)
  --no-untimed      skip the untimed 256 KiB case
  --no-realtime     run at normal priority (by default the runs take a
                    real-time priority when allowed, so that other load on
                    the machine does not show in the times)
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --out) out=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --kinds) kinds=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --latency-ms) latency=$2; shift 2 ;;
    --no-timing) timing=0; shift ;;
    --no-untimed) untimed=0; shift ;;
    --no-realtime) realtime=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
[ -n "$out" ] || out="$build/bench-results"

for s in $sizes; do
  case "$s" in ''|*[!0-9]*) echo "run.sh: size $s is not a number of KiB" >&2; exit 2 ;; esac
  if [ "$s" -lt 1 ] || [ "$s" -gt 256 ]; then echo "run.sh: sizes lie in 1..256 KiB" >&2; exit 2; fi
done
for k in $kinds; do
  case "$k" in bridge|uart) ;; *) echo "run.sh: unknown kind $k" >&2; exit 2 ;; esac
done
case "$runs" in ''|*[!0-9]*|0) echo "run.sh: --runs takes a positive number" >&2; exit 2 ;; esac

if [ "$do_build" = 1 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$build" -j2 --target orvex_flash orvex_bench >/dev/null
fi
tool="$build/orvex_flash"
bench="$build/bench/orvex_bench"
for p in "$tool" "$bench"; do
  [ -x "$p" ] || { echo "run.sh: $p is missing (build it, or drop --no-build)" >&2; exit 2; }
done

# The simulated line and the tool both wait on short timers: a busy machine
# would add its scheduling delays to every exchange.
sched=()
sched_note="normal priority"
if [ "$realtime" = 1 ] && command -v chrt >/dev/null 2>&1 && chrt -f 10 true 2>/dev/null; then
  sched=(chrt -f 10)
  sched_note="real-time priority (SCHED_FIFO 10)"
fi

mkdir -p "$out"
raw="$out/raw.txt"
logs="$out/logs"
mkdir -p "$logs"
: >"$raw"

# One download; appends its result line (with the case's label) to raw.txt.
one_run() { # label kind kib timed run
  local label=$1 kind=$2 kib=$3 timed=$4 run=$5
  local args=(--tool "$tool" --kind "$kind" --size $((kib * 1024)) --seed "$run" --latency-ms "$latency"
              --log "$logs/$label-$run.txt")
  [ "$timed" = 1 ] && args+=(--timing)
  local line
  if ! line=$("${sched[@]}" "$bench" "${args[@]}"); then
    echo "run.sh: $label run $run failed; the tool's output is in $logs/$label-$run.txt" >&2
    [ -n "$line" ] && echo "$line" >&2
    exit 1
  fi
  echo "label=$label run=$run $line" >>"$raw"
  printf '  %-16s run %d: time line %s s, wall %s s\n' "$label" "$run" \
    "$(field task_s <<<"$line")" "$(field wall_s <<<"$line")"
}

field() { # name < line
  tr ' ' '\n' | sed -n "s/^$1=//p"
}

echo "orvex_flash download benchmark ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores)"
echo "tool: $tool; $sched_note; load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
cases=()
for kind in $kinds; do
  for kib in $sizes; do
    label="$kind-${kib}k"
    [ "$timing" = 1 ] || label="$label-untimed"
    cases+=("$label")
    for run in $(seq 1 "$runs"); do one_run "$label" "$kind" "$kib" "$timing" "$run"; done
  done
done
untimed_cases=()
if [ "$timing" = 1 ] && [ "$untimed" = 1 ]; then
  for kind in $kinds; do
    label="$kind-256k-untimed"
    untimed_cases+=("$label")
    for run in $(seq 1 "$runs"); do one_run "$label" "$kind" 256 0 "$run"; done
  done
fi

# Medians per case, the ratios, the linearity fit: all from raw.txt.
summary_csv="$out/summary.csv"
summary_md="$out/summary.md"
awk -v timed="$timing" -v csv="$summary_csv" -v md="$summary_md" -v order="${cases[*]} ${untimed_cases[*]}" '
function median(list,    n, a, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
  if (n == 0) return 0
  return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
function add(key, v) { vals[key] = (key in vals) ? vals[key] " " v : v }
{
  delete f
  for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
  c = f["label"]
  kind[c] = f["kind"]; size[c] = f["size"]; istimed[c] = f["timing"]; n[c]++
  add(c SUBSEP "task", f["task_s"]); add(c SUBSEP "window", f["window_s"]); add(c SUBSEP "wall", f["wall_s"])
  add(c SUBSEP "floor", f["floor_s"]); add(c SUBSEP "floordl", f["floor_download_s"])
  add(c SUBSEP "ratio", f["floor_download_s"] > 0 ? f["task_s"] / f["floor_download_s"] : 0)
  add(c SUBSEP "wallratio", f["floor_s"] > 0 ? f["wall_s"] / f["floor_s"] : 0)
  add(c SUBSEP "pauses", f["pauses_download_s"]); add(c SUBSEP "bytesdl", f["bytes_in_download"]); add(c SUBSEP "cpu", f["cpu_share"]); add(c SUBSEP "cpus", f["user_s"] + f["sys_s"])
  if (f["maxrss_kib"] + 0 > rss[c] + 0) rss[c] = f["maxrss_kib"]
}
END {
  print "case,kind,size_bytes,runs,timing,time_line_s,download_window_s,wall_s,floor_download_s,floor_run_s,ratio_download,ratio_wall,cpu_share,cpu_s,peak_rss_kib" > csv
  printf "| case | time (s) | floor (s) | ratio | wall (s) | run floor (s) | CPU share | peak RSS |\n" > md
  printf "|---|---:|---:|---:|---:|---:|---:|---:|\n" > md
  printf "\n%-18s %9s %9s %7s %9s %9s %7s %9s %9s\n", "case", "time(s)", "floor(s)", "ratio", "wall(s)", "runfl(s)", "wall/fl", "CPU", "peakRSS"
  nc = split(order, cs, " ")
  for (k = 1; k <= nc; k++) {
    c = cs[k]
    if (!(c in n)) continue
    t = median(vals[c SUBSEP "task"]); w = median(vals[c SUBSEP "window"]); wl = median(vals[c SUBSEP "wall"])
    fd = median(vals[c SUBSEP "floordl"]); fr = median(vals[c SUBSEP "floor"])
    r = median(vals[c SUBSEP "ratio"]); rw = median(vals[c SUBSEP "wallratio"])
    cpu = median(vals[c SUBSEP "cpu"]); cs_ = median(vals[c SUBSEP "cpus"])
    printf "%s,%s,%d,%d,%d,%.2f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%d\n", c, kind[c], size[c], n[c], istimed[c], t, w, wl, fd, fr, r, rw, cpu, cs_, rss[c] > csv
    if (istimed[c] == 1) {
      printf "%-18s %9.2f %9.3f %7.3f %9.3f %9.3f %7.3f %8.2f%% %6.1f MiB\n", c, t, fd, r, wl, fr, rw, cpu * 100, rss[c] / 1024
      printf "| %s | %.2f | %.2f | %.3f | %.2f | %.2f | %.1f%% | %.1f MiB |\n", c, t, fd, r, wl, fr, cpu * 100, rss[c] / 1024 > md
    } else {
      printf "%-18s %9.2f %9s %7s %9.3f %9s %7s %8.2f%% %6.1f MiB\n", c, t, "-", "-", wl, "-", "-", cpu * 100, rss[c] / 1024
      printf "| %s | %.2f | - | - | %.2f | - | %.1f%% | %.1f MiB |\n", c, t, wl, cpu * 100, rss[c] / 1024 > md
      nu++; unt[nu] = c; untw[c] = w - median(vals[c SUBSEP "pauses"]); untcpu[c] = cs_
      untwire[c] = median(vals[c SUBSEP "bytesdl"]) * 10 / 500000
    }
    if (istimed[c] == 1) { lin_n[kind[c]]++; lx[kind[c], lin_n[kind[c]]] = size[c] / 1024; ly[kind[c], lin_n[kind[c]]] = w; lf[kind[c], lin_n[kind[c]]] = fd }
  }
  print "" ; print "" > md
  # Without wire timing: the download window less the fixed pauses of the
  # shutdown, per byte of image; the share that is the tool letting each write
  # take its time on the line at 500000 baud; the CPU time of the whole
  # process per byte.
  for (k = 1; k <= nu; k++) {
    c = unt[k]
    line = sprintf("%s: %.2f us per byte without wire timing (%.2f us of it the bytes sent at 500000 baud), %.2f us of CPU per byte", c, untw[c] / size[c] * 1e6, untwire[c] / size[c] * 1e6, untcpu[c] / size[c] * 1e6)
    print line
    print "- " line > md
  }
  # Least squares of the download window against the size, per kind.
  for (kd in lin_n) {
    m = lin_n[kd]
    if (m < 3) continue
    sx = sy = sxx = sxy = sf = sxf = 0
    for (i = 1; i <= m; i++) { x = lx[kd, i]; y = ly[kd, i]; sx += x; sy += y; sxx += x * x; sxy += x * y; sf += lf[kd, i]; sxf += x * lf[kd, i] }
    slope = (m * sxy - sx * sy) / (m * sxx - sx * sx); icpt = (sy - slope * sx) / m
    fslope = (m * sxf - sx * sf) / (m * sxx - sx * sx)
    worst = 0
    for (i = 1; i <= m; i++) { d = ly[kd, i] - (icpt + slope * lx[kd, i]); if (d < 0) d = -d; if (d / ly[kd, i] > worst) worst = d / ly[kd, i] }
    verdict = worst <= 0.02 ? "linear" : "NOT linear"
    printf "%s: time = %.3f s + %.2f ms/KiB (floor %.2f ms/KiB), largest deviation from the line %.2f%%: %s\n", kd, icpt, slope * 1000, fslope * 1000, worst * 100, verdict
    printf "- %s: time = %.3f s + %.2f ms/KiB (floor %.2f ms/KiB), largest deviation %.2f%%: %s\n", kd, icpt, slope * 1000, fslope * 1000, worst * 100, verdict > md
  }
}' "$raw"

{
  echo
  echo "Measured $(date -u '+%Y-%m-%d') on $(nproc) cores at $sched_note, runs per case: $runs;" \
    "reproduce with bench/run.sh."
} >>"$summary_md"

# Download time against image size, beside the floor line.
if [ "$timing" = 1 ] && command -v gnuplot >/dev/null 2>&1; then
  dat="$out/plot.dat"
  : >"$dat"
  for kind in $kinds; do
    echo "# $kind: KiB time floor" >>"$dat"
    awk -F, -v k="$kind" '$2 == k && $5 == 1 { print $3 / 1024, $6, $9 }' "$summary_csv" | sort -n >>"$dat"
    printf '\n\n' >>"$dat"
  done
  plot="set terminal pngcairo size 800,500; set output '$out/download_time.png';"
  plot+="set title 'Download time against image size'; set xlabel 'image (KiB)'; set ylabel 'seconds';"
  plot+="set key left top; set grid; plot"
  i=0
  sep=""
  for kind in $kinds; do
    plot+="$sep '$dat' index $i using 1:2 with linespoints title '$kind: time line',"
    plot+=" '$dat' index $i using 1:3 with lines dashtype 2 title '$kind: floor'"
    sep=","
    i=$((i + 1))
  done
  if gnuplot -e "$plot" 2>/dev/null || gnuplot -e "${plot/pngcairo/png}" 2>/dev/null; then
    echo "plot: $out/download_time.png"
  fi
fi

echo "results: $summary_md, $summary_csv, $raw"
