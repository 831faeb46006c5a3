#!/usr/bin/env bash
# shell_test APP BRIDGE XCLOSE: the real application window on an X display, driven as a person
# would. Runs inside scripts/netns-run (loopback only, its own avahi-daemon) under xvfb-run.
#   - a photo arrives and is stored; the quit key (Ctrl+Q, a real X key event) ends the
#     application at once, with status 0;
#   - closing the window (the window manager's close message) ends it too;
#   - with a photo that could not be stored, both ask first instead of quitting; "Salir sin
#     guardar" then ends it;
#   - the keys move the selection in the strip, Space zooms, F and Escape go full screen and
#     back, and the wheel zooms toward the pointer (seen in the window's debug lines).
set -euo pipefail
app=$1 bridge=$2 xclose=$3
work=$(mktemp -d)
pid=''
trap '[ -z "$pid" ] || kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
export HOME=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share
export QT_QPA_PLATFORM=xcb LIBGL_ALWAYS_SOFTWARE=1 QT_LOGGING_RULES=halvane.ui.debug=true
mkdir -p "$XDG_CONFIG_HOME/halvane" "$work/Capturas"

# fail MESSAGE: ends the test, showing the application's and the camera's logs.
fail() {
    echo "shell_test: FAILED: $*" >&2
    tail -n +1 "$work"/*.log >&2
    exit 1
}
# waitfor SECONDS COMMAND...: polls COMMAND until it succeeds.
waitfor() {
    local limit=$1; shift
    local end=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}
gone() { ! kill -0 "$pid" 2>/dev/null; }
logged() { [ "$(grep -c -- "$1" "$work/app.log" || true)" -ge "${2:-1}" ]; }

# start FOLDER: Halvane with FOLDER as its stored capture folder; sets pid and win (the main
# window: Qt also maps a 1 × 1 helper window under the same title).
start() {
    printf '[General]\nhalvane.folder=%s\n' "$1" >"$XDG_CONFIG_HOME/halvane/halvane.conf"
    "$app" >"$work/app.log" 2>&1 &
    pid=$!
    win=''
    main_window() {
        for w in $(xdotool search --name '^Halvane$' 2>/dev/null); do
            eval "$(xdotool getwindowgeometry --shell "$w")"
            if [ "$WIDTH" -ge 860 ]; then win=$w; return 0; fi
        done
        return 1
    }
    waitfor 30 main_window || fail "the window never appeared"
    timeout 10 xdotool windowfocus --sync "$win" || fail "the window did not take the focus"
}
# ended: the application has exited with status 0.
ended() {
    waitfor 20 gone || fail "still running"
    wait "$pid" || fail "exit status $?"
    pid=''
}
# photo [N]: a simulated camera sends N photos (one by default) to this run's listener (the port
# it advertises; an earlier run's record may still be cached by DNS-SD).
photo() {
    local n=${1:-1}
    shift || true
    waitfor 30 logged "advertising .* on port" || fail "the service was not advertised"
    local port
    port=$(grep -o 'on port [0-9]*' "$work/app.log" | tail -n 1 | cut -d' ' -f3)
    timeout 60 "$bridge" --name Estudio --host 127.0.0.1 --port "$port" --photos "$n" --interval-ms 100 \
        --live-fps 0 --exit-after-photos "$n" "$@" \
        >"$work/bridge.log" 2>&1 || fail "the bridge failed: $(cat "$work/bridge.log")"
}

echo "== the keys and the wheel; then the quit key ends the application once every photo is stored"
start "$work/Capturas"
photo 3
stored() { [ "$(find "$work/Capturas" -maxdepth 1 -type f -iname '*.jpg' | wc -l)" -ge 3 ]; }
waitfor 30 stored || fail "the photos were not stored"
# after LINE COMMAND...: runs COMMAND and waits for one more debug line LINE.
after() {
    local line=$1 before
    shift
    before=$(grep -c -- "$line" "$work/app.log" || true)
    "$@"
    waitfor 10 logged "$line" $((before + 1)) || fail "$* did not give: $line"
}
# The strip shows the newest photo first: End is the oldest, Right stops there.
after "key End: photo 3 of 3 in the strip" xdotool key End
after "key Right: photo 3 of 3 in the strip" xdotool key Right
after "key Left: photo 2 of 3 in the strip" xdotool key Left
after "key Home: photo 1 of 3 in the strip" xdotool key Home
after "viewer double click: zoom 2.5, offset 0,0" xdotool key space
after "viewer double click: zoom 1, offset 0,0" xdotool key space
after "window full screen: on" xdotool key f
after "window full screen: off" xdotool key Escape
# One notch up at two points of the viewer 200 × 100 apart: each zooms by 2^(1/3) about its
# point, so the pans differ by (200, 100) × (1 - 2^(1/3)). Turned back, the view is fitted.
eval "$(xdotool getwindowgeometry --shell "$win")"
wheelpan() {
    after "viewer wheel: zoom 1.25992," xdotool mousemove $((X + $1)) $((Y + $2)) click 4
    grep "viewer wheel: zoom 1.25992," "$work/app.log" | tail -n 1 | sed 's/.*offset //'
    after "viewer wheel: zoom 1, offset 0,0" xdotool click 5
}
first=$(wheelpan 300 250)
second=$(wheelpan 500 350)
awk -v a="$first" -v b="$second" 'BEGIN {
    split(a, p, ","); split(b, q, ","); k = 1 - 2 ^ (1 / 3)
    exit !(p[1] > 0 && p[2] > 0 && (q[1] - p[1] - 200 * k) ^ 2 + (q[2] - p[2] - 100 * k) ^ 2 < 0.01) }' ||
    fail "the wheel did not zoom toward the pointer: pans $first and $second"
xdotool key ctrl+q
ended

echo "== closing the window ends the application"
start "$work/Capturas"
"$xclose" "$win"
ended

echo "== a photo waiting in the pending folder needs no question, and the next start stores it"
: >"$work/not-a-folder" # restored (it exists) but nothing can be written into it
start "$work/not-a-folder"
photo
waitfor 30 logged "it waits in the pending folder" || fail "the photo did not go to the pending folder"
pending=$XDG_DATA_HOME/halvane/pending
pendingfile() { [ -n "$(find "$pending" -name '*.pending')" ]; }
waitfor 30 pendingfile || fail "no pending file"
xdotool key ctrl+q
ended
start "$work/Capturas"
count() { [ "$(find "$work/Capturas" -maxdepth 1 -type f -iname '*.jpg' | wc -l)" -ge 2 ]; }
waitfor 30 count || fail "the pending photo was not stored at the next start"
waitfor 30 logged "of an earlier run stored in" || fail "the recovery was not told"
waitfor 30 eval '! pendingfile' || fail "the pending file is still there"
xdotool key ctrl+q
ended

echo "== with a photo only in memory, quitting asks first"
rm -rf "$pending" && : >"$pending" # the pending folder cannot be made either
start "$work/not-a-folder"
photo
waitfor 30 logged "kept in memory until it can be written" || fail "the photo was not kept in memory"
xdotool key ctrl+q
waitfor 20 logged "asking before quitting" || fail "the quit key did not ask"
kill -0 "$pid" || fail "the quit key ended the application"
xdotool key Escape
"$xclose" "$win"
waitfor 20 logged "asking before quitting" 2 || fail "closing the window did not ask"
kill -0 "$pid" || fail "closing the window ended the application"
# "Salir sin guardar": the middle answer of the question centred in the 1180 × 620 window.
eval "$(xdotool getwindowgeometry --shell "$win")"
xdotool mousemove $((X + 604)) $((Y + 346)) click 1
ended

echo "== SIGTERM and SIGINT put the photos only in memory into the pending folder before the end"
rm -f "$pending" && mkdir "$pending"
for sig in TERM INT; do
    mount -t tmpfs -o size=4k halvane-pending "$pending" # full: the photo waits in memory
    start "$work/not-a-folder"
    photo
    waitfor 30 logged "it waits in memory" || fail "the photo was not kept in memory"
    kill -STOP "$pid" && mount -o remount,size=64m "$pending" && kill -"$sig" "$pid" && kill -CONT "$pid"
    ended
    [ "$(find "$pending" -name '*.pending' | wc -l)" -eq 1 ] || fail "SIG$sig: the photo in memory was lost"
    umount "$pending"
done

echo "== an exFAT disk (through FUSE) takes names its file system refuses, made portable"
if [ -c /dev/fuse ] && truncate -s 32M "$work/exfat.img" && mkfs.exfat "$work/exfat.img" >/dev/null &&
    loop=$(losetup -f --show "$work/exfat.img"); then
    mkdir "$work/Disco" "$work/names"
    mount.exfat-fuse "$loop" "$work/Disco" >/dev/null && losetup -d "$loop" # freed once unmounted
    for name in '12:30:01.jpg' 'toma?1.jpg' 'DSCF0001.JPG'; do head -c 5000 /dev/urandom >"$work/names/$name"; done
    start "$work/Disco"
    photo 5 --folder "$work/names"
    listing() { [ "$(cd "$work/Disco" && LC_ALL=C ls | tr '\n' ' ')" = "12_30_01-1.jpg 12_30_01.jpg DSCF0001-1.JPG DSCF0001.JPG toma_1.jpg " ]; }
    waitfor 30 listing || fail "exFAT holds: $(ls -A "$work/Disco")"
    xdotool key ctrl+q
    ended
    umount "$work/Disco"
else
    echo "shell_test: no FUSE or loop device here: exFAT not tried (the injected errno seam covers refused names)"
fi
echo "shell_test: passed"
