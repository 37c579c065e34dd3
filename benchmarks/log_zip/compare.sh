#!/usr/bin/env bash
# Runs the log_zip benchmark and the host's "zip -9" on the same five
# 20 MiB logs, and prints both figures and their ratio:
#   benchmarks/log_zip/compare.sh [folder]     (default /tmp/quor-logzip-bench)
# The log files are made once and reused by later runs. zip -9 stores the
# files byte for byte; LogZipper reads them as text (CR LF as LF), so its
# input is smaller by one byte per line: the "zip -9 -ll" line shows the host
# on that same LF text.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
folder=${1:-/tmp/quor-logzip-bench}
mkdir -p "$folder"
command -v zip >/dev/null || { echo "compare.sh: the host has no zip" >&2; exit 1; }

"$repo/scripts/bench.sh" log_zip "Z:${folder//\//\\}" | tr -d '\r' | tee "$folder/ours.txt"
ours=$(stat -c %s "$folder/quor.zip")
unzip -tq "$folder/quor.zip" >/dev/null && echo "unzip -t: LogZipper's archive is sound"

files=("$folder"/client/quorvpn.log "$folder"/client/quorvpn.1.log "$folder"/client/quorvpn.2.log
       "$folder"/service/quor-svc.log "$folder"/service/quor-svc.1.log)
for mode in "-9" "-9 -ll"; do
  rm -f "$folder/host.zip"
  start=$(date +%s.%N)
  # shellcheck disable=SC2086
  zip -q -j $mode "$folder/host.zip" "${files[@]}"
  end=$(date +%s.%N)
  size=$(stat -c %s "$folder/host.zip")
  awk -v m="zip $mode" -v a="$start" -v b="$end" -v s="$size" -v o="$ours" \
    'BEGIN { t = b - a; printf "%-11s %8.2f s  %7.1f MiB/s  archive %10d bytes  (LogZipper / host size: %.3f)\n", m, t, 100 / t, s, o / s }'
done
