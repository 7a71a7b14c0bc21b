# Every word install.sh and uninstall.sh say to launchd, and every answer they
# read from it: a file of functions that each of them sources from the folder it is
# installed in. Each function takes the label of a job in the system domain and
# answers one question about it, or makes one change to it.
#
# What `launchctl print` answers is not an interface: Apple's manual says it may change
# from release to release. So it is read tolerantly, and never guessed at:
#   - only the service's own lines count, those directly inside its block: a block
#     nested in it (endpoints, event triggers, environment, ...) has lines of its own
#     with the same words ("state = ", "pid = "), before or after the service's;
#   - of those, the lines "state = ", "pid = ", "last exit code = ", "last terminating
#     signal = " and "last exit reason = " are found by their leading words, the first
#     of each; a pid is a number above 0;
#   - of an exit code only the leading digits count: launchd names some, as in
#     "78: EX_CONFIG"; a signal is the number after its name, as in "Killed: 9";
#   - a running job may still show how its previous run ended, and either line may be
#     missing, with "last exit reason = OS_REASON_..." alone in their place;
#   - a job launchd does not know is its exit status 113 ("Could not find service");
#     any other failure of print, or an answer without the service's state line, stops
#     the script with a message that names the job and quotes launchd's words.
# `kickstart -p` prints "service spawned with pid: N"; once it has exited 0 the job was
# started, and when its words hold no pid, print tells it.
#
# The script that sources this file defines die, which prints its words and exits 1.
# A function that fails for a reason launchd gives returns non-zero, with what failed
# in launchd_error and launchd's own words in launchd_words. With launchd_show=1 (the
# install scripts), each change is shown before it is made, as "   $ launchctl ...".
#
#   TAMSO_LAUNCHCTL  the launchctl to run (default: /bin/launchctl)
#
# POSIX sh: runs under macOS's bash 3.2 and zsh as well as any other sh.
# The variables set here are read by the scripts that source the file:
# shellcheck disable=SC2034

launchctl=${TAMSO_LAUNCHCTL:-/bin/launchctl}
# Text tools in the C locale, as in the scripts that source this file.
export LC_ALL=C
# Seconds a job has to exit once sent SIGTERM: the ExitTimeOut of the daemon's property
# list, after which launchd kills it with SIGKILL.
launchd_exit_timeout=20
# Seconds launchd may take to start a job it has loaded or restarts.
launchd_start_timeout=5
launchd_show=0
launchd_error=
launchd_words=

# launchd's words, on one line and at most 300 characters long.
launchd_quote() {
  printf '%s' "$1" | tr '\t\n' '  ' | sed 's/   */ /g; s/^ //; s/ $//' | cut -c 1-300
}

# Runs launchctl with these arguments; its words, standard output and error, in
# launchd_output as they came and in launchd_words on one line; its exit status returned.
launchd_call() {
  launchd_output=$("$launchctl" "$@" 2>&1)
  launchd_status=$?
  launchd_words=$(launchd_quote "$launchd_output")
  [ -n "$launchd_words" ] || launchd_words="no message, exit status $launchd_status"
  return "$launchd_status"
}

# The same, shown first when launchd_show is 1: a change to launchd.
launchd_change() {
  [ "$launchd_show" -ne 1 ] || printf '   $ %s %s\n' "$launchctl" "$*"
  launchd_call "$@"
}

# The service's own lines of the print answer in launchd_answer, without their indent:
# a line that ends in "= {" or "=> {" opens a block, one of "}" alone closes it, and the
# service's block is the outermost.
launchd_own() {
  printf '%s\n' "$launchd_answer" | awk '
    / =>? [{][[:space:]]*$/ { depth++; next }
    /^[[:space:]]*[}][[:space:]]*$/ { depth--; next }
    depth == 1 { sub(/^[[:space:]]+/, ""); print }'
}

# The value after "NAME = " on the first of the lines in launchd_own_lines that starts
# with it.
launchd_value() {
  printf '%s\n' "$launchd_own_lines" | sed -n "s/^$1 = //p" | sed -n 1p
}

