# pip_in VENV ARGUMENTS...: pip in a virtual environment, its output kept
# aside and shown in full when it fails (sourced by the set-up scripts).
pip_in() {
    local venv="$1" log
    shift
    log="$(mktemp)"
    if ! "$venv/bin/python" -m pip "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "pip $* failed in $venv" >&2
        return 1
    fi
    rm -f "$log"
}
