# Sourced by the shell tests: runs a command in a terminal of its own (script), so that it shows
# its progress line, and sends it Ctrl-C's SIGINT once its output shows PATTERN, never after a
# fixed wait (a loaded machine only makes it slower). Sets `status` to the command's exit status,
# or -1 when PATTERN did not show within 60 s (the command is then killed).
#   interrupt_on_progress PATTERN TTY_OUTPUT COMMAND_LINE
interrupt_on_progress() {
    local pattern="$1" tty="$2" command="$3" pid_file script_pid
    pid_file="$(mktemp)"
    script -qefc "echo \$\$ >'$pid_file'; exec $command" /dev/null >"$tty" </dev/null &
    script_pid=$!
    for _ in $(seq 600); do grep -q "$pattern" "$tty" && break; sleep 0.1; done
    if grep -q "$pattern" "$tty"; then
        kill -INT "$(cat "$pid_file")"
        wait "$script_pid"
        status=$?
    else
        kill "$script_pid"
        wait "$script_pid"
        status=-1
    fi
    rm -f "$pid_file"
}
