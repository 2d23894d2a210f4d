# SPDX-License-Identifier: MIT
# Helpers shared by the comparison scripts; source it.

# Seconds a command takes, whole process, output discarded.
seconds_of() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

# The middle one of an odd number of figures.
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }

# SECONDS of raw 8000 Hz mono s16le speech in OUT: the bundled sample, repeated.
make_speech_raw() {
  local seconds=$1 out=$2 sample
  sample="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/data/speech_8k.raw"
  : >"$out"
  while [ "$(stat -c %s "$out")" -lt $(( seconds * 16000 )) ]; do cat "$sample" >>"$out"; done
  truncate -s $(( seconds * 16000 )) "$out"
}
