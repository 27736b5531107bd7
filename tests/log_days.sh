#!/usr/bin/env bash
# czqic on three faked dates against one drive root, the system clock moved by faketime:
# after 2026-01-05, 2026-02-01 and 2026-04-06, Qor.log holds that last day's lines only,
# Qor.2026-02-01.log its day's, and the file of 2026-01-05 (91 days old) is gone; the log
# file is readable by owner and group only, its folder open to them only.
#   usage: log_days.sh CZQIC      (exit status 77: faketime is not installed)
set -uo pipefail
czqic=${1:?usage: log_days.sh CZQIC}
command -v faketime >/dev/null || { echo "faketime is not installed"; exit 77; }
source "$(dirname "$0")/support/scratch_drive.sh"
# libfaketime is preloaded ahead of a sanitizer's runtime in the asan build.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
log=$log_dir
for day in 2026-01-05 2026-02-01 2026-04-06; do
    faketime "$day 10:00:00" "$czqic" run --virtual-clock CardReaderInit >/dev/null ||
        { echo "czqic failed on $day"; exit 1; }
done
every_line_of() { [ -s "$log/$1" ] && ! grep -qv "^$2 " "$log/$1"; }
check "the folder holds Qor.2026-02-01.log and Qor.log" \
    '[ "$(cd "$log" && ls | paste -sd" ")" = "Qor.2026-02-01.log Qor.log" ]'
check "Qor.log holds 2026-04-06 lines only" 'every_line_of Qor.log 2026-04-06'
check "Qor.2026-02-01.log holds 2026-02-01 lines only" 'every_line_of Qor.2026-02-01.log 2026-02-01'
check "the log file is 0640, its folder 0750" \
    '[ "$(stat -c %a "$log/Qor.log" "$log")" = "$(printf "640\n750")" ]'
exit $status
