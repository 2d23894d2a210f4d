#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A private PipeWire for the recording tests, as a desktop runs it: pipewire,
# wireplumber and pipewire-pulse under a D-Bus session of their own, in one
# process group, with no sound card and no systemd. The graph runs at
# 8000 Hz, so nothing is resampled; pipewire-pulse serves one 8000 Hz mono
# null sink whose monitor is the default source, at 100 % volume, so that
# samples pass unchanged (PipeWire's float path carries 16-bit samples
# exactly). Clients reach it as they reach PulseAudio: ALSA's pulse plugin.
#
#   pipewire_server.sh start DIR [--late]   start the three daemons, files in DIR
#   pipewire_server.sh stop DIR             stop them by their process group
#   pipewire_server.sh env DIR              print the environment that reaches them
#
# DIR/daemon.pid holds the group as a negative number, so that a signal sent
# to it (kill(2) semantics) reaches all three daemons, as a crash or a
# restart of the desktop's sound service would. --late is accepted and does
# nothing: PipeWire's null sink delivers a new capture's first data at once.
set -euo pipefail
cmd=${1:?start, stop or env}
dir=${2:?scratch directory}

env_lines() {
  printf 'XDG_RUNTIME_DIR=%s\n' "$dir/runtime"
  printf 'HOME=%s\n' "$dir/home"
  printf 'PULSE_SERVER=unix:%s\n' "$dir/runtime/pulse/native"
  printf 'ALSA_CONFIG_PATH=%s\n' "$dir/asound.conf"
}

# Some daemon of the group runs and is not a zombie.
alive() {
  local pid state
  for pid in $(pgrep -g "$1" 2>/dev/null); do
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || continue
    [ -n "$state" ] && [ "$state" != Z ] && return 0
  done
  return 1
}

# The sink, as module-null-sink makes it in pipewire-pulse; 0 once it is the
# default sink and its monitor the default source.
configure() {
  pactl list short sinks 2>/dev/null | grep -q $'\tkiv\t' ||
    pactl load-module module-null-sink sink_name=kiv rate=8000 format=s16le channels=1 channel_map=mono >/dev/null
  pactl set-default-sink kiv
  pactl set-default-source kiv.monitor
  pactl set-sink-volume kiv 0x10000
  pactl set-source-volume kiv.monitor 0x10000
  pactl info 2>/dev/null | grep -q '^Default Source: kiv.monitor$'
}

case "$cmd" in
env)
  env_lines
  ;;
start)
  mkdir -p "$dir/runtime" "$dir/home" "$dir/config/pipewire/pipewire.conf.d" \
           "$dir/config/pipewire/pipewire-pulse.conf.d"
  chmod 700 "$dir/runtime"
  while IFS= read -r line; do export "$line"; done < <(env_lines)
  export XDG_CONFIG_HOME="$dir/config"
  cat > "$dir/config/pipewire/pipewire.conf.d/kiv.conf" <<'CONF'
context.properties = {
    default.clock.rate = 8000
    default.clock.allowed-rates = [ 8000 ]
    default.clock.quantum = 160
    default.clock.min-quantum = 80
    default.clock.max-quantum = 800
}
CONF
  cat > "$dir/config/pipewire/pipewire-pulse.conf.d/kiv.conf" <<'CONF'
stream.properties = {
    resample.disable = true
}
CONF
  printf 'pcm.!default {\n type pulse\n}\nctl.!default {\n type pulse\n}\n' > "$dir/asound.conf"
  # A restart after SIGKILL finds the old daemons' sockets still there. The
  # session manager, waiting for the graph's socket below, would take the
  # stale one, fail to connect and exit for good; no daemon runs now, so
  # they go first.
  rm -f "$dir/runtime/pipewire-0" "$dir/runtime/pipewire-0-manager" "$dir/runtime/pulse/native"
  # The session manager starts once the graph answers, as systemd orders
  # them; the group leader is the D-Bus session.
  setsid dbus-run-session -- bash -c \
    'pipewire & for _ in $(seq 1 50); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
     wireplumber & pipewire-pulse & wait' >> "$dir/pipewire.log" 2>&1 < /dev/null &
  echo "-$!" > "$dir/daemon.pid"
  # Up to 60 s: three daemons and a D-Bus session start slowly beside a
  # parallel sanitized test run on two cores.
  for _ in $(seq 1 600); do
    if pactl info >/dev/null 2>&1 && configure; then exit 0; fi
    sleep 0.1
  done
  echo "pipewire_server.sh: the daemons in $dir did not become ready" >&2
  tail -20 "$dir/pipewire.log" >&2 || true
  exit 1
  ;;
stop)
  group=$(cat "$dir/daemon.pid" 2>/dev/null || true)
  group=${group#-}
  if [ -n "$group" ]; then
    # Daemons that ended before they were told to have failed the tests
    # that used them: say so, with their last words.
    if ! alive "$group"; then
      echo "pipewire_server.sh: the daemons in $dir had already ended" >&2
      tail -5 "$dir/pipewire.log" >&2 || true
      exit 1
    fi
    kill -- "-$group" 2>/dev/null || true
    rm -f "$dir/daemon.pid"
    for _ in $(seq 1 50); do alive "$group" || exit 0; sleep 0.1; done
    kill -9 -- "-$group" 2>/dev/null || true
  fi
  ;;
*)
  echo "usage: pipewire_server.sh start|stop|env DIR [--late]" >&2
  exit 64
  ;;
esac
