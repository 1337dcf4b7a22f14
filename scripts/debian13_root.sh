#!/usr/bin/env bash
# Makes, or reuses, a Debian 13 ("trixie") root: the newest release the bundle
# built here on Debian 12 must also run on. scripts/run_in_root.sh runs
# commands inside it.
#
# usage: scripts/debian13_root.sh [--dev] [--refresh]
#   Prints the root's path.
#   (default)  the runtime root: what the app needs at run time on a desktop,
#              and what its window and end-to-end tests drive, nothing to
#              build with (scripts/test_debian13.sh)
#   --dev      the runtime root plus every package scripts/bootstrap.sh
#              installs, to build and run the whole suite in
#              (scripts/test_debian13_full.sh); a root of its own, so that the
#              runtime root stays as lean as a user's system
#   --refresh  makes it again even when the one there is complete, to pick up
#              the release's updates; a root otherwise keeps the packages it
#              was first made with
#
# Roots are kept between runs in /var/cache/sandvoll (SANDVOLL_CACHE chooses
# another place), outside any clone, with the packages downloaded for them. A
# root is made again when it is missing or incomplete, or when the packages it
# should have changed: each records, last, how it was made (a stamp file), and
# is made in a directory of its own that only takes the root's name once it is
# complete. The packages come from the archive this machine's apt uses, and
# from nowhere else.
#
# Other scripts source this file and call debian13_ready.

debian13_suite=trixie
# The step-by-step making below; counting it up makes every root again.
debian13_recipe=1
debian13_cache=${SANDVOLL_CACHE:-/var/cache/sandvoll}
debian13_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# What a desktop user of the app has, plus what the window and end-to-end
# tests run. Names are trixie's (the 64-bit time_t transition renamed some
# libraries: libcurl4t64, libssl3t64).
debian13_runtime_packages=(
  # the app: toolkit, web engine, HTTP, crypto; the web engine's pages run
  # under bubblewrap, with a filtered bus
  libgtk-4-1 libwebkitgtk-6.0-4 bubblewrap xdg-dbus-proxy libcurl4t64 libssl3t64
  # GL drawn by the CPU, as on a machine without a GPU driver
  libgl1-mesa-dri libegl-mesa0
  # the extractor for updates, the server's interpreter and its venv, and
  # what a desktop has: certificates, a font, the icon theme
  unzip python3 python3-venv ca-certificates fonts-dejavu-core hicolor-icon-theme
  # the tests: ctest; an X display and its clients; a headless Wayland
  # session; the session and accessibility buses; reading screenshots
  cmake xvfb xauth x11-utils xdotool imagemagick tesseract-ocr tesseract-ocr-eng
  sway grim wtype dbus-daemon at-spi2-core
  python3-pil python3-gi desktop-file-utils libglib2.0-bin
  # packing update packages, reading the executable's sections, finding
  # processes, mounting, backtraces of a crash
  zip binutils procps mount gdb
)

# The commands the tests call; a root without one of them is not complete.
debian13_runtime_commands=(
  bwrap xdg-dbus-proxy unzip python3 ctest Xvfb xauth xprop xdotool import tesseract sway swaymsg grim wtype
  dbus-daemon desktop-file-validate gio zip readelf pgrep mount umount setpriv setsid gdb
)

