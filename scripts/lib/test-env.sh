# Sourced by the scripts that run Windows programs: one private Wine prefix, a
# virtual display, a persistent wineserver, the Windows tool stand-ins and the
# servers of a release directory (the local download service, nginx), all
# under one directory and all stopped by
# `vorn_env_stop`. Must run inside a private mount namespace (see
# `vorn_enter_namespace`), because the test certificate authority is made
# trusted by bind-mounting a CA bundle over the system one for this run only.

vorn_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
vorn_python=/usr/bin/python3
system_bundle=/etc/ssl/certs/ca-certificates.crt

# Re-executes the calling script inside a private mount namespace, once.
vorn_enter_namespace() {
  if [[ -z "${VORN_PRIVATE_NAMESPACE:-}" ]]; then
    exec unshare --mount --propagation private \
      env VORN_PRIVATE_NAMESPACE=1 "$@"
  fi
}

# Linux path -> the same path as Wine sees it through drive Z:.
vorn_windows_path() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s' "${path//\//\\}"
}

vorn_pids=()
vorn_groups=()
vorn_env_dir=

# Runs a command in the background in a process group of its own, which
# `vorn_env_stop` ends with everything in it. $! is its process id.
vorn_background() {
  set -m
  "$@" &
  set +m
  vorn_groups+=($!)
}

