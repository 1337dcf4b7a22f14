#!/usr/bin/python3
"""The pywebview peer of bench/compare: one window titled "Sandvoll", the
same size as Sandvoll's, showing the URL given, on pywebview's GTK backend.

usage: pywebview_peer.py URL
"""

import sys

import webview


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: pywebview_peer.py URL")
    webview.create_window("Sandvoll", sys.argv[1], width=1440, height=920)
    # GTK, never Qt: the peer is the same web engine on the platform toolkit.
    webview.start(gui="gtk")


if __name__ == "__main__":
    main()
