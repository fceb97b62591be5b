#!/bin/sh
# Runs the README's lines that build examples/host.c against an installed tree and run it
# against the installed orv-sim: the block that starts with
# "# Build examples/host.c against the SDK installed in /opt/orv-sdk". The lines run as
# written, with /opt/orv-sdk replaced by PREFIX and port 5001 by a free port, in WORK_DIR
# (which gets a copy of examples/). The host must start, connect and fetch a picture.
#
#   readme_host.sh README PREFIX SOURCE_DIR WORK_DIR
set -eu
readme=$1 prefix=$2 source=$3 work=$4
marker='# Build examples/host.c against the SDK installed in /opt/orv-sdk'

block=$(awk -v marker="$marker" '$0 == marker { on = 1 } on && /^```/ { exit } on' "$readme")
if [ -z "$block" ]; then
    echo "README.md has no block starting with: $marker" >&2
    exit 1
fi
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

mkdir -p "$work/examples"
cp "$source/examples/host.c" "$work/examples/"
printf '%s\n' "$block" | sed -e "s|/opt/orv-sdk|$prefix|g" -e "s|5001|$port|g" >"$work/readme-host.sh"
for expected in "$prefix/bin/orv-sim --port $port" "./orv-host 127.0.0.1 $port"; do
    grep -qF -- "$expected" "$work/readme-host.sh" || {
        echo "the README's block no longer has '$expected' after substitution:" >&2
        cat "$work/readme-host.sh" >&2
        exit 1
    }
done

# Nothing from the environment may help the host find the library.
unset LD_LIBRARY_PATH PKG_CONFIG_PATH
cd "$work"
# Without -e, as a person types them: the last line stops the simulator whatever happened.
sh readme-host.sh >host.out 2>&1 || true
cat host.out
grep -q "^127.0.0.1:$port is connected$" host.out && grep -q '^camera 1: [0-9]*x[0-9]* JPEG' host.out || {
    echo "the host built by the README's commands did not connect and fetch a picture:" >&2
    cat readme-host.sh >&2
    exit 1
}
