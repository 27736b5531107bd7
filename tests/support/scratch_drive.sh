# Sourced by the scripts that run czqic into a scratch drive root: a folder removed on
# exit holds the drive root, and settings from the caller's environment are cleared, so
# the scenario, the card-data switch and the log's limits are the built-in ones.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export CZQIC_DRIVE_ROOT=$work
unset CZQIC_SIM_SCENARIO CZQIC_LOG_CARD_DATA CZQIC_LOG_KEEP_DAYS CZQIC_LOG_MAX_MB
log_dir=$work/C/QUIRN/pq/log

# scenario NAME JSON: writes the scenario to a file and prints its path.
scenario() { printf '%s' "$2" >"$work/$1.json"; echo "$work/$1.json"; }

# check WHAT CONDITION: prints the outcome; a failure sets status without stopping.
status=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1" && status=1; fi
}
