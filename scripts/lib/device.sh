# shellcheck shell=bash
# Starting and stopping the stand-in unit (tarvik-device) from a script. Source this file,
# set DEVICE_PROGRAM to the built tarvik-device and DEVICE_DIR to a folder of the script's
# own, then:
#
#   device_start NAME [tarvik-device options...]
#       starts a unit on 127.0.0.1 on free ports and waits up to 10 s until it listens; the
#       variable NAME gets its (first) port. All its ports are in $DEVICE_DIR/NAME.ports, one
#       a line; what it prints goes to $DEVICE_DIR/NAME.out. Fails (status 1, with the unit's
#       output on standard error) when the unit does not start.
#   device_stop NAME    stops that unit (SIGTERM) and waits for it to end
#   device_stop_all     stops every unit still running: call it from the script's EXIT trap
#
# Needs bash 4 (an associative array keeps the units' process ids).

declare -A device_pids=()

device_start() {
    # Local names start with "_device_" so that NAME can be any other variable.
    local _device_name=$1 _device_try
    shift
    local _device_ports=$DEVICE_DIR/$_device_name.ports
    rm -f "$_device_ports"
    "$DEVICE_PROGRAM" --bind 127.0.0.1 --port 0 --port-file "$_device_ports" "$@" \
        >"$DEVICE_DIR/$_device_name.out" 2>&1 &
    device_pids[$_device_name]=$!
    # The unit writes the port file whole, under another name first, once it listens.
    for _device_try in $(seq 100); do
        [ -s "$_device_ports" ] && break
        kill -0 "${device_pids[$_device_name]}" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$_device_ports" ]; then
        echo "the stand-in unit $_device_name did not start:" >&2
        cat "$DEVICE_DIR/$_device_name.out" >&2
        return 1
    fi
    printf -v "$_device_name" '%s' "$(head -n 1 "$_device_ports")"
}

device_stop() {
    local pid=${device_pids[$1]:-}
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    unset "device_pids[$1]"
}

device_stop_all() {
    local name
    for name in "${!device_pids[@]}"; do
        kill -TERM "${device_pids[$name]}" 2>/dev/null || true
    done
    for name in "${!device_pids[@]}"; do
        wait "${device_pids[$name]}" 2>/dev/null || true
        unset "device_pids[$name]"
    done
}
