#!/usr/bin/env bash
# Measures the live loop as a listener hears it: starts a private PulseAudio
# server with two null sinks at 20 000 Hz mono ("feed": its monitor is the
# program's input; "out": the program's output), routes ALSA to it and runs
# build/<dir>/bench/live_measure, which plays a test signal into "feed" and
# records "feed.monitor" and "out.monitor" on one time line.
#   bench/live-measure.sh [build dir]      (default: build/test)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
dir=$(mktemp -d /tmp/qm-measure-XXXXXX)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir/home" "$dir/run"
chmod 700 "$dir/run"
export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" PULSE_RUNTIME_PATH="$dir/run" PULSE_STATE_PATH="$dir/home"
export PULSE_SERVER="unix:$dir/native"
echo "autospawn = no" >"$dir/client.conf"
export PULSE_CLIENTCONFIG="$dir/client.conf"
cat >"$dir/asound.conf" <<CONF
pcm.!default { type pulse server "unix:$dir/native" }
ctl.!default { type pulse server "unix:$dir/native" }
pcm.feed { type pulse server "unix:$dir/native" device "feed" }
pcm.feedmon { type pulse server "unix:$dir/native" device "feed.monitor" }
pcm.outmon { type pulse server "unix:$dir/native" device "out.monitor" }
CONF
export ALSA_CONFIG_PATH="$dir/asound.conf"
pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --disable-shm=yes --use-pid-file=no \
  --log-target=file:"$dir/log" \
  -L "module-null-sink sink_name=feed rate=20000 channels=1 format=s16le norewinds=1" \
  -L "module-null-sink sink_name=out rate=20000 channels=1 format=s16le norewinds=1" \
  -L "module-native-protocol-unix socket=$dir/native auth-anonymous=1" >/dev/null 2>&1 &
pid=$!
for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
pactl set-default-sink out
pactl set-default-source feed.monitor
"$build/bench/live_measure"
