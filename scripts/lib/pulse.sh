# shellcheck shell=bash
# A private, headless PulseAudio server for the audio tests and benchmarks.
# Source this file, then:
#   pulse_start DIR   start a server whose socket, pid file, log and state all
#                     live in DIR (created mode 0700); exports PULSE_SERVER,
#                     PULSE_RUNTIME_PATH and PULSE_STATE_PATH; returns non-zero
#                     when the server does not answer within 5 s
#   pulse_stop DIR    stop that server by the pid in DIR/pid (never by name)
# The server loads no default.pa: only the native protocol on DIR/native and a
# stand-in speaker, the null sink "test_speaker", made the default sink. It
# never touches a desktop session's own server.

pulse_start() {
    local dir=${1:-}
    if [ -z "$dir" ]; then
        echo "pulse_start: no directory given" >&2
        return 2
    fi
    mkdir -p "$dir" "$dir/state" || return 1
    chmod 0700 "$dir" "$dir/state" || return 1
    dir=$(cd "$dir" && pwd) || return 1

    export PULSE_RUNTIME_PATH="$dir"
    export PULSE_STATE_PATH="$dir/state"
    export PULSE_SERVER="unix:$dir/native"

    # The server writes its pid to $PULSE_RUNTIME_PATH/pid.
    pulseaudio -n --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes \
        --realtime=no --high-priority=no --log-target="file:$dir/pulse.log" \
        -L "module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
        -L "module-null-sink sink_name=test_speaker rate=48000 channels=2 norewinds=1" \
        >/dev/null 2>&1 || {
        echo "pulse_start: pulseaudio failed to start (see $dir/pulse.log)" >&2
        return 1
    }

    local i
    for i in $(seq 1 50); do
        if pactl info >/dev/null 2>&1; then
            pactl set-default-sink test_speaker || return 1
            return 0
        fi
        sleep 0.1
    done
    echo "pulse_start: the server did not answer within 5 s (see $dir/pulse.log)" >&2
    pulse_stop "$dir"
    return 1
}

pulse_stop() {
    local dir=${1:-} pid i
    [ -n "$dir" ] && [ -f "$dir/pid" ] || return 0
    pid=$(head -n1 "$dir/pid" 2>/dev/null)
    case $pid in
    '' | *[!0-9]*) return 0 ;;
    esac
    kill -TERM "$pid" 2>/dev/null || {
        rm -f "$dir/pid"
        return 0
    }
    for i in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -f "$dir/pid"
    return 0
}
