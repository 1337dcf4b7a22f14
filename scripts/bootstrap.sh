#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Sandvoll
# needs. Safe to run again: when everything is present it only checks.
#
# usage: scripts/bootstrap.sh [--bench]
#   --bench  also installs the peers that bench/compare measures Sandvoll
#            against, and what draws its chart. Nothing else needs them.
set -euo pipefail

bench=0
for arg in "$@"; do
  case "$arg" in
    --bench) bench=1 ;;
    *) echo "usage: scripts/bootstrap.sh [--bench]" >&2; exit 2 ;;
  esac
done

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  libgtk-4-dev libwebkitgtk-6.0-dev libcurl4-openssl-dev libssl-dev
  nlohmann-json3-dev libx11-dev
  # renders the app icon's PNG sizes from its SVG
  librsvg2-bin
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb xauth x11-utils xdotool imagemagick tesseract-ocr tesseract-ocr-eng
  # compressed test replies; addresses of every kind in a network namespace
  zlib1g-dev iproute2
  # a headless Wayland session: the compositor, screenshots and typed keys;
  # checking and launching the desktop entry, finding its icon
  sway grim wtype desktop-file-utils libglib2.0-bin hicolor-icon-theme
  # the session bus and accessibility bus a desktop has; gdb for crash backtraces
  dbus-daemon at-spi2-core gdb
  python3 python3-venv python3-pip python3-pil
  # the desktop entry test reads the entry the way GLib does
  python3-gi
  # makes the Debian 13 root the window and end-to-end tests also run in
  debootstrap
  clang valgrind
  # libFuzzer's runtime and the symbolizer for sanitizer reports (clang only
  # recommends them). The unversioned names follow the release's default
  # clang (14 on Debian 12, 19 on Debian 13), so one list serves both.
  libclang-rt-dev llvm
  # run time: the extractor for updates, zip for packaging, a font
  unzip zip openssl ca-certificates fonts-dejavu-core
)
if [ "$bench" -eq 1 ]; then
  packages+=(
    # the pywebview peer on its GTK backend (GTK 3 + WebKit2GTK 4.0); naming
    # the GI packages keeps apt from choosing the Qt alternatives
    python3-webview python3-gi python3-gi-cairo gir1.2-gtk-3.0 gir1.2-webkit2-4.0
    # the browser peer in app mode, and the chart
    chromium python3-matplotlib
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    sudo=(sudo)
  else
    echo "bootstrap: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
fi
echo "bootstrap: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
