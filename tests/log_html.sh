#!/usr/bin/env bash
# `czqic log --html` over a log of a few sessions, rendered by headless Chromium: every
# call is a titled bar, and the picture shows the bars in their outcome colours.
#   usage: log_html.sh CZQIC [SCREENSHOT]   (the picture is kept as SCREENSHOT when given;
#                                          exit status 77: chromium is not installed)
set -uo pipefail
czqic=$(realpath "${1:?usage: log_html.sh CZQIC [SCREENSHOT]}")
browser=$(command -v chromium || command -v chromium-browser) ||
    { echo "chromium is not installed"; exit 77; }
source "$(dirname "$0")/support/scratch_drive.sh"

session() { "$czqic" run --virtual-clock "$@" >/dev/null || { echo "czqic run $* failed"; exit 1; }; }
session CardReaderInit CardReaderEnable CardReaderRead WriteTrack2=1234 CardReaderWrite \
    QOR_WaitChip ChipCardData=0084000008 Qor_ChipTrnsp CardReaderReturn CardReaderDisable
session --scenario "$(scenario untaken '{"on": {"eject": [{"events": [{"event": "CardEjected", "afterMs": 300}]}],
    "chipInit": [{"events": [{"event": "ChipInvalid", "afterMs": 200}]}]}}')" \
    CardReaderInit CardReaderEnable CardReaderRead QOR_WaitChip CardReaderReturn CardReaderRetain
session --scenario "$(scenario refused '{"on": {"open": [{"fail": "Device not ready"}]}}')" CardReaderInit
session CardReaderInit sim:device=FATAL CardReaderStatus pump:31000 CardReaderEnable pump:2000 \
    sim:device=ONLINE CardReaderStatus CardReaderRead CardReaderReturn

log=$log_dir/Qor.log
page=$work/page.html
# From the log's folder, so that the page names the file as a terminal's support sees it.
(cd "$(dirname "$log")" && "$czqic" log --html "$page" Qor.log) || { echo "czqic log --html failed"; exit 1; }
calls=$("$czqic" log --json "$log" | grep -c '^{"operation"')
bars=$(grep -c '^<rect [^>]*><title>\(CardReader\|QOR_\|Qor_\)' "$page")
check "every call ($calls) is a bar titled with its name, result and duration ($bars)" \
    '[ "$calls" -ge 15 ] && [ "$calls" -eq "$bars" ]'
check "the page loads nothing from elsewhere" '! grep -qE "(src|href)=" "$page"'

shot=$work/shot.png
timeout 120 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars \
    --user-data-dir="$work/profile" --window-size=1280,1000 --screenshot="$shot" \
    "file://$page" >/dev/null 2>&1
check "chromium rendered the page" '[ -s "$shot" ]'
# The picture: mostly background, with the bars of each outcome in their colours.
python3 - "$shot" <<'PY' || status=1
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
width, height, depth, kind = struct.unpack(">IIBB", data[16:26])
assert depth == 8 and kind in (2, 6), "an 8-bit RGB or RGBA picture"
chunks, at = [], 8
while at < len(data):
    length, tag = struct.unpack(">I4s", data[at:at + 8])
    if tag == b"IDAT": chunks.append(data[at + 8:at + 8 + length])
    at += 12 + length
raw, size = zlib.decompress(b"".join(chunks)), 3 if kind == 2 else 4
stride, rows, prev = width * size, [], bytearray(width * size)
for y in range(height):
    f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - size] if i >= size else 0
        b, c = prev[i], prev[i - size] if i >= size else 0
        p = a + b - c
        pred = [0, a, b, (a + b) // 2, a if abs(p - a) <= min(abs(p - b), abs(p - c)) else b if abs(p - b) <= abs(p - c) else c][f]
        line[i] = (line[i] + pred) & 255
    rows.append(line); prev = line
colours = {"success": (0x2e, 0x9d, 0x4f), "time-out": (0xe8, 0xa3, 0x17), "failure": (0xd6, 0x45, 0x41),
           "card captured": (0x8e, 0x44, 0xad), "unknown result": (0x4a, 0x7f, 0xb5)}
counts = dict.fromkeys(colours, 0); ink = 0
for line in rows:
    for x in range(0, stride, size):
        px = tuple(line[x:x + 3])
        if px != (255, 255, 255): ink += 1
        for name, c in colours.items():
            if px == c: counts[name] += 1
ok = True
for name, n in counts.items():
    print(("ok: " if n >= 50 else "FAILED: ") + f"{n} pixels of {name}")
    ok = ok and n >= 50
share = ink / (width * height)
print(("ok: " if 0.02 < share < 0.6 else "FAILED: ") + f"{share:.1%} of the picture is not background")
sys.exit(0 if ok and 0.02 < share < 0.6 else 1)
PY
[ -n "${2:-}" ] && cp "$shot" "$2"
exit $status
