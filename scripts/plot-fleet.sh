#!/usr/bin/env bash
# Draws docs/fleet-outage.svg: requests per second that a million hosts send
# their probe server through a one-minute outage, on the 1.1 schedule (a fixed
# 60 s pause after each reply) and on today's (intervals drawn from 45 to
# 75 s), both from bench/fleet_simulation.  Prints the summary lines quoted in
# docs/operating.md.  Installs gnuplot-nox when it is missing.
# usage: scripts/plot-fleet.sh [BUILD_DIR]   (default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-bench}
scripts/install-deps.sh gnuplot-nox
scripts/build.sh "$build_dir" -DCMAKE_BUILD_TYPE=Release -DWANSEER_BUILD_BENCH=ON \
  -DWANSEER_BUILD_TESTS=OFF
simulation=$build_dir/bench/fleet_simulation
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

"$simulation" --before >"$data/before"
"$simulation" >"$data/after"
for run in before after; do
  echo "$run:"
  grep '^# [0-9sp]' "$data/$run" | grep -v '^# second'
done

# Seconds 840 to 1260: the minute before the outage (900-960) and five
# minutes after it, as multiples of the steady rate (hosts / 60).
gnuplot <<GNUPLOT
set terminal svg size 900,420 dynamic font "sans,12"
set output "docs/fleet-outage.svg"
set title "10^6 hosts, probe server down for 60 s from second 900"
set xlabel "seconds after the end of the outage"
set ylabel "requests per second / steady rate"
set xrange [-120:360]
set yrange [0:8.5]
set ytics 1
set grid ytics
set key top right
set arrow from -60,graph 0 to -60,graph 1 nohead dashtype 3 lc rgb "#888888"
set arrow from 0,graph 0 to 0,graph 1 nohead dashtype 3 lc rgb "#888888"
set arrow from -120,1.5 to 360,1.5 nohead dashtype 2 lc rgb "#cc0000"
set label "1.5x goal" at 300,1.8 tc rgb "#cc0000"
plot "$data/before" using (\$1-960):(\$2/16667.0) with lines lw 1 lc rgb "#999999" \
       title "1.1: fixed 60 s pause after each reply", \
     "$data/after" using (\$1-960):(\$2/16667.0) with lines lw 1.5 lc rgb "#0055aa" \
       title "intervals drawn from 45 to 75 s"
GNUPLOT
echo "drew docs/fleet-outage.svg"
