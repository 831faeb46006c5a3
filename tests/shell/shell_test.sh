#!/usr/bin/env bash
# shell_test APP BRIDGE XCLOSE: the real application window on an X display, driven as a person
# would. Runs inside scripts/netns-run (loopback only, its own avahi-daemon) under xvfb-run.
#   - a photo arrives and is stored; the quit key (Ctrl+Q, a real X key event) ends the
#     application at once, with status 0;
#   - closing the window (the window manager's close message) ends it too;
#   - with a photo that could not be stored, both ask first instead of quitting; "Salir sin
#     guardar" then ends it.
set -euo pipefail
app=$1 bridge=$2 xclose=$3
work=$(mktemp -d)
pid=''
trap '[ -z "$pid" ] || kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
export HOME=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share
export QT_QPA_PLATFORM=xcb LIBGL_ALWAYS_SOFTWARE=1
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
# photo: a simulated camera sends one photo to this run's listener (the port it advertises; an
# earlier run's record may still be cached by DNS-SD).
photo() {
    waitfor 30 logged "advertising .* on port" || fail "the service was not advertised"
    local port
    port=$(grep -o 'on port [0-9]*' "$work/app.log" | tail -n 1 | cut -d' ' -f3)
    timeout 60 "$bridge" --name Estudio --host 127.0.0.1 --port "$port" --photos 1 --interval-ms 100 \
        --live-fps 0 --exit-after-photos 1 \
        >"$work/bridge.log" 2>&1 || fail "the bridge failed: $(cat "$work/bridge.log")"
}

echo "== the quit key ends the application once every photo is stored"
start "$work/Capturas"
photo
stored() { [ "$(find "$work/Capturas" -maxdepth 1 -type f -name '*.jpg' -o -maxdepth 1 -type f -name '*.JPG' | wc -l)" -ge 1 ]; }
waitfor 30 stored || fail "the photo was not stored"
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
echo "shell_test: passed"
