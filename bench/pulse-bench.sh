#!/usr/bin/env bash
# Figures for the virtual microphone, measured against a private headless
# PulseAudio server on loopback (never the machine's own server):
#
#   bench/pulse-bench.sh compare        (default) end-to-end latency of Voxlet
#                                       (30 s of clicks), the latency the source
#                                       adds alone (30 s), and Voxlet side by side
#                                       with a GStreamer RTP/Opus receiver: CPU
#                                       seconds per minute of the same tone (60 s
#                                       with Voxlet's speaker off, 60 s with it on),
#                                       Voxlet's CPU idle between sessions (60 s),
#                                       and the latency of 30 s of clicks, as ratios
#   bench/pulse-bench.sh soak [MINUTES] glitches and latency at start and end of
#                                       a long session (30 minutes by default)
#   bench/pulse-bench.sh loaded         end-to-end latency of Voxlet (60 s of
#                                       clicks) with the machine quiet, then
#                                       with a busy loop on every core
#
# BUILD names the build directory (default build-bench). SERVER=pipewire runs
# a private PipeWire stack (scripts/lib/pipewire.sh) instead of PulseAudio.
# GStreamer is installed with apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=${1:-compare}
minutes=${2:-30}
build=${BUILD:-build-bench}
server=${SERVER:-pulse}

