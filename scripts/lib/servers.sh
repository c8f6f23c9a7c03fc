# Starting the local servers from a script: source this file, then call start_server. Every
# server started is stopped when the script ends, however it ends.

server_pids=()
server_work=$(mktemp -d)

stop_servers() {
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${server_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$server_work"
}
trap stop_servers EXIT
trap 'exit 130' INT TERM

# start_server NAME COMMAND...: starts a server given "--port 0" in COMMAND in the background
# (in this shell, so that it is stopped on the way out) and sets $url from the line it prints
# once it listens.
start_server() {
  local log="$server_work/$1.log"; shift
  "$@" >"$log" 2>&1 &
  server_pids+=("$!")
  for _ in $(seq 1 200); do
    if grep -q "listening on" "$log" 2>/dev/null; then
      url=$(sed -n 's/.*listening on \(http:\/\/[^ ]*\).*/\1/p' "$log" | head -n 1)
      return 0
    fi
    sleep 0.05
  done
  echo "error: $* did not start:" >&2
  cat "$log" >&2
  return 1
}

# start_local_services DATA [PLATFORM_ARGS...]: the local platform (with PLATFORM_ARGS) and a
# compute node serving the datasets in DATA, both on 127.0.0.1; exports VELKO_API_URL and
# VELKO_COMPUTE_URL for the velko commands that follow. The servers are those of build/bin, or
# of the folder VELKO_SERVER_BIN names (an installed tree's bin).
start_local_services() {
  local data=$1; shift
  local bin=${VELKO_SERVER_BIN:-build/bin}
  start_server platform "$bin/velko-dev-platform" --host 127.0.0.1 --port 0 "$@"
  export VELKO_API_URL=$url
  start_server node "$bin/velko-dev-node" --host 127.0.0.1 --port 0 --data "$data"
  export VELKO_COMPUTE_URL=$url
}