# Whether launchd has job $1 loaded, and how it is. Sets job_state ("running" while it
# runs), job_pid (only while it runs), job_exit (the status it last exited with; empty
# when it never exited, or a signal ended it), job_signal with job_signal_words (the
# number and launchd's words of the signal that last ended it, as "Killed: 9"; words
# with no number leave job_signal empty) and job_reason (launchd's last exit reason).
# Returns 1 when launchd has no such job.
job_read() {
  job_state='' job_pid='' job_exit='' job_signal='' job_signal_words='' job_reason=''
  launchd_answer=$("$launchctl" print "system/$1" 2>&1)
  launchd_status=$?
  if [ "$launchd_status" -eq 113 ]; then
    return 1
  fi
  if [ "$launchd_status" -ne 0 ]; then
    die "cannot read launchd's view of $1: launchctl print failed with exit status" \
      "$launchd_status: $(launchd_quote "$launchd_answer")"
  fi
  launchd_own_lines=$(launchd_own)
  job_state=$(launchd_value state)
  job_pid=$(launchd_value pid | sed -n 's/^\([1-9][0-9]*\)$/\1/p')
  if [ -z "$job_state" ] || { [ "$job_state" = running ] && [ -z "$job_pid" ]; }; then
    die "cannot read launchd's view of $1: no state, or running without a pid, in" \
      "what it said: $(launchd_quote "$launchd_answer")"
  fi
  [ "$job_state" = running ] || job_pid=
  job_exit=$(launchd_value 'last exit code' | sed -n 's/^\([0-9][0-9]*\).*/\1/p')
  job_signal_words=$(launchd_quote "$(launchd_value 'last terminating signal')")
  job_signal=$(printf '%s\n' "$job_signal_words" |
    sed -n 's/^\(.*[^0-9]\)\{0,1\}\([1-9][0-9]*\)$/\2/p')
  job_reason=$(launchd_quote "$(launchd_value 'last exit reason')")
  return 0
}

# How the job read last ended, in words; a signal outranks an exit status, and launchd's
# last exit reason is said when it is all there is.
job_ended() {
  if [ -n "$job_signal" ]; then
    printf 'was killed by signal %s (%s)' "$job_signal" "$job_signal_words"
  elif [ -n "$job_signal_words" ]; then
    printf 'was killed by a signal launchd names "%s"' "$job_signal_words"
  elif [ -n "$job_exit" ]; then
    printf 'exited with status %s' "$job_exit"
  elif [ -n "$job_reason" ]; then
    printf 'was ended by the system, for the reason launchd gives as "%s"' "$job_reason"
  else
    printf "has no exit status in launchd's answer"
  fi
}

# Waits until launchd has let job $1 go, $launchd_exit_timeout seconds at most:
# bootout returns before the job has exited.
job_wait_gone() {
  launchd_waited=0
  while job_read "$1"; do
    if [ "$launchd_waited" -ge "$launchd_exit_timeout" ]; then
      launchd_error="launchctl bootout of $1: still loaded $launchd_exit_timeout seconds later"
      return 1
    fi
    launchd_waited=$((launchd_waited + 1))
    sleep 1
  done
  return 0
}

# Asks launchd to let job $1 go: a job that runs is sent SIGTERM, and the answer comes
# before it has exited.
job_bootout() {
  launchd_change bootout "system/$1" && return 0
  launchd_error="launchctl bootout system/$1 failed: $launchd_words"
  return 1
}

# Boots job $1 out when it is loaded, and waits until launchd has let it go. bootout
# may say it failed while the job goes on stopping ("Operation now in progress"):
# whether launchd lets the job go decides. Sets job_was_loaded to 1 or 0.
job_unload() {
  job_was_loaded=0
  job_read "$1" || return 0
  job_was_loaded=1
  if ! job_bootout "$1" && [ "$launchd_show" -eq 1 ]; then
    printf '   %s; waiting all the same\n' "$launchd_error"
  fi
  job_wait_gone "$1"
}

# Loads job $1 from the property list $2, and enables its label first: a label switched
# off by `launchctl disable` fails bootstrap with "119: Service is disabled" until it is
# enabled. launchd starts a job with RunAtLoad at once.
job_load() {
  if ! launchd_change enable "system/$1"; then
    launchd_error="launchctl enable system/$1 failed: $launchd_words"
    return 1
  fi
  job_bootstrap "$1" "$2"
}

# Bootstraps the property list $2 of job $1 into the system domain, tried five times a
# second apart: a job just booted out may be refused for a few seconds. A daemon not
# allowed in the background, in System Settings, is refused with "5: Input/output error"
# or "119: Service is disabled".
job_bootstrap() {
  launchd_tries=1
  until launchd_change bootstrap system "$2"; do
    if [ "$launchd_tries" -ge 5 ]; then
      launchd_error="launchctl bootstrap of $2 failed: $launchd_words; if it said"
      launchd_error="$launchd_error '5: Input/output error' or '119: Service is"
      launchd_error="$launchd_error disabled', see that $1 may run in"
      launchd_error="$launchd_error the background: System Settings > General >"
      launchd_error="$launchd_error Login Items > Allow in the Background on macOS 13"
      launchd_error="$launchd_error and 14, Login Items & Extensions on macOS 15 and"
      launchd_error="$launchd_error later; then run this again"
      return 1
    fi
    launchd_tries=$((launchd_tries + 1))
    sleep 1
  done
  return 0
}

