#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A private PulseAudio daemon for the recording tests: no sound card, no
# systemd, no D-Bus. It serves one 8000 Hz mono s16le null sink whose monitor
# is the default source, at 100 % volume so that samples pass unchanged.
#
#   pulse_server.sh start DIR [--late]   start a daemon with its files in DIR
#   pulse_server.sh stop DIR             stop it by its PID
#   pulse_server.sh env DIR              print the environment that reaches it
#
# Without --late a second null sink reads the first one's monitor through
# module-loopback (20 ms): otherwise the null sink renders up to 2 s ahead
# and a new capture waits 1-2 s for its first data. --late leaves that
# reader out, to reproduce a server that is slow to deliver.
set -euo pipefail
cmd=${1:?start, stop or env}
dir=${2:?scratch directory}

env_lines() {
  printf 'XDG_RUNTIME_DIR=%s\n' "$dir/runtime"
  printf 'HOME=%s\n' "$dir/home"
  printf 'PULSE_SERVER=unix:%s\n' "$dir/runtime/native"
  printf 'ALSA_CONFIG_PATH=%s\n' "$dir/asound.conf"
}

# Running, and not a zombie that nobody has reaped yet.
alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

case "$cmd" in
env)
  env_lines
  ;;
start)
  late=${3:-}
  mkdir -p "$dir/runtime" "$dir/home"
  chmod 700 "$dir/runtime"
  while IFS= read -r line; do export "$line"; done < <(env_lines)
  export PULSE_RUNTIME_PATH="$dir/runtime"
  {
    echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/runtime/native"
    echo "load-module module-null-sink sink_name=kiv rate=8000 format=s16le channels=1"
    echo "set-default-sink kiv"
    echo "set-default-source kiv.monitor"
    echo "set-sink-volume kiv 0x10000"
    echo "set-source-volume kiv.monitor 0x10000"
    if [ "$late" != "--late" ]; then
      echo "load-module module-null-sink sink_name=reader rate=8000 format=s16le channels=1"
      echo "load-module module-loopback source=kiv.monitor sink=reader latency_msec=20"
    fi
  } > "$dir/server.pa"
  printf 'pcm.!default {\n type pulse\n}\nctl.!default {\n type pulse\n}\n' > "$dir/asound.conf"
  # No shared memory with clients: forwarding a player's memfd blocks to
  # a recording client goes through a fallback in this PulseAudio that can
  # abort the daemon ("Assertion ... n_imported > 0"), seen once in about
  # a thousand recordings. At 8000 Hz, copying over the socket costs nothing.
  pulseaudio -D -n -F "$dir/server.pa" --exit-idle-time=-1 --disallow-exit --disable-shm=yes \
    --use-pid-file=yes --log-target="file:$dir/pulse.log" >/dev/null 2>&1
  # Ready when it answers and the sink's latency is short.
  for _ in $(seq 1 150); do
    if pactl info >/dev/null 2>&1; then
      pid=$(cat "$dir/runtime/pid" 2>/dev/null || true)
      [ -n "$pid" ] && echo "$pid" > "$dir/daemon.pid"
      lat=$(pactl list sinks 2>/dev/null | awk '/Name: kiv$/{f=1} f && /Latency:/{print $2; exit}')
      if [ -n "$lat" ] && [ "${lat%.*}" -lt 100000 ]; then exit 0; fi
    fi
    sleep 0.1
  done
  echo "pulse_server.sh: the daemon in $dir did not become ready" >&2
  cat "$dir/pulse.log" >&2 || true
  exit 1
  ;;
stop)
  pid=$(cat "$dir/daemon.pid" 2>/dev/null || cat "$dir/runtime/pid" 2>/dev/null || true)
  if [ -n "$pid" ]; then
    # A daemon that ended before it was told to has failed the tests that
    # used it: say so, with its last words.
    if ! alive "$pid"; then
      echo "pulse_server.sh: the daemon in $dir had already ended" >&2
      tail -5 "$dir/pulse.log" >&2 || true
      exit 1
    fi
    kill "$pid" 2>/dev/null || true
    rm -f "$dir/daemon.pid"
    for _ in $(seq 1 50); do alive "$pid" || exit 0; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  ;;
*)
  echo "usage: pulse_server.sh start|stop|env DIR [--late]" >&2
  exit 64
  ;;
esac