vorn_env_stop() {
  set +e
  local pid
  for pid in "${vorn_groups[@]}"; do
    kill -- "-$pid" 2>/dev/null
  done
  for pid in "${vorn_pids[@]}"; do
    kill "$pid" 2>/dev/null
  done
  # The main prefix and each lane's, one directory down in the environment.
  local prefix prefixes=("${WINEPREFIX:-}")
  [[ -z "$vorn_env_dir" ]] || prefixes+=("$vorn_env_dir"/*/prefix)
  for prefix in "${prefixes[@]}"; do
    if [[ -d "$prefix" ]]; then
      WINEPREFIX=$prefix wineserver -k 2>/dev/null
      WINEPREFIX=$prefix wineserver -w 2>/dev/null
    fi
  done
  for pid in "${vorn_groups[@]}" "${vorn_pids[@]}"; do
    wait "$pid" 2>/dev/null
  done
  vorn_groups=() vorn_pids=()
  if mountpoint -q "$system_bundle" 2>/dev/null || grep -q " $system_bundle " /proc/self/mounts; then
    umount "$system_bundle" 2>/dev/null
  fi
  if [[ -n "$vorn_env_dir" && -z "${VORN_KEEP_ENV:-}" ]]; then
    rm -rf "$vorn_env_dir"
  fi
}

# A virtual display. Xvfb picks a free number itself and writes it to
# `number_file` once it accepts connections: concurrent runs never collide.
vorn_start_display() {
  local number_file=$1
  Xvfb -displayfd 9 -screen 0 1280x800x24 -nolisten tcp 9>"$number_file" >/dev/null 2>&1 &
  vorn_pids+=($!)
  local i
  for i in $(seq 100); do
    [[ -s "$number_file" ]] && break
    sleep 0.1
  done
  [[ -s "$number_file" ]] || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(<"$number_file")"
}

vorn_trust_test_ca() {
  local env_dir=$1
  "$vorn_python" "$vorn_root/tools/release_service.py" tls --dir "$env_dir/tls" >/dev/null
  cat "$system_bundle" "$env_dir/tls/ca.pem" >"$env_dir/ca-bundle.crt"
  mount --bind "$env_dir/ca-bundle.crt" "$system_bundle"
}

vorn_start_wine() {
  local env_dir=$1
  export WINEPREFIX="$env_dir/prefix"
  export WINEDEBUG=-all
  # No Mono or Gecko: nothing of ours needs them, and their installers prompt.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # Wine's own services inherit the output of whatever starts them; keep them
  # off our pipes, or readers of those pipes never see the end.
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot -i </dev/null >/dev/null 2>&1
}

# The system tools that Wine lacks: the real bsdtar as tar.exe, and our
# PowerShell stand-in, with the bsdtar it extracts with beside it.
vorn_install_standins() {
  local standins=$1
  local system32="$WINEPREFIX/drive_c/windows/system32"
  local powershell="$system32/WindowsPowerShell/v1.0"
  mkdir -p "$powershell"
  cp "$standins/tar.exe" "$system32/tar.exe"
  cp "$standins/tar.exe" "$powershell/bsdtar.exe"
  cp "$standins/powershell.exe" "$powershell/powershell.exe"
  export VORN_STANDIN_DIR="$standins"
  VORN_STANDIN_DIR_WIN=$(vorn_windows_path "$standins")
  export VORN_STANDIN_DIR_WIN
}

vorn_start_service() {
  local env_dir=$1
  rm -f "$env_dir/service.json"
  "$vorn_python" "$vorn_root/tools/release_service.py" serve --root "$VORN_TEST_WWW" \
    --http-port 0 --https-port 0 --tls-dir "$env_dir/tls" --faults \
    --ready-file "$env_dir/service.json" >"$env_dir/service.out" 2>"$env_dir/service.log" &
  vorn_pids+=($!)
  local i
  for i in $(seq 200); do
    [[ -s "$env_dir/service.json" ]] && break
    sleep 0.05
  done
  [[ -s "$env_dir/service.json" ]] || { echo "download service did not start" >&2; return 1; }
  local ports
  ports=$("$vorn_python" -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["http"], d["https"])' "$env_dir/service.json")
  export VORN_TEST_HTTP="http://127.0.0.1:${ports% *}"
  export VORN_TEST_HTTPS="https://localhost:${ports#* }"
}

# nginx serving the same directory over HTTPS with the same certificate, on a
# free port of 127.0.0.1, as a publisher's web server would. Its access log
# holds one JSON line per request, in the form of the service's /_requests.
# Exports VORN_NGINX_HTTPS and VORN_NGINX_LOG.
vorn_start_nginx() {
  local env_dir=$1 dir=$1/nginx attempt port pid i
  mkdir -p "$dir/temp"
  for attempt in 1 2 3; do
    # Another program may take the port before nginx does: then another one.
    port=$("$vorn_python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    # The workers run as whoever runs this, as the download service does:
    # nobody may be unable to read a clone under a private home directory.
    cat >"$dir/nginx.conf" <<EOF
user $(id -un) $(id -gn);
worker_processes 1;
pid $dir/nginx.pid;
events { worker_connections 64; }
http {
  client_body_temp_path $dir/temp/body;
  proxy_temp_path $dir/temp/proxy;
  fastcgi_temp_path $dir/temp/fastcgi;
  uwsgi_temp_path $dir/temp/uwsgi;
  scgi_temp_path $dir/temp/scgi;
  types { application/json json; }
  default_type application/octet-stream;
  log_format requests escape=json
    '{"method":"\$request_method","path":"\$request_uri","user_agent":"\$http_user_agent",'
    '"status":\$status,"bytes":\$body_bytes_sent}';
  access_log $dir/access.log requests;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $env_dir/tls/server.pem;
    ssl_certificate_key $env_dir/tls/server.key;
    root $VORN_TEST_WWW;
  }
}
EOF
    rm -f "$dir/nginx.pid"
    nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -g 'daemon off;' </dev/null >/dev/null 2>&1 &
    pid=$!
    # nginx writes its pid file once it listens, and ends if it cannot.
    for i in $(seq 100); do
      [[ -s $dir/nginx.pid ]] || ! kill -0 "$pid" 2>/dev/null && break
      sleep 0.05
    done
    if [[ -s $dir/nginx.pid ]]; then
      vorn_pids+=("$pid")
      export VORN_NGINX_HTTPS="https://localhost:$port" VORN_NGINX_LOG="$dir/access.log"
      return 0
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  echo "nginx did not start (log: $dir/error.log)" >&2
  return 1
}

# A further display and Wine prefix under `dir`, a directory of its own in
# the environment's, with their own wineserver and the stand-ins, for tests
# that run beside the others: windows found by class are per wineserver, so
# the lanes never meet. Sets vorn_lane_display and vorn_lane_prefix; DISPLAY and
# WINEPREFIX stay those of the main lane.
vorn_start_lane() {
  local dir=$1 standins=$2 display=$DISPLAY prefix=$WINEPREFIX
  mkdir -p "$dir"
  vorn_start_display "$dir/display"
  vorn_start_wine "$dir"
  vorn_install_standins "$standins"
  vorn_lane_display=$DISPLAY vorn_lane_prefix=$WINEPREFIX
  export DISPLAY=$display WINEPREFIX=$prefix
}

# The lane under `env_dir/lane2` of the program-level suite, which runs its
# long test there. Exports VORN_LANE2_DISPLAY and VORN_LANE2_PREFIX.
vorn_start_second_lane() {
  vorn_start_lane "$1/lane2" "$2"
  export VORN_LANE2_DISPLAY=$vorn_lane_display VORN_LANE2_PREFIX=$vorn_lane_prefix
}

# Starts everything but the servers under `env_dir` (recreated), with
# stand-ins from `standins`.
vorn_env_start() {
  local env_dir=$1 standins=$2
  rm -rf "$env_dir"
  mkdir -p "$env_dir"
  vorn_env_dir=$env_dir
  trap vorn_env_stop EXIT
  vorn_trust_test_ca "$env_dir"
  vorn_start_display "$env_dir/display"
  vorn_start_wine "$env_dir"
  vorn_install_standins "$standins"
  # What the servers serve; each script starts the ones it needs.
  export VORN_TEST_WWW="$env_dir/www"
  mkdir -p "$VORN_TEST_WWW"
}