# Stops job $1 when it runs: SIGTERM, then a wait of $launchd_exit_timeout seconds at
# most for that process to exit. Sets job_stopped to its pid, or empty when it was not
# running; once it has exited, job_read's values say how it ended.
job_stop() {
  job_stopped=
  job_read "$1" && [ -n "$job_pid" ] || return 0
  job_stopped=$job_pid
  if ! launchd_change kill SIGTERM "system/$1"; then
    launchd_error="launchctl kill SIGTERM system/$1 failed: $launchd_words"
    return 1
  fi
  launchd_waited=0
  while job_read "$1" && [ "$job_pid" = "$job_stopped" ]; do
    if [ "$launchd_waited" -ge "$launchd_exit_timeout" ]; then
      launchd_error="$1 (pid $job_stopped) did not exit within $launchd_exit_timeout"
      launchd_error="$launchd_error seconds of SIGTERM"
      return 1
    fi
    launchd_waited=$((launchd_waited + 1))
    sleep 1
  done
  return 0
}

# Starts job $1, loaded and not running (a job that runs is left as it is), with its pid
# in job_pid: the one kickstart printed ("service spawned with pid: N", or N alone), or
# else the one print shows within $launchd_start_timeout seconds. Fails with launchd's
# words only when neither shows it running.
job_start() {
  job_pid=
  if ! launchd_change kickstart -p "system/$1"; then
    launchd_error="launchctl kickstart system/$1 failed: $launchd_words"
    return 1
  fi
  job_pid=$(printf '%s\n' "$launchd_output" |
    sed -n 's/^ *\(service spawned with pid: \)\{0,1\}\([1-9][0-9]*\) *$/\2/p' | sed -n 1p)
  [ -z "$job_pid" ] || return 0
  # launchd may take a moment to spawn what it has accepted.
  launchd_started=$launchd_words
  launchd_waited=0
  while job_read "$1" && [ -z "$job_pid" ] && [ "$launchd_waited" -lt "$launchd_start_timeout" ]; do
    launchd_waited=$((launchd_waited + 1))
    sleep 1
  done
  [ -z "$job_pid" ] || return 0
  launchd_error="launchctl kickstart -p system/$1 said '$launchd_started' and exited 0,"
  launchd_error="$launchd_error and launchd shows it not running (state:"
  launchd_error="$launchd_error ${job_state:-not loaded}); it $(job_ended)"
  return 1
}

# Whether job $1 stays running: once launchd shows it running (within
# $launchd_start_timeout seconds, or as pid $3 when given), it must go on running under
# that same pid on a look every second for $2 seconds. Otherwise launchd_error says how
# it ended, by its exit status or its signal.
job_stays_running() {
  launchd_watched=${3:-}
  launchd_waited=0
  while :; do
    if ! job_read "$1"; then
      launchd_error="$1 is no longer loaded"
      return 1
    fi
    if [ -n "$job_pid" ] && [ -z "$launchd_watched" ]; then
      launchd_watched=$job_pid
      launchd_waited=0
    fi
    if [ -n "$launchd_watched" ] && [ "$job_pid" != "$launchd_watched" ]; then
      launchd_error="$1 (pid $launchd_watched) $(job_ended)"
      [ -z "$job_pid" ] || launchd_error="$launchd_error, and launchd started it again"
      return 1
    fi
    if [ -z "$launchd_watched" ] && [ "$launchd_waited" -ge "$launchd_start_timeout" ]; then
      launchd_error="$1 is not running $launchd_start_timeout seconds after its start"
      launchd_error="$launchd_error (state: $job_state); it $(job_ended)"
      return 1
    fi
    if [ -n "$launchd_watched" ]; then
      if [ "$launchd_waited" -ge "$2" ]; then
        return 0
      fi
      if [ "$launchd_waited" -eq 0 ] && [ "$launchd_show" -eq 1 ]; then
        printf '   running as pid %s; watching it for %s seconds\n' "$job_pid" "$2"
      fi
    fi
    launchd_waited=$((launchd_waited + 1))
    sleep 1
  done
}
