#!/usr/bin/env bash
# Runs a command in its own mount and network namespace where the product's configured host
# names reach a real HTTPS content server on loopback, and only a test CA is trusted - so the
# shipped binary can be tested unchanged, with TLS verification on.
#
# Usage (as root):
#   scripts/netns_harness.sh --build-dir BUILD --serve FOLDER [--work DIR] -- COMMAND [ARG...]
#
#   --build-dir  a configured build folder; EMBERDALE_CDN_HOST, EMBERDALE_SOURCE_HOST and
#                EMBERDALE_RUNTIME_VENDOR_HOST are read from its CMakeCache.txt
#   --serve      the folder served (https://<host>/path serves FOLDER/path)
#   --work       where certificates, the server's control file and request log are kept; it is
#                kept afterwards. Default: a temporary folder, removed at the end.
#   --nginx      serve with nginx instead (no control file, no request log): for benchmarks
#
# Inside the namespaces: lo is up; /etc/hosts maps the CDN host to 127.0.0.2, the source host to
# 127.0.0.3 and the runtime vendor host to 127.0.0.4; a bundle holding only the test CA is mounted
# over /etc/ssl/certs/ca-certificates.crt; demo/content_server.py listens on port 443
# of every loopback address. The command gets these variables:
#   EMBERDALE_TEST_SERVER_CONTROL  the server's control file (JSON rules, see content_server.py)
#   EMBERDALE_TEST_SERVER_LOG      the server's request log (one JSON line per request)
#   EMBERDALE_TEST_CA              the test CA certificate (unknown-ca.pem next to it: a CA that
#                                  signed nothing the server shows)
#   EMBERDALE_TEST_SERVER_ROOT     the folder served
# The server is stopped when the command ends. Exit status: the command's, or 125 when the
# harness itself could not be set up.
set -euo pipefail

harness_failed() {
  echo "netns_harness: $*" >&2
  exit 125
}

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(dirname "$here")
support_dir="$source_dir/demo"
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

# The content server with its control file and request log, on port 443 of every loopback address.
start_content_server() {
  [ -f "$work/control.json" ] || echo '{"rules": {}}' >"$work/control.json"
  rm -f "$work/ready"
  "$python" "$support_dir/content_server.py" --root "$serve" \
    --cert "$work/certs/server.pem" --key "$work/certs/server-key.pem" \
    --host 0.0.0.0 --port 443 --ready "$work/ready" --control "$work/control.json" \
    --log "$work/requests.log" >>"$work/server.out" 2>&1 &
  server=$!
  trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
  for _ in $(seq 1 500); do
    [ -f "$work/ready" ] && break
    kill -0 "$server" 2>/dev/null || harness_failed "content server ended: $(cat "$work/server.out")"
    sleep 0.02
  done
  [ -f "$work/ready" ] || harness_failed "content server did not start listening"
}

# nginx serving the folder as static files over HTTPS on the same addresses, one worker per core.
start_nginx() {
  mkdir -p "$work/nginx"
  cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
user root;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 256; }
http {
  access_log off;
  default_type application/octet-stream;
  sendfile on;
  client_body_temp_path $work/nginx;
  server {
    listen 443 ssl;
    ssl_certificate $work/certs/server.pem;
    ssl_certificate_key $work/certs/server-key.pem;
    root $serve;
  }
}
EOF
  nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" >>"$work/server.out" 2>&1 &
  server=$!
  trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
  for _ in $(seq 1 500); do
    (exec 3<>/dev/tcp/127.0.0.2/443) 2>/dev/null && return 0
    kill -0 "$server" 2>/dev/null || harness_failed "nginx ended: $(cat "$work/server.out")"
    sleep 0.02
  done
  harness_failed "nginx did not start listening"
}

# ---- inside the namespaces (the script runs itself again under unshare) ----
if [ "${1:-}" = "--inside" ]; then
  shift
  work=$1 serve=$2 server_kind=$3
  shift 3
  ip link set dev lo up || harness_failed "can't bring lo up"
  mount --bind "$work/hosts" /etc/hosts || harness_failed "can't mount the hosts file"
  mount --bind "$work/certs/bundle.pem" /etc/ssl/certs/ca-certificates.crt ||
    harness_failed "can't mount the test CA bundle"

  if [ "$server_kind" = nginx ]; then start_nginx; else start_content_server; fi

  export EMBERDALE_TEST_SERVER_CONTROL="$work/control.json"
  export EMBERDALE_TEST_SERVER_LOG="$work/requests.log"
  export EMBERDALE_TEST_CA="$work/certs/ca.pem"
  export EMBERDALE_TEST_SERVER_ROOT="$serve"
  set +e
  "$@"
  status=$?
  set -e
  exit "$status"
fi

# ---- outside: check, prepare, enter the namespaces ----
build_dir="" serve="" work="" server_kind=content_server
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --serve) serve=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --nginx) server_kind=nginx; shift ;;
    --) shift; break ;;
    *) harness_failed "unknown argument: $1" ;;
  esac
done
[ $# -gt 0 ] || harness_failed "no command given"
[ "$(id -u)" -eq 0 ] || harness_failed "must run as root"
[ -f "$build_dir/CMakeCache.txt" ] || harness_failed "no CMakeCache.txt in '$build_dir'"
[ -d "$serve" ] || harness_failed "no folder to serve: '$serve'"
unshare --mount --net --propagation private -- true 2>/dev/null ||
  harness_failed "can't make mount and network namespaces here"
serve=$(cd "$serve" && pwd)

cache_value() {
  sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt" | head -n 1
}
cdn_host=$(cache_value EMBERDALE_CDN_HOST)
source_host=$(cache_value EMBERDALE_SOURCE_HOST)
vendor_host=$(cache_value EMBERDALE_RUNTIME_VENDOR_HOST)
[ -n "$cdn_host" ] && [ -n "$source_host" ] && [ -n "$vendor_host" ] ||
  harness_failed "the host names are missing from $build_dir/CMakeCache.txt"

if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/emberdale-netns-XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)

if [ ! -f "$work/certs/bundle.pem" ]; then
  bash "$support_dir/make_test_ca.sh" "$work/certs" "$cdn_host" "$source_host" "$vendor_host" ||
    harness_failed "can't make the test certificates"
fi
cat >"$work/hosts" <<EOF
127.0.0.1 localhost
::1 localhost
127.0.0.2 $cdn_host
127.0.0.3 $source_host
127.0.0.4 $vendor_host
EOF

set +e
unshare --mount --net --propagation private -- bash "$here/netns_harness.sh" --inside \
  "$work" "$serve" "$server_kind" "$@"
status=$?
set -e
exit "$status"