need() { # command package...
    local cmd=$1
    shift
    command -v "$cmd" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "pulse-bench: $cmd is missing; install: $*" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
need pulseaudio pulseaudio
if [ "${SERVER:-pulse}" = pipewire ]; then
    need pipewire pipewire pipewire-bin
    need wireplumber wireplumber
    need pipewire-pulse pipewire-pulse
    need dbus-daemon dbus
fi
need pactl pulseaudio-utils
need cmake cmake
need ninja ninja-build
if [ "$mode" = compare ]; then
    need gst-launch-1.0 gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    if ! gst-inspect-1.0 pulsesink >/dev/null 2>&1; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            gstreamer1.0-pulseaudio >/dev/null
    fi
fi

cmake -S "$root" -B "$build" -G Ninja -DVOXLET_GUI=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" voxlet-cli voxlet-phone pulse_latency rtp_opus_sender >/dev/null
build=$(cd "$build" && pwd)
cli=$build/cli/voxlet-cli
phone=$build/tools/phone/voxlet-phone
latency=$build/bench/pulse_latency
sender=$build/bench/rtp_opus_sender

scratch=$(mktemp -d /tmp/voxlet-bench.XXXXXX)
chmod 700 "$scratch"
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    pulse_stop "$scratch/pulse" || true
    if [ "$server" = pipewire ]; then pipewire_stop "$scratch/pipewire" || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT
# shellcheck source=../scripts/lib/pulse.sh
. scripts/lib/pulse.sh
if [ "$server" = pipewire ]; then
    # shellcheck source=../scripts/lib/pipewire.sh
    . scripts/lib/pipewire.sh
    pipewire_start "$scratch/pipewire"
    pactl info | sed -n 's/^Server Name: /server: /p'
else
    pulse_start "$scratch/pulse"
fi

random_port() { echo $((20000 + RANDOM % 40000)); }

# Starts voxlet-phone with the given options; sets phone_pid and phone_port.
start_phone() {
    "$phone" --port 0 "$@" >"$scratch/phone.out" 2>&1 &
    phone_pid=$!
    pids+=("$phone_pid")
    local i
    for i in $(seq 50); do
        phone_port=$(sed -n 's/.*listening on .*:\([0-9]*\).*/\1/p' "$scratch/phone.out")
        [ -n "$phone_port" ] && return 0
        sleep 0.1
    done
    echo "pulse-bench: voxlet-phone did not start" >&2
    exit 1
}

# Starts voxlet-cli against the phone; sets cli_pid once voxlet_mic exists.
start_cli() {
    (cd "$scratch" && exec "$cli" --address 127.0.0.1 --control-port "$phone_port" \
        --media-port "$(random_port)" --no-speaker) >"$scratch/cli.out" 2>&1 &
    cli_pid=$!
    pids+=("$cli_pid")
    wait_source voxlet_mic
}

wait_source() {
    local i
    for i in $(seq 100); do
        pactl list short sources | cut -f2 | grep -qx "$1" && return 0
        sleep 0.1
    done
    echo "pulse-bench: source $1 never appeared" >&2
    exit 1
}

stop_pid() {
    kill -INT "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# The comparison receiver feeds its own null sink + remap source, made the
# same way as Voxlet's.
start_gst() {
    pactl load-module module-null-sink sink_name=gst_feed format=s16le rate=48000 channels=1 \
        channel_map=mono norewinds=1 >/dev/null
    pactl load-module module-remap-source source_name=gst_mic master=gst_feed.monitor \
        channels=1 channel_map=mono >/dev/null
    gst_port=$(random_port)
    gst-launch-1.0 -q udpsrc port="$gst_port" \
        caps="application/x-rtp,media=audio,clock-rate=48000,encoding-name=OPUS,payload=96" \
        ! rtpjitterbuffer latency=60 ! rtpopusdepay ! opusdec ! pulsesink device=gst_feed \
        >"$scratch/gst.out" 2>&1 &
    gst_pid=$!
    pids+=("$gst_pid")
    sleep 1
}

case $mode in
compare)
    echo "== Voxlet end to end: voxlet-phone clicks every 500 ms -> voxlet_mic, 30 s"
    start_phone --click-every 500 --click-log "$scratch/clicks.log"
    start_cli
    "$latency" record voxlet_mic 30 "$scratch/clicks.log" | tee "$scratch/voxlet-latency.txt"
    stop_pid "$cli_pid"
    stop_pid "$phone_pid"

    echo "== the source alone: clicks written into the driver -> voxlet_mic, 30 s"
    "$latency" source 30

    echo "== side by side, the same 1 kHz tone: CPU of each receiver, 60 s each"
    start_phone --tone 1000
    start_cli
    start_gst
    "$sender" "$gst_port" 130 --tone 1000 &
    tone_pid=$!
    pids+=("$tone_pid")
    sleep 2
    tck=$(getconf CLK_TCK)
    cpu_per_min() { # ticks-before ticks-after
        awk -v a="$1" -v b="$2" -v t="$tck" 'BEGIN {printf "%.2f", (b - a) / t}'
    }
    side_by_side() { # label: a minute of both receivers' CPU; sets vcpu and gcpu
        local v0 g0 v1 g1
        v0=$(cpu_ticks "$cli_pid")
        g0=$(cpu_ticks "$gst_pid")
        sleep 60
        v1=$(cpu_ticks "$cli_pid")
        g1=$(cpu_ticks "$gst_pid")
        stop_pid "$cli_pid"
        vcpu=$(cpu_per_min "$v0" "$v1")
        gcpu=$(cpu_per_min "$g0" "$g1")
        echo "$1: CPU s per minute of audio: voxlet-cli $vcpu, GStreamer $gcpu"
    }
    side_by_side "speaker off"
    vcpu_off=$vcpu gcpu_off=$gcpu

    (cd "$scratch" && exec "$cli" --address 127.0.0.1 --control-port "$phone_port" \
        --media-port "$(random_port)" --speaker) >"$scratch/cli-speaker.out" 2>&1 &
    cli_pid=$!
    pids+=("$cli_pid")
    sleep 3
    side_by_side "speaker on"
    vcpu_on=$vcpu gcpu_on=$gcpu
    stop_pid "$phone_pid"
    wait "$tone_pid" || true

    # No phone answers: the client waits between attempts with no session.
    (cd "$scratch" && exec "$cli" --address 127.0.0.1 --control-port "$(random_port)" \
        --media-port "$(random_port)" --reconnect) >"$scratch/cli-idle.out" 2>&1 &
    cli_pid=$!
    pids+=("$cli_pid")
    wait_source voxlet_mic
    sleep 2
    v0=$(cpu_ticks "$cli_pid")
    sleep 60
    v1=$(cpu_ticks "$cli_pid")
    stop_pid "$cli_pid"
    echo "idle between sessions: CPU s per minute: voxlet-cli $(cpu_per_min "$v0" "$v1")"

    echo "== GStreamer end to end: RTP/Opus clicks every 500 ms -> gst_mic, 30 s"
    "$sender" "$gst_port" 36 --click-every 500 --click-log "$scratch/gst-clicks.log" &
    pids+=("$!")
    "$latency" record gst_mic 30 "$scratch/gst-clicks.log" | tee "$scratch/gst-latency.txt"
    stop_pid "$gst_pid"

    median() { sed -n 's/^latency ms: median \([0-9.]*\).*/\1/p' "$1"; }
    vl=$(median "$scratch/voxlet-latency.txt")
    gl=$(median "$scratch/gst-latency.txt")
    awk -v vc="$vcpu_off" -v gc="$gcpu_off" -v vl="$vl" -v gl="$gl" 'BEGIN {
        printf "ratios GStreamer / Voxlet: CPU %s, median latency %s\n",
            (vc > 0 ? sprintf("%.2f", gc / vc) : "n/a"), (vl > 0 ? sprintf("%.2f", gl / vl) : "n/a")
    }'
    awk -v vc="$vcpu_off" -v gc="$gcpu_off" -v von="$vcpu_on" -v gon="$gcpu_on" 'BEGIN {
        printf "CPU ratios Voxlet / GStreamer: speaker off %s, speaker on %s\n",
            (gc > 0 ? sprintf("%.2f", vc / gc) : "n/a"), (gon > 0 ? sprintf("%.2f", von / gon) : "n/a")
    }'
    ;;
soak)
    echo "== soak: voxlet-phone clicks every 500 ms -> voxlet_mic for $minutes min"
    start_phone --click-every 500 --click-log "$scratch/clicks.log"
    start_cli
    "$latency" record voxlet_mic $((minutes * 60)) "$scratch/clicks.log"
    stop_pid "$cli_pid"
    stop_pid "$phone_pid"
    ;;
loaded)
    start_phone --click-every 500 --click-log "$scratch/clicks.log"
    start_cli
    echo "== quiet: voxlet-phone clicks every 500 ms -> voxlet_mic, 60 s"
    "$latency" record voxlet_mic 60 "$scratch/clicks.log"
    echo "== loaded: the same with a busy loop on each of $(nproc) cores, 60 s"
    for _ in $(seq "$(nproc)"); do
        (while :; do :; done) &
        pids+=("$!")
    done
    "$latency" record voxlet_mic 60 "$scratch/clicks.log"
    stop_pid "$cli_pid"
    stop_pid "$phone_pid"
    ;;
*)
    echo "usage: [SERVER=pipewire] bench/pulse-bench.sh [compare | soak [MINUTES] | loaded]" >&2
    exit 2
    ;;
esac
