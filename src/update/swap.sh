# Replaces the app's bundle once the app has quit, starts the new version,
# and puts the old one back should the new one not start. The app runs it as
# /bin/sh -c "<this text>" sandvoll-swap PID SERVER BUNDLE STAGED ASIDE WORK RUNNING
#   PID     the app, which must have ended before anything is touched
#   SERVER  the server the app started (0: none); it must have ended before
#           the new version starts, or it would answer that version's probe
#   BUNDLE  the app's bundle
#   STAGED  the new bundle, copied beside BUNDLE by the app before it quit
#   ASIDE   a free name beside BUNDLE, where the old bundle waits until the
#           new version has started
#   WORK    the install's work directory, removed last
#   RUNNING the running lock, which every instance of the app holds shared
#           for as long as it runs
# and hands it the swap lock, held exclusively, as descriptor 3.
#
# Launches meanwhile. Every launch takes the swap lock shared, then the
# running lock, and only then lets go of the swap lock. The app took the
# swap lock before it started this script, so a launch from then on waits at
# its first step, whether it comes from the old path, a launcher entry or a
# terminal, and once it may go on it runs whatever is at BUNDLE instead of
# the program it was started as. A launch that got past the door earlier
# holds the running lock, and the bundle is not touched until nobody does.
# The versions this script starts inherit descriptor 3 (and are told so in
# SANDVOLL_UPDATE_SWAP_LOCK_FD); each lets go of it once its window has
# shown, and this script once it has decided, so that a launch that waited
# hands over to the version that is in place. A lock ends with the last
# process that holds it: should this script die, launches wait no longer.
#
# BUNDLE is only ever renamed, and each rename is undone when the next one
# fails, so that a whole bundle is at that path at every step but the moment
# between two renames. Nobody sees this script's output or status: what the
# user must hear, the old version tells them when it starts again.

app=$1 server=$2 bundle=$3 staged=$4 aside=$5 work=$6 running=$7
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

# Starts the old version again, telling it why the update was not
# installed. It keeps launches waiting until its window has shown.
restart_old() {
    SANDVOLL_UPDATE_NOT_INSTALLED=$1 SANDVOLL_UPDATE_SWAP_LOCK_FD=3 setsid -f "$executable"
}

# Ends the swap with the old bundle in place and nothing of the new one.
give_up() {
    remove "$staged"
    restart_old swap
    remove "$work"
    exit 1
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

# Other instances that got in before the app took the swap lock: a launch
# that hands over to the app ends at once, but one that became the app
# after it quit runs from the bundle, and this update is given up.
flock -x -w 10 "$running" true 2>/dev/null || give_up

# -T: should the destination exist after all, mv fails instead of moving the
# bundle into it.
mv -T -- "$bundle" "$aside" || give_up
if ! mv -T -- "$staged" "$bundle"; then
    mv -T -- "$aside" "$bundle"
    give_up
fi
xattr -dr com.apple.quarantine "$bundle" 2>/dev/null

# The new version has started once its window has shown: it then creates the
# file named here. Ending before that counts as failing to start, whatever
# the status: a version that handed over to another instance ends with 0
# too, and would leave the user running from a bundle about to be removed.
# So does showing no window in about 30 seconds; it is stopped then.
SANDVOLL_UPDATE_STARTED_FILE=$work/started SANDVOLL_UPDATE_SWAP_LOCK_FD=3 setsid -w "$executable" &
child=$!
ticks=0
while [ ! -e "$work/started" ] && [ "$ticks" -lt 150 ] && [ -n "$(alive_since "$child")" ]; do
    ticks=$((ticks + 1))
    sleep 0.2
done
if [ ! -e "$work/started" ]; then
    if [ -n "$(alive_since "$child")" ]; then
        kill -TERM "$child" 2>/dev/null
        ticks=0
        while [ -n "$(alive_since "$child")" ] && [ "$ticks" -lt 25 ]; do
            ticks=$((ticks + 1))
            sleep 0.2
        done
        kill -KILL "$child" 2>/dev/null
    fi
    wait "$child"
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
# Launches that waited go on, and hand over to the new version.
exec 3>&-
remove "$aside"
remove "$work"
