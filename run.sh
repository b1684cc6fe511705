#!/usr/bin/env bash
# Builds everything, starts the local server on 127.0.0.1:9002 in the background, runs the
# client in the foreground, and stops the server when the client ends.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build.sh build >&2
server=build/server/kq7com-server
pid=""
if [ -x "$server" ]; then
  mkdir -p demo-files
  "$server" --files demo-files 2>>build/kq7com-server.log &
  pid=$!
  trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true' EXIT
  echo "Local server started on 127.0.0.1:9002 (log: build/kq7com-server.log)" >&2
fi
build/kq7com
