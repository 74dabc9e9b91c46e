#!/usr/bin/env bash
# The CPU share of the running window: starts the built program on the virtual
# sound card with the plot and the filter on, presses "Sample" (through
# bench/window-driver.cpp, loaded with LD_PRELOAD), lets it run and prints the
# share of one core the program used over the measured seconds.
#
#   bench/window-cpu.sh [build folder (build/test)] [seconds (30)]
#
# The program picks the virtual card when ALSA answers on no device: ALSA is
# given an empty configuration. It runs on Qt's offscreen platform, unless
# QT_QPA_PLATFORM says otherwise (for example xcb under Xvfb, with DISPLAY
# set). The program and its settings file live in a temporary folder, so no
# settings file of yours is read or written.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
seconds=${2:-30}
program=$build/app/quellmarin
driver=$build/bench/libbench_window_driver.so
for f in "$program" "$driver"; do
  if [[ ! -e "$f" ]]; then
    echo "window-cpu: $f is missing; build the targets quellmarin and bench_window_driver" >&2
    exit 1
  fi
done

scratch=$(mktemp -d)
pid=""
cleanup() {
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

cp "$program" "$scratch/quellmarin"
# The settings file beside the program: plot and filter on.
printf '[SETTINGS]\nFilterOn=1\nPlotOn=1\n' >"$scratch/quellmarin.INI"
: >"$scratch/alsa.conf"
mkdir -p "$scratch/runtime" "$scratch/config"
chmod 700 "$scratch/runtime"

: >"$scratch/log"
ALSA_CONFIG_PATH=$scratch/alsa.conf \
  XDG_RUNTIME_DIR=$scratch/runtime \
  XDG_CONFIG_HOME=$scratch/config \
  QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
  LD_PRELOAD=$(realpath "$driver") \
  "$scratch/quellmarin" >"$scratch/log" 2>&1 &
pid=$!

# Wait until the driver pressed "Sample" (at most 30 s).
for ((i = 0; i < 300; i++)); do
  grep -q "pressed Sample" "$scratch/log" && break
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "window-cpu: the program ended:" >&2
    cat "$scratch/log" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q "pressed Sample" "$scratch/log"; then
  echo "window-cpu: \"Sample\" was not pressed:" >&2
  cat "$scratch/log" >&2
  exit 1
fi
# Let the run settle (first blocks, first filter design) before measuring.
sleep 3

# utime + stime of the process, in clock ticks (fields 14 and 15 of stat;
# the name in field 2 is in parentheses and may hold spaces).
cpu_ticks() { sed 's/^.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'; }
ticks_per_second=$(getconf CLK_TCK)
# Resident memory and threads, at the start and the end of the measurement.
memory() { awk '/^VmRSS|^Threads/ { printf "%s %s %s  ", $1, $2, $3 }' "/proc/$pid/status"; }
start_memory=$(memory)
start_ticks=$(cpu_ticks)
start_ns=$(date +%s%N)
sleep "$seconds"
end_ticks=$(cpu_ticks)
end_ns=$(date +%s%N)
end_memory=$(memory)
if ! kill -0 "$pid" 2>/dev/null; then
  echo "window-cpu: the program ended during the measurement" >&2
  exit 1
fi

grep "window-driver" "$scratch/log" | sed 's/^window-driver: /  /'
awk -v t="$((end_ticks - start_ticks))" -v hz="$ticks_per_second" -v ns="$((end_ns - start_ns))" \
  'BEGIN { s = ns / 1e9; printf "CPU: %.1f %% of one core over %.1f s (%.2f s of CPU)\n", 100 * t / hz / s, s, t / hz }'
echo "start: $start_memory"
echo "end:   $end_memory"
