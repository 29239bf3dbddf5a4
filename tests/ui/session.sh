# The window tests' X session under a time limit, stopped with everything in
# it on every way out of the test. Sourced, not run.

# limited SECONDS CMD...: CMD under a time limit. timeout leads a process
# group of its own, which a Ctrl-C at the terminal does not reach, so it runs
# in the background and the caller waits: a trapped signal ends the wait, and
# the caller's exit trap calls stop_limited.
limited() {
    local rc
    timeout "$@" &
    limited_group=$!
    wait "$limited_group"
    rc=$?
    stop_limited
    return $rc
}

# Ends what is left of the limited group: SIGTERM, then SIGKILL.
stop_limited() {
    local until=$((SECONDS + 3))
    [ -n "${limited_group:-}" ] || return 0
    kill -TERM -- "-$limited_group" 2>/dev/null
    while [ $SECONDS -lt $until ] && group_running "$limited_group"; do
        sleep 0.1
    done
    kill -KILL -- "-$limited_group" 2>/dev/null
    wait "$limited_group" 2>/dev/null
    limited_group=
}

# group_running PGID: a member of the group has not ended (zombies have).
group_running() {
    local group=$1 stat line
    for stat in /proc/[0-9]*/stat; do
        { read -r line <"$stat"; } 2>/dev/null || continue
        set -- ${line##*") "}  # state, parent, group, ...
        [ "$3" = "$group" ] && [ "$1" != Z ] && return 0
    done
    return 1
}

# Signals end the test through its exit trap.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
