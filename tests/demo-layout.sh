#!/usr/bin/env bash
# Starts relaypanel-demo on its own 1024x768 X server, under openbox or with no window manager,
# and checks from outside, as the X server has the windows, that its three windows (with their
# frames) lie wholly on the screen and none covers another. Saves a picture of the screen.
#   demo-layout.sh RELAYPANEL_DEMO SCREEN_PNG openbox|none PICTURE.png
# Exits 77 (skipped) when a tool it needs is missing.
# shellcheck disable=SC2317  # its functions run through trap and wait_for
set -euo pipefail
demo=$1
screen_png=$2
manager=$3
picture=$4
screen_width=1024
screen_height=768

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

# Its own X server, whatever display the caller has.
if [ -z "${DEMO_LAYOUT_SERVER:-}" ]; then
    for tool in xvfb-run xdotool xwininfo xprop; do
        command -v "$tool" >/dev/null || skip "needs $tool"
    done
    [ "$manager" = none ] || command -v "$manager" >/dev/null || skip "needs $manager"
    DEMO_LAYOUT_SERVER=1 exec xvfb-run -a -s "-screen 0 ${screen_width}x${screen_height}x24" \
        bash "$0" "$@"
fi
# A real X window, whatever platform the test suite asks of Qt for itself.
unset QT_QPA_PLATFORM

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

# Tries a check every tenth of a second, for 30 seconds at most.
wait_for() {
    local deadline=$((SECONDS + 30))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

if [ "$manager" != none ]; then
    "$manager" >/dev/null 2>&1 &
    pids+=($!)
    wait_for eval 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' \
        || fail "$manager did not start managing the screen"
fi

"$demo" &
demo_pid=$!
pids+=("$demo_pid")

windows=()
three_mapped() {
    kill -0 "$demo_pid" 2>/dev/null || fail "relaypanel-demo ended"
    mapfile -t windows < <(xdotool search --onlyvisible --pid "$demo_pid" 2>/dev/null || true)
    # In hexadecimal, as xwininfo names windows.
    for i in "${!windows[@]}"; do
        windows[i]=$(printf '0x%x' "${windows[i]}")
    done
    [ "${#windows[@]}" -eq 3 ]
}
wait_for three_mapped || fail "relaypanel-demo did not show three windows (${#windows[@]})"

# The outermost window of each: its window manager's frame, or the window itself.
outer() {
    local window=$1 parent root
    while :; do
        read -r parent root < <(xwininfo -id "$window" -tree \
            | awk '/Parent window id:/ { p = $4 } /Root window id:/ { r = $4 } END { print p, r }')
        [ "$parent" != "$root" ] || break
        window=$parent
    done
    echo "$window"
}
# x y width height of a window, with its border.
rectangle() {
    xwininfo -id "$1" | awk '
        /Absolute upper-left X:/ { x = $4 } /Absolute upper-left Y:/ { y = $4 }
        /Width:/ { w = $2 } /Height:/ { h = $2 } /Border width:/ { b = $3 }
        END { print x - b, y - b, w + 2 * b, h + 2 * b }'
}
layout() {
    local window
    for window in "${windows[@]}"; do
        echo "$(rectangle "$(outer "$window")") $(outer "$window") $(xdotool getwindowname "$window")"
    done
}
# The window manager frames and places the windows after they are mapped, and the demo places
# them again by their frames: the layout is taken once it holds still for a second.
previous=
settled() {
    local current
    current=$(layout)
    if [ "$current" = "$previous" ]; then
        return 0
    fi
    previous=$current
    sleep 1
    return 1
}
wait_for settled || fail "the windows never held still"
echo "the demo's windows on the ${screen_width}x${screen_height} screen (x y width height, frame, title):"
echo "$previous"

# A picture for people to look at, whatever the checks find.
"$screen_png" "$picture" || fail "could not save a picture of the screen"
echo "picture of the screen: $picture"

mapfile -t rows <<<"$previous"
titles=$(printf '%s\n' "${rows[@]}" | cut -d' ' -f6- | sort | tr '\n' '|')
[ "$titles" = "8 Channel relay board|Virtual relay card 1|Virtual relay card 2|" ] \
    || fail "not the panel and its two cards: $titles"

status=0
for ((i = 0; i < 3; i++)); do
    read -r x y w h frame _ <<<"${rows[i]}"
    if [ "$manager" != none ] && [ "$frame" = "${windows[i]}" ]; then
        echo "FAIL: $manager did not frame window ${windows[i]}"
        status=1
    fi
    if ((x < 0 || y < 0 || x + w > screen_width || y + h > screen_height)); then
        echo "FAIL: not wholly on the screen: ${rows[i]}"
        status=1
    fi
    for ((j = i + 1; j < 3; j++)); do
        read -r x2 y2 w2 h2 _ <<<"${rows[j]}"
        if ((x < x2 + w2 && x2 < x + w && y < y2 + h2 && y2 < y + h)); then
            echo "FAIL: overlap: ${rows[i]} / ${rows[j]}"
            status=1
        fi
    done
done
[ "$status" -eq 0 ] && echo "PASS: three windows side by side, none covering another, all on the screen"
exit "$status"
