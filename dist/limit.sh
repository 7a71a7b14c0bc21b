# What install.sh and uninstall.sh do with a stored limit that uninstall.sh kept aside, a
# file of functions each of them sources from the folder it is installed in.
#
# When charging stays paused once the daemon is gone, uninstall.sh switches it on with
# `setlimit 100`, whose pass resumes charging. Meanwhile the user's limit file waits
# beside it as limit.kept, renamed there whole, and is renamed back right after; a run
# stopped in between leaves limit.kept, which the next install.sh or uninstall.sh puts
# back first. A value read back from a file is input like any other: what limit.kept
# holds is put back only when it is a limit that setlimit takes, 20 to 100. Anything
# else (empty, or text, or a number out of range) leaves the stored limit as it is, and
# limit.kept is set aside as limit.kept.refused.XXXXXX beside it, so that nothing the
# user stored is lost.
#
# A kept limit goes back by a rename over the limit file, atomic as setlimit's own
# replacement, and never through a regulator pass: one at the kept limit could pause
# charging at a moment when no daemon runs to resume it (an uninstall, or an install
# that fails before it loads the daemon). The daemon applies it at its next pass.
#
# The script that sources this file sets limit_file and kept (the paths of the limit and
# of limit.kept, checked to be plain files or nothing), and defines say, warn (prints a
# warning), die and run (shows a command, then runs it).
#
# POSIX sh: runs under macOS's bash 3.2 and zsh as well as any other sh.
# shellcheck disable=SC2154 # limit_file and kept are the sourcing script's

# Puts back the limit kept in $kept, or sets $kept aside; nothing to do without it.
put_back_kept() {
  [ -f "$kept" ] || return 0
  # A limit and its newline are four bytes at most; wc pads its number on a Mac.
  kept_size=$(wc -c <"$kept") || die "cannot read $kept"
  kept_size=$(printf '%s' "$kept_size" | tr -d ' ')
  kept_limit=
  [ "$kept_size" -gt 4 ] || kept_limit=$(cat "$kept") || die "cannot read $kept"
  case $kept_limit in
  [2-9][0-9] | 100)
    say "   putting the stored limit $kept_limit, kept in $kept, back"
    # Readable by every user, as setlimit leaves it, whatever made the kept file.
    run chmod -h 0644 "$kept" && run mv -f "$kept" "$limit_file" ||
      die "cannot rename $kept to $limit_file"
    ;;
  *)
    kept_start=$(head -c 16 "$kept" | tr -c '[:print:]' '?')
    kept_aside=$(mktemp "$kept.refused.XXXXXX") && mv -f "$kept" "$kept_aside" ||
      die "cannot set $kept aside"
    warn "$kept holds no limit from 20 to 100 ($kept_size bytes, starting" \
      "'$kept_start'): the stored limit stays as it is, and the file is kept as $kept_aside"
    ;;
  esac
}
