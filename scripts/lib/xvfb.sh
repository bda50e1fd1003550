# Sourced by the scripts that need an X display of their own.
# start_xvfb WIDTHxHEIGHT: starts Xvfb on a free display, sets DISPLAY and XVFB_PID, paints the
# desktop one plain colour. The caller stops it: kill "$XVFB_PID".
# save_screen OUTPUT.png: saves what the screen shows.
start_xvfb() {
    local size=$1 numberfile
    numberfile=$(mktemp)
    XVFB_FRAMEBUFFER=$(mktemp -d)
    # -noreset: the desktop keeps its colour when a short-lived client such as xsetroot leaves.
    # -fbdir: the screen's memory as a file, which shows shaped windows as they are seen; reading
    # the root window back through the X protocol shows their whole rectangle instead.
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset -fbdir "$XVFB_FRAMEBUFFER" \
        3>"$numberfile" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -s "$numberfile" ] && break
        sleep 0.1
    done
    DISPLAY=":$(tr -d '[:space:]' <"$numberfile")"
    rm -f "$numberfile"
    export DISPLAY XVFB_PID XVFB_FRAMEBUFFER
    for _ in $(seq 50); do
        xdpyinfo >/dev/null 2>&1 && break
        sleep 0.1
    done
    xsetroot -solid '#3A6EA5'
}

save_screen() {
    convert "xwd:$XVFB_FRAMEBUFFER/Xvfb_screen0" "$1"
}
