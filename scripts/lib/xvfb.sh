# Sourced by the scripts that need an X display of their own.
# start_xvfb WIDTHxHEIGHT: starts Xvfb on a free display, sets DISPLAY and XVFB_PID, paints the
# desktop one plain colour. The caller stops it: kill "$XVFB_PID".
start_xvfb() {
    local size=$1 numberfile
    numberfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$numberfile" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -s "$numberfile" ] && break
        sleep 0.1
    done
    DISPLAY=":$(tr -d '[:space:]' <"$numberfile")"
    rm -f "$numberfile"
    export DISPLAY XVFB_PID
    for _ in $(seq 50); do
        xdpyinfo >/dev/null 2>&1 && break
        sleep 0.1
    done
    xsetroot -solid '#3A6EA5'
}
