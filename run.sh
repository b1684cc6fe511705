#!/usr/bin/env bash
# Builds everything, starts the local server on 127.0.0.1:9002 in the background, runs the
# client in the foreground, and stops the server when the client ends.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")"
top=$PWD
scripts/deps.sh
scripts/build.sh build >&2
server=build/kq7com-server
pid=""
if [ -x "$server" ]; then
  mkdir -p demo-files
  [ -e demo-files/welcome.txt ] ||
    printf 'Downloaded from the local server with @download.\n' > demo-files/welcome.txt
  "$server" --files demo-files 2>>build/kq7com-server.log &
  pid=$!
  trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true' EXIT
  echo "Local server started on 127.0.0.1:9002 (log: build/kq7com-server.log)" >&2
fi
# Downloads land in the directory the client runs in: the one run.sh was started from.
cd "$here"
"$top/build/kq7com"
