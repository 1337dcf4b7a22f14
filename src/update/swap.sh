# Replaces the app's bundle once the app has quit, starts the new version,
# and puts the old one back should the new one fail to start. The app runs it
# as /bin/sh -c "<this text>" sandvoll-swap PID SERVER BUNDLE STAGED ASIDE WORK:
#   PID     the app, which must have ended before anything is touched
#   SERVER  the server the app started (0: none); it must have ended before
#           the new version starts, or it would answer that version's probe
#   BUNDLE  the app's bundle
#   STAGED  the new bundle, copied beside BUNDLE by the app before it quit
#   ASIDE   a free name beside BUNDLE, where the old bundle waits until the
#           new version has started
#   WORK    the install's work directory, removed last
# BUNDLE is only ever renamed, and each rename is undone when the next one
# fails, so that a whole bundle is at that path at every step but the moment
# between two renames. Nobody sees this script's output or status: what the
# user must hear, the old version tells them when it starts again.

app=$1 server=$2 bundle=$3 staged=$4 aside=$5 work=$6
executable=$bundle/Contents/Linux/Sandvoll

# The start time of a living process, or nothing. A zombie has ended too
# (whoever started it may never reap it), and a process id that was reused
# comes with another start time.
alive_since() {
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    # The name in parentheses may hold blanks and parentheses itself.
    set -- ${stat##*) }
    case $1 in Z | X | x) return 0 ;; esac
    echo "${20}"
}

# Removes a tree, folders without write permission included.
remove() {
    chmod -R u+w -- "$1" 2>/dev/null
    rm -rf -- "$1"
}

# Starts the old version again, telling it why the update was not installed.
restart_old() {
    SANDVOLL_UPDATE_NOT_INSTALLED=$1 setsid -f "$executable"
}

app_since=$(alive_since "$app")
server_since=
if [ "$server" -gt 0 ] 2>/dev/null; then server_since=$(alive_since "$server"); fi

while [ -n "$app_since" ] && [ "$(alive_since "$app")" = "$app_since" ]; do sleep 0.2; done

# The server had the terminate signal as the app quit; ten seconds on, it is
# stopped. One that outlives even that no longer holds up the update.
ticks=0
while [ -n "$server_since" ] && [ "$(alive_since "$server")" = "$server_since" ] && [ "$ticks" -lt 100 ]; do
    if [ "$ticks" -eq 50 ]; then kill -KILL "$server" 2>/dev/null; fi
    ticks=$((ticks + 1))
    sleep 0.2
done

# -T: should the destination exist after all, mv fails instead of moving the
# bundle into it.
if ! mv -T -- "$bundle" "$aside"; then
    remove "$staged"
    restart_old swap
    remove "$work"
    exit 1
fi
if ! mv -T -- "$staged" "$bundle"; then
    mv -T -- "$aside" "$bundle"
    remove "$staged"
    restart_old swap
    remove "$work"
    exit 1
fi
xattr -dr com.apple.quarantine "$bundle" 2>/dev/null

# The new version counts as started once its window has shown (it then
# creates the file named here), or once it has run for 30 seconds. Quitting
# before that is the user's choice; failing or dying is not.
SANDVOLL_UPDATE_STARTED_FILE=$work/started setsid -w "$executable" &
child=$!
ticks=0
while [ ! -e "$work/started" ] && [ "$ticks" -lt 150 ] && [ -n "$(alive_since "$child")" ]; do
    ticks=$((ticks + 1))
    sleep 0.2
done
if [ ! -e "$work/started" ] && [ -z "$(alive_since "$child")" ] && ! wait "$child"; then
    if mv -T -- "$bundle" "$staged"; then
        if mv -T -- "$aside" "$bundle"; then
            restart_old start
            remove "$staged"
        else
            mv -T -- "$staged" "$bundle"
        fi
    fi
    remove "$work"
    exit 1
fi
remove "$aside"
remove "$work"
