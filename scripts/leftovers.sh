#!/bin/sh
# The processes a test run left behind: every one still running whose
# environment carries the run's marker, or whose command line names one of the
# run's work folders. Each is named and stopped; any at all fails the check.
# Also the files it left in the user's own folders: with -s, any file in
# USER_FOLDER newer than the file STARTED (made when the run began) is named,
# and fails the check; it is not removed, since it may be the user's.
# usage: leftovers.sh [-w SECONDS] [-s STARTED USER_FOLDER] NAME=VALUE [FOLDER...]
#   -w: how long processes may take to end by themselves first (default 3)
set -u
usage="usage: leftovers.sh [-w SECONDS] [-s STARTED USER_FOLDER] NAME=VALUE [FOLDER...]"
settle=3 started= user_folder=
while :; do
  case ${1:-} in
    -w) settle=${2:?$usage}; shift 2 ;;
    -s) started=${2:?$usage} user_folder=${3:?$usage}; shift 3 ;;
    *) break ;;
  esac
done
marker=${1:?$usage}
shift
case $marker in *=?*) ;; *) echo "leftovers.sh: the marker must be NAME=VALUE" >&2; exit 2 ;; esac
# The check's own processes must not carry the marker.
if printenv "${marker%%=*}" >/dev/null; then
  exec env -u "${marker%%=*}" sh "$0" -w "$settle" ${started:+-s "$started" "$user_folder"} "$marker" "$@"
fi

files_left=0
if [ -n "$started" ] && [ -d "$user_folder" ]; then
  new=$(find "$user_folder" -newer "$started" ! -type d 2>/dev/null)
  if [ -n "$new" ]; then
    echo "FAIL: files appeared in $user_folder during this test run:"
    echo "$new" | sed 's/^/  /'
    files_left=1
  fi
fi

# The callers that wait for this check are not left behind.
waiting=" $$ "
p=$PPID
while [ "$p" -gt 1 ] 2>/dev/null; do
  waiting="$waiting$p "
  p=$(awk '/^PPid:/ { print $2 }' "/proc/$p/status" 2>/dev/null) || break
done

# Sets $found; no subshell, which would carry this script's command line.
scan() {
  found=
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    case $waiting in *" $pid "*) continue ;; esac
    if grep -qzxF -e "$marker" "$dir/environ" 2>/dev/null; then
      found="$found $pid"
      continue
    fi
    for folder in "$@"; do
      if grep -qzF -e "$folder" "$dir/cmdline" 2>/dev/null; then
        found="$found $pid"
        break
      fi
    done
  done
}

scan "$@"
deadline=$(($(date +%s) + settle))
while [ -n "$found" ] && [ "$(date +%s)" -lt "$deadline" ]; do
  sleep 0.2
  scan "$@"
done
[ -z "$found" ] && exit "$files_left"

echo "FAIL: processes of this test run are still running:"
for pid in $found; do
  echo "  $pid: $( { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null || echo "(ended meanwhile)")"
done
# A zombie has ended; only its parent can still reap it.
any_alive() {
  for pid in $found; do
    case $( { cut -d')' -f2 <"/proc/$pid/stat"; } 2>/dev/null) in " Z"* | "") ;; *) return 0 ;; esac
  done
  return 1
}
kill -TERM $found 2>/dev/null
tries=10
while [ "$tries" -gt 0 ] && any_alive; do
  sleep 0.2
  tries=$((tries - 1))
done
kill -KILL $found 2>/dev/null
exit 1
