#!/usr/bin/env bash
# fwtag sum against cksum on the same 64 MiB file: median CPU time (user+sys)
# of several alternating runs, and their ratio.
set -euo pipefail
fwtag=${1:-build/host/tools/fwtag/fwtag}
runs=${RUNS:-7}
file=$(mktemp /tmp/tagbench.XXXXXX)
trap 'rm -f "$file"' EXIT
head -c $((64 * 1024 * 1024)) /dev/urandom > "$file"
[ "$("$fwtag" sum "$file")" = "$(cksum < "$file" | cut -d' ' -f1)" ] || { echo "sums differ"; exit 1; }
cpu() { /usr/bin/env TIMEFORMAT='%3U %3S' bash -c "time $* >/dev/null" 2>&1 | awk '{print $1 + $2}'; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
a=(); b=()
for _ in $(seq "$runs"); do
  a+=("$(cpu "$fwtag" sum "$file")")
  b+=("$(cpu cksum "$file")")
done
ma=$(printf '%s\n' "${a[@]}" | median)
mb=$(printf '%s\n' "${b[@]}" | median)
printf 'fwtag sum: %.3f s   cksum: %.3f s   ratio fwtag/cksum: %.2f   (64 MiB, median of %d)\n' \
  "$ma" "$mb" "$(awk -v x="$ma" -v y="$mb" 'BEGIN{print x/y}')" "$runs"
