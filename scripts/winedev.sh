# Emulated devices behind the stand-in qel driver under wine, for the checks
# of the deployed Windows programs. Sourced; the caller sets devsim and relay
# (programs of this machine), wine, dir (the folder of the run, which holds
# qeldevctl.exe) and wine_pids (the name of the array that collects what it
# must stop at the end).

# An emulated device and the relay in front of it; its port in ${name}_port,
# its request log in $dir/$name.requests.log.
start_device() {   # name, qel-devsim options...
    local name=$1 channel port
    local -n started=$wine_pids
    shift
    "$devsim" --instance "$name" --log "$dir/$name.requests.log" "$@" >"$dir/$name.out" 2>&1 &
    started+=($!)
    qel_wait_text "$dir/$name.out" "ready:" 10 || fail "$name did not start"
    channel=$(sed -n 's/^ready: //p' "$dir/$name.out")
    "$relay" "$channel" >"$dir/$name-relay.out" 2>&1 &
    started+=($!)
    qel_wait_text "$dir/$name-relay.out" "ready:" 10 || fail "the relay of $name did not start"
    port=$(sed -n 's/^ready: 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$dir/$name-relay.out")
    [ -n "$port" ] || fail "the relay of $name names no port"
    printf -v "${name}_port" %s "$port"
}

devctl() {   # qeldevctl arguments...
    (cd "$dir" && "$wine" qeldevctl.exe "$@") >>"$dir/devctl.out" 2>&1
}

plug() {   # number, device name
    local port_var=${2}_port
    devctl add "$1" "${!port_var}" || fail "device $1 ($2) could not be added"
}
