#!/usr/bin/env bash
# Runs a command inside another system's root directory, the way a machine of
# that system would run it: its own mounts, its own process table (the command
# is the only thing running there, and whatever it leaves behind ends with
# it), only a loopback network, a fresh /proc, /sys, /dev, /tmp and /run.
# Needs root, and runs the command as root.
#
# usage: scripts/run_in_root.sh [OPTION]... ROOT COMMAND [ARGUMENT...]
#   --bind DIR[:INSIDE]  DIR of this machine at INSIDE in the root (by default
#                        at the same path, so that absolute paths written into
#                        a build tree, such as CTest's, work there too)
#   --chdir DIR          where the command starts (default: the current
#                        directory when the root has it, else /)
#   --env NAME=VALUE     the command's environment is otherwise PATH, HOME,
#                        LANG and TERM only
#   --network            this machine's network instead of loopback only; for
#                        installing packages
#   --keep               changes to the root are kept. Without it the root is
#                        seen through a layer of its own that ends with the
#                        command, so a run starts from the same root every time
#                        and leaves nothing in it.
#
# The root's / is a mount point, as on a machine: the web engine's sandbox
# (bubblewrap) pivots into a new root of its own and refuses otherwise.
set -euo pipefail

usage() {
  echo "usage: scripts/run_in_root.sh [--bind DIR[:INSIDE]]... [--chdir DIR] [--env NAME=VALUE]... [--network] [--keep] ROOT COMMAND [ARGUMENT...]" >&2
  exit 2
}

# The same arguments are read twice: here, and again by this script inside the
# new namespaces (the hidden --inside STAGE comes first there).
inside=""
if [ "${1:-}" = --inside ]; then
  inside=$2
  shift 2
fi
arguments=("$@")
binds=()
envs=()
chdir=""
network=0
keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --bind) [ $# -ge 2 ] || usage; binds+=("$2"); shift 2 ;;
    --chdir) [ $# -ge 2 ] || usage; chdir=$2; shift 2 ;;
    --env) { [ $# -ge 2 ] && [[ $2 == *=* ]]; } || usage; envs+=("$2"); shift 2 ;;
    --network) network=1; shift ;;
    --keep) keep=1; shift ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || usage
root=$1
shift

if [ -z "$inside" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "run_in_root: mounting and entering a root needs root" >&2
    exit 1
  fi
  if [ ! -x "$root/bin/sh" ]; then
    echo "run_in_root: $root is not a system's root (it has no bin/sh)" >&2
    exit 1
  fi
  # The layer the command's changes go to is mounted here, in the new mount
  # namespace only; the empty directory is all this machine ever sees of it.
  stage=$(mktemp -d /tmp/sandvoll-root.XXXXXX)
  namespaces=(--mount --pid --ipc --fork --kill-child --propagation private)
  if [ "$network" -eq 0 ]; then
    namespaces+=(--net)
  fi
  # A command started with & would read /dev/null instead of our input.
  exec 3<&0
  unshare "${namespaces[@]}" -- "$BASH" "$0" --inside "$stage" "${arguments[@]}" <&3 3<&- &
  child=$!
  exec 3<&-
  # unshare itself does not pass signals on, so a signal to this script goes
  # to the namespace's first process, which passes it on to the command;
  # whatever is left ends with that process. Before that process exists,
  # ending unshare ends everything (--kill-child).
  stop() {
    local first
    first=$(cat "/proc/$child/task/$child/children" 2>/dev/null) || true
    if [ -n "$first" ]; then
      kill -TERM $first 2>/dev/null || true
    else
      kill -KILL "$child" 2>/dev/null || true
    fi
  }
  trap stop TERM INT HUP
  status=0
  while :; do
    wait "$child" && status=0 || status=$?
    kill -0 "$child" 2>/dev/null || break
  done
  rmdir "$stage" 2>/dev/null || true
  exit "$status"
fi

# From here on this is the first process of a new process namespace, with
# mounts of its own: nothing mounted below is seen outside.
stage=$inside
origin=$PWD
root=$(realpath -e "$root")
if [ "$keep" -eq 1 ]; then
  mount --bind "$root" "$root"
  new=$root
else
  mount -t tmpfs -o mode=0755 sandvoll-layer "$stage"
  mkdir "$stage/changes" "$stage/work" "$stage/root"
  mount -t overlay -o "lowerdir=$root,upperdir=$stage/changes,workdir=$stage/work" sandvoll-root "$stage/root"
  new=$stage/root
fi

mount -t proc -o nosuid,nodev,noexec proc "$new/proc"
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$new/sys"

# /dev holds only what a program may use: the usual character devices, its
# own pseudo-terminals and shared memory, and the GPU when the machine has one.
mount -t tmpfs -o mode=0755,nosuid dev "$new/dev"
for node in null zero full random urandom tty; do
  touch "$new/dev/$node"
  mount --bind "/dev/$node" "$new/dev/$node"
done
mkdir -m 0755 "$new/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5,nosuid,noexec devpts "$new/dev/pts"
ln -s pts/ptmx "$new/dev/ptmx"
mkdir -m 1777 "$new/dev/shm"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$new/dev/shm"
ln -s /proc/self/fd "$new/dev/fd"
ln -s /proc/self/fd/0 "$new/dev/stdin"
ln -s /proc/self/fd/1 "$new/dev/stdout"
ln -s /proc/self/fd/2 "$new/dev/stderr"
if [ -d /dev/dri ]; then
  mkdir "$new/dev/dri"
  mount --bind /dev/dri "$new/dev/dri"
fi

mount -t tmpfs -o mode=1777,nosuid,nodev tmp "$new/tmp"
mount -t tmpfs -o mode=0755,nosuid,nodev run "$new/run"
mkdir -m 1777 "$new/run/lock"

# After /tmp, so that a directory under this machine's /tmp is not hidden by
# the root's own.
for bind in ${binds[@]+"${binds[@]}"}; do
  source=${bind%%:*}
  target=$source
  if [[ $bind == *:* ]]; then
    target=${bind#*:}
  fi
  source=$(realpath -e "$source")
  if [ -d "$source" ]; then
    mkdir -p "$new$target"
  else
    mkdir -p "$(dirname "$new$target")"
    touch "$new$target"
  fi
  mount --rbind "$source" "$new$target"
done

if [ "$network" -eq 1 ]; then
  # The name servers this machine uses; a link to a file of this machine's
  # /run would point at nothing in the root.
  rm -f "$new/etc/resolv.conf"
  cat /etc/resolv.conf >"$new/etc/resolv.conf"
else
  ip link set lo up
fi

cd "$new"
pivot_root . .
umount -l .
cd /
hash -r

if [ -z "$chdir" ]; then
  chdir=/
  if [ -d "$origin" ]; then
    chdir=$origin
  fi
fi
cd "$chdir"

environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
             "TERM=${TERM:-dumb}" ${envs[@]+"${envs[@]}"})
exec 3<&0
env -i "${environment[@]}" "$@" <&3 3<&- &
command=$!
exec 3<&-
# As the namespace's first process this shell also reaps the processes that
# the command's children leave behind, as init does on a machine.
trap 'kill -TERM "$command" 2>/dev/null || true' TERM INT HUP
status=0
while :; do
  wait "$command" && status=0 || status=$?
  kill -0 "$command" 2>/dev/null || break
done
exit "$status"
