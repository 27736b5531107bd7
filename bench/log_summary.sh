#!/usr/bin/env bash
# `czqic log --summary` over a large log against `grep -c` over the same file: the log is
# a real one (sessions run on the simulated reader with the virtual clock) repeated to the
# size asked for. Prints the best of five runs of each, wall-clock and processor time, and
# each one's largest resident memory (GNU time's "Maximum resident set size").
#   usage: bench/log_summary.sh CZQIC [MB]      (default 130)
set -euo pipefail
czqic=${1:?usage: log_summary.sh CZQIC [MB]}
megabytes=${2:-130}
source "$(dirname "$0")/../tests/support/scratch_drive.sh"

run() { "$czqic" run --virtual-clock "$@" >/dev/null; }
run CardReaderInit CardReaderEnable CardReaderRead WriteTrack2=1234 CardReaderWrite QOR_WaitChip \
    ChipCardData=0084000008 Qor_ChipTrnsp CardReaderReturn CardReaderDisable
run CardReaderInit CardReaderEnable pump:2000 CardReaderRead CardReaderRetain
run --scenario "$(scenario faults '{"on": {"eject": [{"events": [{"event": "CardEjected", "afterMs": 300}]}],
    "chipInit": [{"events": []}], "acceptAndRead": [{"returns": 0, "events": [{"event": "CardAccepted", "afterMs": 9000}]}]}}')" \
    CardReaderInit CardReaderEnable CardReaderRead QOR_WaitChip CardReaderReturn
run --scenario "$(scenario refused '{"on": {"open": [{"fail": "Device not ready"}]}}')" CardReaderInit
run CardReaderInit sim:device=FATAL CardReaderStatus pump:31000 sim:device=ONLINE CardReaderStatus

seed=$log_dir/Qor.log
big=$work/big.log
want=$((megabytes * 1000 * 1000))
: >"$big"
while [ "$(stat -c %s "$big")" -lt "$want" ]; do cat "$seed" "$seed" "$seed" "$seed" >>"$big"; done
echo "log: $(stat -c %s "$big") bytes, $(wc -l <"$big") lines (a $(wc -l <"$seed")-line log repeated)"

# Best of five: wall seconds, processor seconds, largest resident kilobytes. Output goes
# to a file: GNU grep stops at the first match when it sees its output is /dev/null.
measure() {
    local best="" line
    for _ in 1 2 3 4 5; do
        line=$(/usr/bin/time -f "%e %U %S %M" "$@" 2>&1 >"$work/out" | tail -1)
        line=$(awk '{ printf "%s %.2f %s", $1, $2 + $3, $4 }' <<<"$line")
        if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
            best=$line
        fi
    done
    echo "$best"
}
read -r log_wall log_cpu log_rss <<<"$(measure "$czqic" log --summary "$big")"
read -r grep_wall grep_cpu grep_rss <<<"$(measure grep -c '\[Qor\]' "$big")"
printf '%-26s %8s %8s %10s\n' "" "wall s" "cpu s" "max RSS"
printf '%-26s %8s %8s %7s MB\n' "czqic log --summary" "$log_wall" "$log_cpu" "$((log_rss / 1024))"
printf '%-26s %8s %8s %7s MB\n' "grep -c '\\[Qor\\]'" "$grep_wall" "$grep_cpu" "$((grep_rss / 1024))"
ratio=$(awk -v a="$log_wall" -v b="$grep_wall" 'BEGIN { printf "%.2f", a / b }')
echo "czqic log --summary takes ${ratio}x grep's time (aim: at most 4x) and $((log_rss / 1024)) MB (aim: at most 64 MB)"
