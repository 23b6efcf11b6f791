#!/usr/bin/env bash
# Starts or stops the Wine session of a prefix.
#
#   wine-session.sh start PREFIX [NETNS]
#   wine-session.sh fresh PREFIX MAIN_PREFIX [NETNS]
#   wine-session.sh stop PREFIX
#
# start creates the prefix when it is missing (or not ours), then starts a
# persistent wineserver and boots the prefix inside a network namespace: the
# named one, or else a new one with no interfaces. Wine's ICMP echo service
# runs in a service process of the session, so every echo request of the
# prefix's programs leaves from that namespace, whichever namespace the
# program itself runs in; with no interfaces, nothing leaves at all.
# fresh first makes PREFIX a new copy of MAIN_PREFIX (hard links: Wine
# replaces, never rewrites, the files it changes), whose session has never
# run elsewhere, then starts it. stop ends the wineserver and every process
# of the prefix.
set -euo pipefail

action=$1
prefix=$2
main_prefix=
[ "$action" != fresh ] || { main_prefix=$3 && shift; }
netns=${3:-}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

stop_server() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  remove_server_dir
}

# Debian's Wine keeps the server's directory in a temporary directory named
# in the prefix's file "wineserver" (wine-XXXXXX under TMPDIR or /tmp), which
# outlives the server. Once the server is gone, remove this prefix's part of
# it, the directory when nothing else is left in it, and then the file, so
# that the next server makes a new one.
remove_server_dir() {
  local name tmpdir
  [ -f "$prefix/wineserver" ] && [ -d "$prefix" ] || return 0
  name=$(cat "$prefix/wineserver" 2>/dev/null) || return 0
  [[ $name =~ ^wine-[A-Za-z0-9]{6}$ ]] || return 0
  tmpdir=${TMPDIR:-/tmp}/$name
  # The server's own directory is named after the prefix's device and inode.
  local server
  server=$(printf 'server-%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
  rm -rf "${tmpdir:?}/$server"
  if rmdir "$tmpdir" 2>/dev/null || [ ! -e "$tmpdir" ]; then
    rm -f "$prefix/wineserver"
  fi
}

# Processes of this prefix, by the WINEPREFIX in their environment.
prefix_processes() {
  local environ pid
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    grep -qzxF "WINEPREFIX=$prefix" "$environ" 2>/dev/null && echo "$pid"
  done
  return 0
}

start_session() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "wine-session: needs root (network namespaces)" >&2
    exit 1
  fi
  if [ -n "$netns" ]; then
    in_netns=(ip netns exec "$netns")
  else
    in_netns=(unshare --net)
  fi
  # A server of this prefix left from an earlier run lives in another namespace.
  stop_server
  if [ ! -f "$prefix/system.reg" ] || [ "$(stat -c %u "$prefix")" != "$(id -u)" ]; then
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    echo "wine-session: creating $prefix"
    "${in_netns[@]}" wineboot -i </dev/null >/dev/null 2>&1
    stop_server
  fi
  # The session outlives this script: it must not hold our output open.
  "${in_netns[@]}" bash -c 'wineserver -p && wine wineboot' </dev/null >/dev/null 2>&1
  # Every process of the session must be in that namespace, not in ours.
  host_netns=$(readlink /proc/self/ns/net)
  count=0
  for pid in $(prefix_processes); do
    ns=$(readlink "/proc/$pid/ns/net" 2>/dev/null) || continue
    count=$((count + 1))
    if [ "$ns" = "$host_netns" ]; then
      echo "wine-session: process $pid of $prefix runs in the host network namespace" >&2
      stop_server
      exit 1
    fi
  done
  echo "wine-session: $count processes of $prefix, none in the host network namespace"
}

case $action in
stop)
  stop_server
  ;;
start)
  start_session
  ;;
fresh)
  stop_server
  rm -rf "$prefix"
  cp -al "$main_prefix" "$prefix"
  # Its server keeps its directory apart from the main session's.
  rm -f "$prefix/wineserver"
  start_session
  ;;
*)
  echo "usage: wine-session.sh start PREFIX [NETNS] | fresh PREFIX MAIN_PREFIX [NETNS] | stop PREFIX" >&2
  exit 2
  ;;
esac
