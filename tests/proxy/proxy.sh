#!/usr/bin/env bash
# Starts and stops the HTTP proxies of the request engine's tests: two
# tinyproxy instances on 127.0.0.1, run in the foreground (-d) by this script
# and detached from the caller.
#
#   tests/proxy/proxy.sh start DIR    configs, pidfiles and logs go into DIR
#   tests/proxy/proxy.sh stop DIR
#
#   open   port $PARVEL_TEST_PROXY_PORT (47330), no credentials
#   auth   port $PARVEL_TEST_AUTH_PROXY_PORT (47331), Basic credentials
#          parvel-user / parvel-pass
#
# The Via header each adds names it: parvel-open-proxy, parvel-auth-proxy.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
command=${1:?usage: proxy.sh start|stop DIR}
dir=${2:?usage: proxy.sh start|stop DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

open_port=${PARVEL_TEST_PROXY_PORT:-47330}
auth_port=${PARVEL_TEST_AUTH_PROXY_PORT:-47331}

# Whether the pid in a pidfile is a tinyproxy of ours.
running() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && grep -q "$dir" "/proc/$pid/cmdline" 2>/dev/null
}

stop_one() {
  local pidfile=$dir/$1.pid pid n
  if running "$pidfile"; then
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for n in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null || true
    echo "proxy.sh: stopped $1 (pid $pid)"
  fi
  rm -f "$pidfile"
}

listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

start_one() {
  local name=$1 port=$2 auth=$3
  local conf=$dir/$name.conf log=$dir/$name.log pidfile=$dir/$name.pid n
  stop_one "$name"
  if listening "$port"; then
    echo "proxy.sh: port $port on 127.0.0.1 is already in use" >&2
    return 1
  fi
  sed -e "s|@PORT@|$port|" -e "s|@LOGFILE@|$log|" -e "s|@NAME@|parvel-$name-proxy|" \
      -e "s|@AUTH@|$auth|" "$here/tinyproxy.conf.in" >"$conf"
  : >"$log"
  # setsid and no inherited descriptors: ctest waits for the pipes it gave
  # this script to close before it counts the step as done.
  setsid tinyproxy -d -c "$conf" </dev/null >>"$log" 2>&1 &
  echo $! >"$pidfile"
  for n in $(seq 100); do
    if listening "$port"; then
      echo "proxy.sh: $name proxy on 127.0.0.1:$port (pid $(cat "$pidfile"), log $log)"
      return 0
    fi
    running "$pidfile" || break
    sleep 0.1
  done
  echo "proxy.sh: the $name proxy did not start; its log:" >&2
  cat "$log" >&2
  stop_one "$name"
  return 1
}

case "$command" in
  start)
    command -v tinyproxy >/dev/null || { echo "proxy.sh: tinyproxy is not installed (scripts/setup)" >&2; exit 1; }
    start_one open "$open_port" "" &&
      start_one auth "$auth_port" "BasicAuth parvel-user parvel-pass" || { stop_one open; exit 1; }
    ;;
  stop)
    stop_one open
    stop_one auth
    ;;
  *)
    echo "usage: proxy.sh start|stop DIR" >&2
    exit 2
    ;;
esac