# Prints the archive this machine's apt uses and its security archive (or
# nothing for that), read from its sources in either format.
debian13_archives() {
  local lists=() sources=() f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && lists+=("$f")
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sources+=("$f")
  done
  {
    if [ ${#lists[@]} -gt 0 ]; then
      # deb [OPTIONS] URI SUITE COMPONENT...
      awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } print $i, $(i + 1) }' "${lists[@]}"
    fi
    if [ ${#sources[@]} -gt 0 ]; then
      # Paragraphs of "Field: value" lines.
      awk 'BEGIN { RS = "" }
        {
          types = ""; uris = ""; suites = ""; enabled = "yes"; field = ""
          n = split($0, lines, "\n")
          for (i = 1; i <= n; i++) {
            line = lines[i]
            if (line ~ /^#/) continue
            if (line ~ /^[ \t]/) { value = line }
            else { field = tolower(substr(line, 1, index(line, ":") - 1)); value = substr(line, index(line, ":") + 1) }
            if (field == "types") types = types " " value
            else if (field == "uris") uris = uris " " value
            else if (field == "suites") suites = suites " " value
            else if (field == "enabled") enabled = value
          }
          gsub(/[ \t]/, "", enabled)
          if (enabled == "no" || types !~ /(^|[ \t])deb([ \t]|$)/) next
          nu = split(uris, u, /[ \t]+/); ns = split(suites, s, /[ \t]+/)
          for (a = 1; a <= nu; a++) for (b = 1; b <= ns; b++) if (u[a] != "" && s[b] != "") print u[a], s[b]
        }' "${sources[@]}"
    fi
  } | awk '
    # The release itself is a plain suite name (bookworm, stable); its
    # security updates come from SUITE-security.
    $2 ~ /^[a-z]+$/ && main == "" { main = $1 }
    $2 ~ /-security$/ && security == "" { security = $1 }
    END { if (main == "") exit 1; print main, security }'
}

debian13_runtime_root=$debian13_cache/debian13-root
debian13_dev_root=$debian13_cache/debian13-dev-root
debian13_debs=$debian13_cache/debs
debian13_stamp_name=.sandvoll-root

# What the runtime root's stamp says; a root whose stamp says otherwise is
# made again.
debian13_runtime_stamp() {
  local archives
  archives=$(debian13_archives) || {
    echo "debian13_root: this machine's apt sources name no Debian archive to make the root from" >&2
    return 1
  }
  printf 'recipe %s\nsuite %s\narchives %s\npackages %s\n' "$debian13_recipe" "$debian13_suite" "$archives" \
    "$(printf '%s\n' "${debian13_runtime_packages[@]}" | sort | tr '\n' ' ')"
}

debian13_dev_stamp() {
  debian13_runtime_stamp || return 1
  printf 'bootstrap %s\n' "$(sha256sum "$debian13_scripts/bootstrap.sh" | cut -d' ' -f1)"
}

# Whether ROOT is complete and was made the way STAMP says.
debian13_current() {
  [ -f "$1/$debian13_stamp_name" ] && [ "$(cat "$1/$debian13_stamp_name")" = "$2" ]
}

# Gives the finished NEW root the name ROOT, in place of the one there.
debian13_put_in_place() {
  local new=$1 root=$2
  if [ -e "$root" ]; then
    mv "$root" "$root.old.$$" || return 1
  fi
  mv "$new" "$root" || return 1
  rm -rf --one-file-system "$root.old.$$"
}

# Runs COMMAND in the root being made, with the network and the package cache.
debian13_install_step() {
  local root=$1
  shift
  "$debian13_scripts/run_in_root.sh" --network --keep --bind "$debian13_debs:/var/cache/apt/archives" "$root" "$@"
}

# Ends the making of a root: the package lists go (the root runs without a
# network, and the next making fetches them again), then the stamp is written.
debian13_finish() {
  local root=$1 stamp=$2
  debian13_install_step "$root" apt-get autoclean -qq &&
    rm -rf "$root"/var/lib/apt/lists/* "$root"/var/cache/apt/*.bin &&
    printf '%s\n' "$stamp" >"$root/$debian13_stamp_name"
}

# Says why the making failed, with the end of its log, and removes what it made.
debian13_failed() {
  local what=$1 log=$2 new=$3
  echo "debian13_root: $what failed; the end of $log:" >&2
  tail -n 20 "$log" >&2
  rm -rf --one-file-system "$new"
  return 1
}

# Writes the configuration a new root gets before its packages: where they
# come from, and that no documentation is unpacked and no service started by
# a package's scripts (nothing runs in the root but what a command starts).
debian13_configure() {
  local new=$1 main=$2 security=$3
  rm -f "$new/etc/apt/sources.list"
  {
    printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' "$main" "$debian13_suite" "$debian13_suite"
    if [ -n "$security" ]; then
      printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' "$security" "$debian13_suite"
    fi
  } >"$new/etc/apt/sources.list.d/debian.sources" &&
  printf 'path-exclude=/usr/share/doc/*\npath-exclude=/usr/share/man/*\npath-exclude=/usr/share/info/*\n' \
    >"$new/etc/dpkg/dpkg.cfg.d/sandvoll-lean" &&
  printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d" &&
  chmod 0755 "$new/usr/sbin/policy-rc.d" &&
  printf 'APT::Install-Recommends "false";\nAcquire::Languages "none";\n' >"$new/etc/apt/apt.conf.d/90sandvoll" &&
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$new/etc/hosts"
}

# Prints what the tests need that the root at $1 lacks.
debian13_lacks() {
  "$debian13_scripts/run_in_root.sh" "$1" sh -c '
    for c in "$@"; do command -v "$c" >/dev/null || printf "%s " "$c"; done
    getent passwd nobody >/dev/null || printf "(the nobody account) "
    python3 -c "import gi, PIL, venv" 2>/dev/null || printf "(python3 modules gi, PIL, venv) "' \
    check "${debian13_runtime_commands[@]}"
}

debian13_make_runtime() {
  local stamp=$1 main security new log missing
  read -r main security <<<"$(debian13_archives)"
  log=$debian13_cache/debian13-root.log
  new=$(mktemp -d "$debian13_runtime_root.new.XXXXXX") || return 1
  # mktemp's directory is the root's /, which every user must be able to enter.
  chmod 0755 "$new" && mkdir -p "$debian13_debs/partial" || return 1
  echo "debian13_root: making the Debian 13 root from $main (log in $log)" >&2
  debootstrap --variant=minbase --cache-dir="$debian13_debs" "$debian13_suite" "$new" "$main" >"$log" 2>&1 ||
    debian13_failed debootstrap "$log" "$new" || return 1
  debian13_configure "$new" "$main" "$security" >>"$log" 2>&1 ||
    debian13_failed "configuring the root" "$log" "$new" || return 1
  debian13_install_step "$new" sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"' \
      install "${debian13_runtime_packages[@]}" >>"$log" 2>&1 ||
    debian13_failed "installing the packages" "$log" "$new" || return 1
  # The session bus needs a machine ID, which a booted system would have made.
  if [ ! -s "$new/etc/machine-id" ]; then
    od -An -tx1 -N16 /dev/urandom | tr -d ' \n' >"$new/etc/machine-id" && echo >>"$new/etc/machine-id" || return 1
  fi
  missing=$(debian13_lacks "$new" 2>>"$log") || missing="(the check did not run)"
  if [ -n "$missing" ]; then
    echo "debian13_root: the new root lacks $missing" >&2
    rm -rf --one-file-system "$new"
    return 1
  fi
  debian13_finish "$new" "$stamp" >>"$log" 2>&1 || debian13_failed "finishing the root" "$log" "$new" || return 1
  debian13_put_in_place "$new" "$debian13_runtime_root"
}

debian13_make_dev() {
  local stamp=$1 new log
  log=$debian13_cache/debian13-dev-root.log
  new=$(mktemp -d "$debian13_dev_root.new.XXXXXX") || return 1
  chmod 0755 "$new" || return 1
  echo "debian13_root: making the Debian 13 build root (log in $log)" >&2
  { cp -a --reflink=auto "$debian13_runtime_root/." "$new/" && rm -f "$new/$debian13_stamp_name"; } >"$log" 2>&1 ||
    debian13_failed "copying the runtime root" "$log" "$new" || return 1
  # bootstrap.sh is read from its input, so the root needs nothing of the clone.
  debian13_install_step "$new" bash -s <"$debian13_scripts/bootstrap.sh" >>"$log" 2>&1 ||
    debian13_failed "scripts/bootstrap.sh in the build root" "$log" "$new" || return 1
  # Run again without the network, it must find everything in place, as
  # scripts/test.sh will.
  "$debian13_scripts/run_in_root.sh" "$new" bash -s <"$debian13_scripts/bootstrap.sh" >>"$log" 2>&1 ||
    debian13_failed "checking the build root" "$log" "$new" || return 1
  debian13_finish "$new" "$stamp" >>"$log" 2>&1 || debian13_failed "finishing the root" "$log" "$new" || return 1
  debian13_put_in_place "$new" "$debian13_dev_root"
}

# Makes the root of KIND (runtime or dev) ready and sets debian13_root to its
# path. The caller then holds a shared lock on it for as long as it runs: no
# one makes a root again while another uses it. With REFRESH (1), the root is
# made again first.
debian13_ready() {
  local kind=$1 refresh=${2:-0} root stamp runtime_stamp dev_stamp
  if [ "$(id -u)" -ne 0 ]; then
    echo "debian13_root: making and entering the Debian 13 root needs root" >&2
    return 1
  fi
  if ! command -v debootstrap >/dev/null; then
    echo "debian13_root: debootstrap is missing; scripts/bootstrap.sh installs it" >&2
    return 1
  fi
  mkdir -p "$debian13_cache"
  runtime_stamp=$(debian13_runtime_stamp) || return 1
  dev_stamp=$(debian13_dev_stamp) || return 1
  root=$debian13_runtime_root
  stamp=$runtime_stamp
  if [ "$kind" = dev ]; then
    root=$debian13_dev_root
    stamp=$dev_stamp
  fi
  exec {debian13_lock}>"$debian13_cache/debian13.lock"
  while :; do
    flock -s "$debian13_lock"
    if [ "$refresh" -eq 0 ] && debian13_current "$root" "$stamp"; then
      break
    fi
    # Making a root waits until no one uses one; then it is looked at
    # again, as someone else may have made it meanwhile.
    flock -u "$debian13_lock"
    flock -x "$debian13_lock"
    rm -rf --one-file-system "$debian13_cache"/debian13-*root.new.* "$debian13_cache"/debian13-*root.old.*
    if [ "$refresh" -eq 1 ] || ! debian13_current "$debian13_runtime_root" "$runtime_stamp"; then
      debian13_make_runtime "$runtime_stamp" || return 1
    fi
    if [ "$kind" = dev ] && { [ "$refresh" -eq 1 ] || ! debian13_current "$debian13_dev_root" "$dev_stamp"; }; then
      debian13_make_dev "$dev_stamp" || return 1
    fi
    refresh=0
    flock -u "$debian13_lock"
  done
  debian13_root=$root
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  kind=runtime
  refresh=0
  for arg in "$@"; do
    case $arg in
      --dev) kind=dev ;;
      --refresh) refresh=1 ;;
      *) echo "usage: scripts/debian13_root.sh [--dev] [--refresh]" >&2; exit 2 ;;
    esac
  done
  debian13_ready "$kind" "$refresh"
  echo "$debian13_root"
fi
