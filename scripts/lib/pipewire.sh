# shellcheck shell=bash
# A private, headless PipeWire stack for the audio tests and benchmarks: its
# own session bus, pipewire, wireplumber and pipewire-pulse. Source this file,
# then:
#   pipewire_start DIR  start the stack with every socket, log and state file
#                       in DIR (created mode 0700); exports the XDG_*,
#                       PIPEWIRE_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS and
#                       PULSE_* variables that reach it; returns non-zero when
#                       it does not answer within 10 s (then it is stopped)
#   pipewire_stop DIR   stop it by the pids in DIR/pids (never by name), in
#                       reverse order of starting
# The stand-in speaker is the null sink "test_speaker", made the default sink
# (and its monitor the default source), as on the private PulseAudio. It never touches a desktop session's server.

pipewire_env() { # DIR: the variables every client of the stack in DIR needs
    local dir=$1
    export XDG_RUNTIME_DIR="$dir/run"
    export XDG_CONFIG_HOME="$dir/config"
    export XDG_STATE_HOME="$dir/state"
    export PIPEWIRE_RUNTIME_DIR="$dir/run"
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
    export PULSE_SERVER="unix:$dir/run/pulse/native"
    export PULSE_RUNTIME_PATH="$dir/run/pulse"
    export PULSE_STATE_PATH="$dir/pstate"
}

# Starts one daemon in the background, its pid appended to DIR/pids.
pipewire_spawn() { # DIR name command...
    local dir=$1 name=$2
    shift 2
    "$@" >"$dir/$name.log" 2>&1 </dev/null &
    echo "$!" >>"$dir/pids"
}

pipewire_wait_for() { # path tenths
    local i
    for ((i = 0; i < $2; i++)); do
        [ -S "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

pipewire_start() {
    local dir=${1:-}
    if [ -z "$dir" ]; then
        echo "pipewire_start: no directory given" >&2
        return 2
    fi
    mkdir -p "$dir" || return 1
    dir=$(cd "$dir" && pwd) || return 1
    mkdir -p "$dir/run" "$dir/config" "$dir/state" "$dir/pstate" || return 1
    chmod 0700 "$dir" "$dir/run" "$dir/config" "$dir/state" "$dir/pstate" || return 1
    pipewire_stop "$dir" # whatever an earlier start left
    pipewire_env "$dir"

    pipewire_spawn "$dir" dbus dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" \
        --nofork --nopidfile
    pipewire_wait_for "$dir/bus" 50 || {
        echo "pipewire_start: the session bus did not start (see $dir/dbus.log)" >&2
        pipewire_stop "$dir"
        return 1
    }
    pipewire_spawn "$dir" pipewire pipewire
    pipewire_wait_for "$dir/run/pipewire-0" 50 || {
        echo "pipewire_start: pipewire did not start (see $dir/pipewire.log)" >&2
        pipewire_stop "$dir"
        return 1
    }
    pipewire_spawn "$dir" wireplumber wireplumber
    pipewire_spawn "$dir" pipewire-pulse pipewire-pulse

    local i
    for i in $(seq 1 100); do
        if pactl info >/dev/null 2>&1; then
            pactl load-module module-null-sink sink_name=test_speaker rate=48000 channels=2 \
                >/dev/null || break
            # The session manager may take a moment to see the new sink.
            for i in $(seq 1 50); do
                pactl set-default-sink test_speaker 2>/dev/null &&
                    pactl set-default-source test_speaker.monitor 2>/dev/null &&
                    [ "$(pactl get-default-sink 2>/dev/null)" = test_speaker ] && return 0
                sleep 0.1
            done
            break
        fi
        sleep 0.1
    done
    echo "pipewire_start: the stack did not answer within 10 s (see $dir/*.log)" >&2
    pipewire_stop "$dir"
    return 1
}

# Whether a process still runs: an orphan that ended may stay a zombie until
# whoever adopted it reaps it.
pipewire_running() {
    local state
    kill -0 "$1" 2>/dev/null || return 1
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ "$state" != Z ]
}

pipewire_stop() {
    local dir=${1:-} pid i
    [ -n "$dir" ] && [ -f "$dir/pids" ] || return 0
    local pids
    mapfile -t pids < <(tac "$dir/pids")
    for pid in "${pids[@]}"; do
        case $pid in
        '' | *[!0-9]*) continue ;;
        esac
        kill -TERM "$pid" 2>/dev/null || continue
        for i in $(seq 1 50); do
            pipewire_running "$pid" || break
            sleep 0.1
        done
        if pipewire_running "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
    done
    rm -f "$dir/pids" "$dir/bus" "$dir/run/pipewire-0" "$dir/run/pipewire-0.lock" \
        "$dir/run/pipewire-0-manager" "$dir/run/pipewire-0-manager.lock"
    return 0
}
