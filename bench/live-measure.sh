#!/usr/bin/env bash
# Measures the live loop as a listener hears it: starts a private PulseAudio
# server with one stereo null sink "bus" at 20 000 Hz whose left channel is
# the program's input (sink "feed", source "in") and whose right channel is
# the program's output (sink "out"), routes ALSA to it and runs
# build/<dir>/bench/live_measure, which plays a test signal into "feed" and
# records bus.monitor: input and output on one time line, in one stream.
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
pcm.bus { type pulse server "unix:$dir/native" device "bus.monitor" }
CONF
export ALSA_CONFIG_PATH="$dir/asound.conf"
pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --disable-shm=yes --use-pid-file=no \
  --log-target=file:"$dir/log" \
  -L "module-null-sink sink_name=bus rate=20000 channels=2 format=s16le norewinds=1" \
  -L "module-remap-sink sink_name=feed master=bus channels=1 master_channel_map=front-left channel_map=mono remix=no" \
  -L "module-remap-sink sink_name=out master=bus channels=1 master_channel_map=front-right channel_map=mono remix=no" \
  -L "module-remap-source source_name=in master=bus.monitor channels=1 master_channel_map=front-left channel_map=mono remix=no" \
  -L "module-native-protocol-unix socket=$dir/native auth-anonymous=1" >/dev/null 2>&1 &
pid=$!
for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
pactl set-default-sink out
pactl set-default-source in
/usr/bin/time -f "live_measure: %U s user, %S s system over %e s" "$build/bench/live_measure"
