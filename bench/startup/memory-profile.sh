#!/usr/bin/env bash
# Where the memory of the program after a login goes, next to the minimal window: the resident
# size of each mapping of the held process, summed by file (libraries) or by kind (heap, stacks,
# anonymous). Needs the Release build that scripts/bench makes. Usage: bench/startup/memory-profile.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
bench=build/release/bench
server=build/release/server/vantro-server

work=$(mktemp -d)
# shellcheck source=../../scripts/lib/xvfb.sh
source scripts/lib/xvfb.sh
start_xvfb 1280x1024
export QT_QPA_PLATFORM=xcb
pids=()
trap 'kill "${pids[@]}" "$XVFB_PID" 2>/dev/null; rm -rf "$work" "$XVFB_FRAMEBUFFER"' EXIT

"$server" --port 0 --db "$work/store.db" >"$work/server.log" &
pids+=($!)
for _ in $(seq 50); do grep -q 'listening on' "$work/server.log" && break; sleep 0.1; done
url=$(grep -o 'http://[0-9.:]*' "$work/server.log" | head -1)

# Starts a probe, waits for its report and prints its mappings' resident KiB by name.
profile() {
    local name=$1
    shift
    "$@" >"$work/$name.out" 2>/dev/null &
    local pid=$!
    pids+=("$pid")
    for _ in $(seq 100); do [ -s "$work/$name.out" ] && break; sleep 0.1; done
    echo "$name: $(head -1 "$work/$name.out"), peak $(grep VmHWM /proc/"$pid"/status | tr -s ' ' | cut -d' ' -f2) KiB"
    awk '/^[0-9a-f]+-[0-9a-f]+ / { name = ($6 == "" ? "[anonymous]" : $6); sub(".*/", "", name) }
         /^Rss:/ { rss[name] += $2 }
         END { for (n in rss) if (rss[n] > 0) printf "%8d KiB  %s\n", rss[n], n }' /proc/"$pid"/smaps |
        sort -rn >"$work/$name.rss"
    kill "$pid"
}

profile program "$bench/vantro-startup-probe" "$url" login hold
profile minimal "$bench/minimal-window-probe" hold
echo
echo "Resident KiB by mapping, program after a login | minimal window:"
join -1 2 -2 2 -a 1 -a 2 -e 0 -o 0,1.1,2.1 <(awk '{print $1, $3}' "$work/program.rss" | sort -k2) \
    <(awk '{print $1, $3}' "$work/minimal.rss" | sort -k2) |
    sort -k2 -rn | awk '{ printf "%8d %8d  %s\n", $2, $3, $1; ours += $2; theirs += $3
                          if ($3 == 0) { only += $2 } }
                        END { printf "%8d %8d  total, of which %d KiB in mappings the minimal window has not\n",
                              ours, theirs, only }'
