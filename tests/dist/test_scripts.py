#!/usr/bin/env python3
"""install.sh and uninstall.sh, run on a staged install against recording stand-ins for
launchctl and for tamso-helper, with the install tool they run: the calls come in the
right order, uninstall switches charging back on before it removes anything, a second
run is harmless, and a run without root changes nothing; and the tool's hourly rotation
as launchd runs it."""

import contextlib
import hashlib
import os
import shutil
import stat
import subprocess
import unittest
from pathlib import Path

import distsupport
from distsupport import (LABEL, LIMIT_DIR, LIMIT_FILE, LIMIT_LOCK, LOG, LOG_DIR, LOG_LOCK, PLIST,
                         ROTATE_LABEL, ROTATE_LOG, ROTATE_PLIST, VERSION, StagedTestCase,
                         as_sh, expected_layout, main, needs_root, staged)

PREFIX = "/usr/local"
SERVICE = f"system/{LABEL}"
ROTATE_SERVICE = f"system/{ROTATE_LABEL}"

# launchd's side, as far as the scripts can see it: which jobs are loaded (a file
# loaded-LABEL each), and its refusals. bootstrap refuses a loaded job, a label switched
# off (a file disabled-LABEL, which enable removes), and a property list that root does
# not own or others may write, as launchd does. Booting the daemon out, or killing it
# with SIGTERM, stops it, and its stop switches charging on and exits 0, unless the
# firmware refuses the switch ("stuck"), when it exits 1. A kickstart can be made to fail
# once while the job is loaded ("refuse-kickstart"); it starts the daemon under a new pid,
# which -p prints as "service spawned with pid: N". A label switched off fails bootstrap
# with "119: Service is disabled". `print` of the loaded daemon shows it as launchd does,
# a nested block with lines of its own before the service's lines "state = ", "pid = "
# and "last exit code = " (named beside a sysexits code, as in "78: EX_CONFIG") or "last
# terminating signal = " (macOS's name and number, as "Killed: 9"), kept from the last
# run while a new one runs: running with pid 412, or as the file daemon-prints says, one
# line a print ("running PID", "exited STATUS", "killed SIGNAL", "scheduled" for a job
# launchd has yet to start, or "garbled", an answer without a state), the last line
# holding for every later print; the stop's line is "garbled" with the file
# garble-after-kill. With the file linger, a job booted out stays loaded,
# and a daemon sent SIGTERM running, for two more prints.
FAKE_LAUNCHCTL = r"""#!/bin/sh
state=${FAKE_STATE:?}
. "$state/record.sh"
record launchctl "$@"
# Once the call in the file's first line is done, the signal of its second line stops
# the script (its pid in script-pid).
if [ -s "$state/signal-after" ] && [ "$*" = "$(sed -n 1p "$state/signal-after")" ]; then
  trap 'kill -"$(sed -n 2p "$state/signal-after")" "$(cat "$state/script-pid")"
    rm -f "$state/signal-after"' EXIT
fi
# The job a call names: by its property list for bootstrap, else by its service.
case $1 in
bootstrap) job=$(basename "${3:-}" .plist) ;;
kill | kickstart) job=${3#system/} ;;
*) job=${2#system/} ;;
esac
case $job in
@LABEL@ | @LABEL@.rotate) ;;
*) exit 64 ;;
esac
case $1 in
print)
  if [ -s "$state/unloading-$job" ]; then
    left=$(($(cat "$state/unloading-$job") - 1))
    echo "$left" >"$state/unloading-$job"
    [ "$left" -gt 0 ] || rm -f "$state/loaded-$job" "$state/unloading-$job"
  fi
  [ -e "$state/loaded-$job" ] || { echo "Could not find service \"$2\"" >&2; exit 113; }
  now="running 412"
  if [ "$job" = @LABEL@ ] && [ -s "$state/daemon-prints" ]; then
    now=$(sed -n 1p "$state/daemon-prints")
    if [ "$(wc -l <"$state/daemon-prints")" -gt 1 ]; then
      sed 1d "$state/daemon-prints" >"$state/daemon-prints.new" &&
        mv "$state/daemon-prints.new" "$state/daemon-prints"
    fi
  fi
  [ "$job" = @LABEL@ ] || now="exited 0"
  [ "$now" = garbled ] && { printf 'system/%s = {\n\tsomething else\n}\n' "$job"; exit 0; }
  set -- $now
  last_line=$(cat "$state/last-$job" 2>/dev/null || echo "last exit code = (never exited)")
  case $1 in
  running) state_line="state = running" pid_line="pid = $2" ;;
  exited) state_line="state = not running" pid_line= last_line="last exit code = $2" ;;
  killed) state_line="state = not running" pid_line= last_line="last terminating signal = $(
    case $2 in 6) echo Abort trap ;; 9) echo Killed ;; 10) echo Bus error ;;
      11) echo Segmentation fault ;; 15) echo Terminated ;; esac): $2" ;;
  scheduled) state_line="state = spawn scheduled" pid_line= ;;
  esac
  [ "$last_line" = "last exit code = 78" ] && last_line="$last_line: EX_CONFIG"
  echo "$last_line" >"$state/last-$job"
  printf 'system/%s = {\n\tevent triggers = {\n\t\t"%s.wake" => {\n\t\t\tstate = running\n' \
    "$job" "$job"
  printf '\t\t\tpid = 99\n\t\t\tlast exit code = 1\n\t\t}\n\t}\n\tactive count = 1\n'
  printf '\tpath = /Library/LaunchDaemons/%s.plist\n' "$job"
  printf '\ttype = LaunchDaemon\n\t%s\n\n\tprogram = /usr/local/bin/tamso-helper\n' \
    "$state_line"
  [ -n "$pid_line" ] && printf '\t%s\n' "$pid_line"
  printf '\t%s\n\tendpoints = {\n\t\tstate = active\n\t}\n}\n' "$last_line"
  ;;
enable)
  rm -f "$state/disabled-$job"
  ;;
bootstrap)
  [ $# -eq 3 ] || exit 64
  [ -e "$state/refuse-bootstrap" ] && exit 5
  [ -e "$state/loaded-$job" ] && { echo "Bootstrap failed: 5: Input/output error" >&2; exit 5; }
  [ -e "$state/disabled-$job" ] && { printf '%s: Service is disabled\nBootstrap failed: %s\n' \
    "$3" "119: Service is disabled" >&2; exit 119; }
  [ -f "$3" ] || exit 2
  owner=$(stat -c %u "$3")
  mode=$(stat -c %a "$3")
  [ "$owner" -eq 0 ] && [ $((0$mode & 022)) -eq 0 ] ||
    { echo "$3: bad ownership or permissions" >&2; exit 5; }
  touch "$state/loaded-$job" && rm -f "$state/last-$job"
  ;;
bootout | kill)
  [ "$1" = kill ] && { [ $# -eq 3 ] && [ "$2" = SIGTERM ] || exit 64; }
  [ "$1" = bootout ] && { [ $# -eq 2 ] || exit 64; }
  [ -e "$state/loaded-$job" ] || { echo "Boot-out failed: 3: No such process" >&2; exit 3; }
  [ "$1" = kill ] && [ -e "$state/refuse-kill" ] &&
    { echo "Could not kill service: 5: Input/output error" >&2; exit 5; }
  [ "$1" = bootout ] && [ -e "$state/refuse-bootout-$job" ] &&
    { echo "Boot-out failed: 5: Input/output error" >&2; exit 5; }
  [ "$1" = bootout ] && rm -f "$state/daemon-prints" &&
    if [ -e "$state/linger" ]; then echo 3 >"$state/unloading-$job"; else
      rm -f "$state/loaded-$job"; fi
  if [ "$job" = @LABEL@ ]; then
    [ -e "$state/stuck" ] || echo 0 >"$state/inhibited"
    [ "$1" = kill ] && echo "exited $([ -e "$state/stuck" ] && echo 1 || echo 0)" \
      >"$state/daemon-prints"
    [ "$1" = kill ] && [ -e "$state/garble-after-kill" ] && echo garbled >"$state/daemon-prints"
    [ "$1" = kill ] && [ -e "$state/linger" ] &&
      printf 'running 412\nrunning 412\nexited 0\n' >"$state/daemon-prints"
  fi
  ;;
kickstart)
  [ $# -eq 3 ] && [ "$2" = -p ] && [ "$job" = @LABEL@ ] || exit 64
  [ -e "$state/loaded-$job" ] || exit 113
  rm "$state/refuse-kickstart" 2>/dev/null &&
    { echo "Could not kickstart service: 5: Input/output error" >&2; exit 5; }
  pid=$(cat "$state/next-pid" 2>/dev/null || echo 413)
  echo "running $pid" >"$state/daemon-prints"
  echo $((pid + 1)) >"$state/next-pid"
  echo "service spawned with pid: $pid"
  ;;
*) exit 64 ;;
esac
exit 0
"""

# The program's side: status reports the battery and the charge state kept in the
# state folder, or fails ("status-fails"); setlimit needs root, stores its limit where
# the real one would, and at 100 its pass resumes charging, unless the firmware ignores
# the switch.
FAKE_HELPER = r"""#!/bin/sh
state=${FAKE_STATE:?}
. "$state/record.sh"
record tamso-helper "$@"
limit_file=${FAKE_LIMIT_FILE:?}
case $1 in
status)
  [ -e "$state/status-fails" ] && { echo "status: write error" >&2; exit 1; }
  limit=100
  [ -f "$limit_file" ] && limit=$(cat "$limit_file")
  printf 'battery=%s\nac=1\nlimit=%s\ninhibited=%s\n' "$(cat "$state/battery")" "$limit" \
    "$(cat "$state/inhibited")"
  ;;
setlimit)
  [ "$(id -u)" -eq 0 ] || { echo "must run as root" >&2; exit 1; }
  mkdir -p "$(dirname "$limit_file")" && printf '%s\n' "$2" >"$limit_file" || exit 1
  [ "$2" = 100 ] && [ ! -e "$state/stuck" ] && echo 0 >"$state/inhibited"
  # Someone puts a link in place of the stored limit once it is stored.
  if [ -e "$state/plant-link" ]; then
    rm -f "$limit_file" && ln -s "$(cat "$state/plant-link")" "$limit_file"
  fi
  ;;
*) exit 2 ;;
esac
exit 0
"""

# Each call is one line: the words, a tab, and how many of the watched files (the
# installed ones) exist at that moment.
RECORD = r"""record() {
  present=0
  while IFS= read -r watched; do
    [ -e "$watched" ] && present=$((present + 1))
  done <"$state/watch"
  printf '%s\t%s\n' "$*" "$present" >>"$state/calls"
}
"""


def have_setpriv():
  return shutil.which("setpriv") is not None


def stage_install(stage, prefix):
  """The staged install, with the folders every Mac has."""
  distsupport.stage_install(stage, prefix)
  for folder in ("/private/var/log", "/Library/Application Support"):
    staged(stage, folder).mkdir(mode=0o755, parents=True, exist_ok=True)


def as_nobody(*command):
  return subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                           *command])


def snapshot(root):
  """Every path under root with its mode, owner and content digest."""
  seen = {}
  for path in sorted(Path(root).rglob("*")):
    info = path.lstat()
    digest = hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else None
    seen[str(path)] = (info.st_mode, info.st_uid, info.st_gid, digest)
  return seen


class ScriptTestCase(StagedTestCase):
  """A staged install, copies of its scripts outside the stage (uninstall removes the
  staged ones), and the stand-ins with their state folder."""

  # The shell that runs the scripts, started as sh: Debian's dash, or bash or zsh in the
  # classes under() makes.
  shell = "dash"

  def setUp(self):
    super().setUp()
    os.chmod(self.tmp, 0o755)
    self.sh = as_sh(self.shell, self.tmp)
    self.stage = self.tmp / "stage"
    stage_install(self.stage, PREFIX)
    self.scripts = self.tmp / "scripts"
    self.scripts.mkdir()
    for name in ("install.sh", "uninstall.sh", "launchd.sh", "tamso-setup"):
      shutil.copy(staged(self.stage, f"{PREFIX}/libexec/tamso-helper/{name}"),
                  self.scripts / name)
    self.state = self.tmp / "state"
    self.state.mkdir()
    (self.state / "record.sh").write_text(RECORD)
    (self.state / "calls").touch()
    (self.state / "inhibited").write_text("0\n")
    (self.state / "battery").write_text("81\n")
    # sleep, as the scripts call it while they wait for launchd: recorded, and at once.
    self.stand_ins = self.state / "bin"
    self.stand_ins.mkdir()
    (self.stand_ins / "sleep").write_text('#!/bin/sh\nstate=$FAKE_STATE\n'
                                          '. "$state/record.sh"\nrecord sleep "$@"\n')
    (self.stand_ins / "sleep").chmod(0o755)
    self.installed = [staged(self.stage, p) for p in expected_layout(PREFIX)]
    (self.state / "watch").write_text("".join(f"{p}\n" for p in self.installed))
    self.launchctl = self.state / "launchctl"
    self.launchctl.write_text(FAKE_LAUNCHCTL.replace("@LABEL@", LABEL))
    self.helper = self.state / "tamso-helper"
    self.helper.write_text(FAKE_HELPER)
    # pkgutil: a receipt while the file receipt is there; only --forget is recorded.
    self.pkgutil = self.state / "pkgutil"
    self.pkgutil.write_text('#!/bin/sh\nstate=$FAKE_STATE\n. "$state/record.sh"\n'
                            '[ -e "$state/receipt" ] || exit 1\n'
                            'case $3 in --forget) record pkgutil "$@"; rm "$state/receipt" ;; esac\n')
    for path in (self.launchctl, self.helper, self.pkgutil):
      path.chmod(0o755)
    # A run as nobody could record its calls too: a call it makes is seen.
    for path in (self.state / "calls", self.state / "inhibited"):
      path.chmod(0o666)
    self.state.chmod(0o777)

  def run_script(self, name, *arguments, as_nobody=False, path_first=None, environment=None,
                 cwd=None):
    """path_first: a folder of stand-ins found before the system's commands;
    environment: variables to add. "rotate" is the tool's, as launchd runs it."""
    if name == "rotate":
      name, arguments = "tamso-setup", ("rotate", *arguments)
    # Its pid, for a signal after a call (see the launchctl stand-in).
    command = ["sh", "-c", '[ ! -e "$FAKE_STATE/signal-after" ] || '
               'echo $$ >"$FAKE_STATE/script-pid"; exec "$@"', "sh",
               *([self.sh] if name.endswith(".sh") else []), str(self.script(name)),
               *arguments]
    if as_nobody:
      command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                 *command]
    variables = {
        "PATH": os.pathsep.join(
            ([str(path_first)] if path_first else []) +
            [str(self.stand_ins), os.environ.get("PATH", "/usr/bin:/bin")]),
        "TAMSO_ROOT": str(self.stage),
        "TAMSO_HELPER": str(self.helper),
        "TAMSO_LAUNCHCTL": str(self.launchctl),
        "TAMSO_PKGUTIL": str(self.pkgutil),
        "FAKE_STATE": str(self.state),
        "FAKE_LIMIT_FILE": str(staged(self.stage, LIMIT_FILE)),
        **(environment or {}),
    }
    return subprocess.run(command, env=variables, capture_output=True, text=True,
                          timeout=60, cwd=cwd)

  @contextlib.contextmanager
  def opened_to_others(self, path, how):
    """The folder at path as another account could have it: its own ("owner"), writable
    (a mode, with the admin group's id), writable through an ACL entry ("acl"), or a link
    to the folder, moved aside ("link"); put back after."""
    mode, real = path.stat().st_mode, Path(f"{path}.real")
    if how == "link":
      path.rename(real)
      path.symlink_to(real)
    elif how == "acl":
      subprocess.run(["setfacl", "-m", "u:nobody:rwx", path], check=True)
    else:
      os.chown(path, 65534, 0) if how == "owner" else (os.chown(path, 0, 80), path.chmod(how))
    try:
      yield
    finally:
      if how == "link":
        path.unlink()
        real.rename(path)
      if how == "acl":
        subprocess.run(["setfacl", "-b", path], check=True)
      os.chown(path, 0, 0)
      path.chmod(mode)

  def script(self, name):
    """The copy of a script outside the stage (uninstall removes the staged ones)."""
    return self.scripts / name

  def assert_succeeded(self, done):
    self.assertEqual(done.returncode, 0, f"stdout:\n{done.stdout}\nstderr:\n{done.stderr}")

  def calls(self, *, sleeps=False):
    """The calls that change something or report, with the watched-file count;
    the `launchctl print` look-ups are left out, and so are the sleeps unless asked
    for. Clears the record."""
    lines = (self.state / "calls").read_text().splitlines()
    (self.state / "calls").write_text("")
    found = []
    for line in lines:
      words, present = line.rsplit("\t", 1)
      if words.startswith("launchctl print "):
        continue
      if words.startswith("sleep") and not sleeps:
        continue
      found.append((words, int(present)))
    return found

  def set_state(self, *, loaded=None, inhibited=None, stuck=None):
    """loaded: both jobs, the daemon and the rotation."""
    for name, value in ((f"loaded-{LABEL}", loaded), (f"loaded-{ROTATE_LABEL}", loaded),
                        ("stuck", stuck)):
      if value is True:
        (self.state / name).touch()
      elif value is False:
        (self.state / name).unlink(missing_ok=True)
    if inhibited is not None:
      (self.state / "inhibited").write_text(f"{inhibited}\n")

  def loaded(self, label=LABEL):
    return (self.state / f"loaded-{label}").exists()


@needs_root("install.sh changes owners")
class Install(ScriptTestCase):

  @property
  def LOAD(self):
    return [f"launchctl enable {SERVICE}", f"launchctl bootstrap system {staged(self.stage, PLIST)}",
            f"launchctl enable {ROTATE_SERVICE}",
            f"launchctl bootstrap system {staged(self.stage, ROTATE_PLIST)}"]

  # The status report, then the stop that proves a write, and the start.
  CHECK = ["tamso-helper status", f"launchctl kill SIGTERM {SERVICE}",
           f"launchctl kickstart -p {SERVICE}"]

  def test_gives_files_to_root_loads_checks_and_proves_a_write(self):
    # Someone else's and writable, as a user's cmake --install leaves them; an
    # uninstall.sh killed while it kept the 80 in limit.kept left 100.
    limit = staged(self.stage, LIMIT_FILE)
    limit.parent.mkdir(parents=True)
    limit.write_text("100\n")
    (limit.parent / "limit.kept").write_text("80\n")
    for path in self.installed:
      os.chown(path, 65534, 65534)
      path.chmod(0o666 if path.is_file() else 0o777)
    # A new folder takes its parent's group on a Mac, as under a setgid folder here.
    os.chown(staged(self.stage, "/private/var/log"), 0, 65534)
    staged(self.stage, "/private/var/log").chmod(0o2755)
    done = self.run_script("install.sh")
    self.assert_succeeded(done)
    n = len(self.installed)
    self.assertEqual(self.calls(), [(words, n) for words in self.LOAD + self.CHECK])
    # The command and the manual page, linked from the folders a package manager uses.
    for link, target in (("bin/tamso-helper", "../libexec/tamso-helper/tamso-helper"),
                         ("share/man/man8/tamso-helper.8",
                          "../../../libexec/tamso-helper/tamso-helper.8")):
      self.assertEqual(os.readlink(staged(self.stage, f"{PREFIX}/{link}")), target)
    status = subprocess.run([staged(self.stage, f"{PREFIX}/bin/tamso-helper"), "status"],
                            env={"SIMMAC_ROOT": str(self.tmp / "mac")}, capture_output=True)
    self.assertIn(b"inhibited=", status.stdout)
    self.assertTrue(self.loaded())
    self.assertTrue(self.loaded(ROTATE_LABEL))
    for path, mode in expected_layout(PREFIX).items():
      info = staged(self.stage, path).stat()
      self.assertEqual((info.st_uid, info.st_gid, info.st_mode & 0o7777), (0, 0, mode), path)
    # The log, and the stored limit with its folder, whose group a Mac would
    # otherwise take from the folder above.
    for path, mode in ((LOG_DIR, 0o755), (LOG, 0o644), (ROTATE_LOG, 0o644),
                       (LIMIT_FILE, 0o644), (LIMIT_DIR, 0o755)):
      info = staged(self.stage, path).stat()
      self.assertEqual((info.st_uid, info.st_gid, info.st_mode & 0o7777), (0, 0, mode), path)
    self.assertEqual(limit.read_text(), "80\n")
    self.assertIn("inhibited=0", done.stdout, "the status report is shown")

  def test_a_kept_limit_is_put_back_only_when_it_is_one_and_none_newer_is_stored(self):
    # What an interrupted uninstall.sh left in limit.kept beside the 100 it stored, or
    # beside a limit stored since: the limit stored once install.sh, or uninstall.sh
    # --keep-limit, has run (None: the limit stays, and limit.kept is set aside, whole).
    cases = {"80": 80, "100": 100, "999": None, "abc": None, "0": None, "-5": None,
             "": None, "ten megabytes": None, "8\x000": None, "80, older than a 70": None}
    limit = staged(self.stage, LIMIT_FILE)
    kept = limit.parent / "limit.kept"
    for script, arguments in (("install.sh", ()), ("uninstall.sh", ("--keep-limit",))):
      for text, stored in cases.items():
        with self.subTest(script=script, kept=text):
          stage_install(self.stage, PREFIX)
          limit.parent.mkdir(parents=True, exist_ok=True)
          before = "70" if "older" in text else "100"
          limit.write_text(f"{before}\n")
          text = {"ten megabytes": "7" * 10_000_000, "80, older than a 70": "80"}.get(text, text)
          kept.write_text(text and f"{text}\n")
          done = self.run_script(script, *arguments)
          self.assert_succeeded(done)
          self.assertEqual((limit.read_text(), kept.exists()), (f"{stored or before}\n", False))
          aside = list(limit.parent.glob("limit.kept.refused.*"))
          self.assertEqual([p.read_text() for p in aside], [] if stored else [text and f"{text}\n"])
          self.assertLess(len(done.stdout + done.stderr), 5000, "the kept file was shown")
          for path in aside:
            path.unlink()

  def test_a_stop_by_a_signal_or_an_error_leaves_the_daemon_loaded_and_running(self):
    plist = staged(self.stage, PLIST)
    # launchctl as the stand-in's, whose first print after the daemon's bootout is garbled.
    garbling = self.state / "garbling"
    garbling.write_text(f'#!/bin/sh\n[ "$1" = print ] && rm "$0.once" 2>/dev/null && exit 0\n'
                        f'"{self.launchctl}" "$@" || exit\n[ "$*" != "bootout {SERVICE}" ] || '
                        f'touch "$0.once"\n')
    garbling.chmod(0o755)
    # name: (the call after which the signal comes, the signal)
    cases = {"TERM just after the daemon's bootout": (f"bootout {SERVICE}", "TERM"),
             "TERM just after the daemon's bootstrap": (f"bootstrap system {plist}", "TERM"),
             "INT just after the stop that proves a write": (f"kill SIGTERM {SERVICE}",
                                                             "INT"),
             "KILL just after the daemon's bootout": (f"bootout {SERVICE}", "KILL"),
             # The job still stopping when the signal comes.
             "TERM during the daemon's bootout": (f"bootout {SERVICE}", "TERM linger"),
             "INT during the stop that proves a write": (f"kill SIGTERM {SERVICE}",
                                                         "INT linger"),
             "an answer it cannot read after the daemon's bootout": (None, "garble"),
             "a kickstart refused after the stop that proves a write": (None, "refuse")}
    for name, (call, signal) in cases.items():
      with self.subTest(name):
        self.set_state(loaded=True)
        signal, _, linger = signal.partition(" ")
        (self.state / "linger").unlink(missing_ok=True)
        if linger:
          (self.state / "linger").touch()
        if call:
          (self.state / "signal-after").write_text(f"{call}\n{signal}\n")
        if signal == "refuse":
          (self.state / "refuse-kickstart").touch()
        done = self.run_script("install.sh", environment={"TAMSO_LAUNCHCTL": str(garbling)}
                               if signal == "garble" else None)
        self.calls()
        if signal == "KILL":
          self.assertEqual(done.returncode, -9)
          self.assertFalse(self.loaded())
          done = self.run_script("install.sh")
          self.assert_succeeded(done)
          self.assertTrue(done.stdout.startswith("install.sh: found a half-finished install"))
        else:
          self.assertEqual(done.returncode, 1, done.stderr)
          self.assertIn(f"stopped by {'an error' if call is None else 'a signal'} during step",
                        done.stderr)
          self.assertIn("run install.sh again", done.stderr)
          state = subprocess.run([str(self.launchctl), "print", SERVICE], capture_output=True,
                                 text=True, env=dict(os.environ, FAKE_STATE=str(self.state)))
          self.assertIn("state = running", state.stdout)
        self.assertTrue(self.loaded() and self.loaded(ROTATE_LABEL))
        self.assertEqual(staged(self.stage, f"{PREFIX}/libexec/tamso-helper/install.unfinished")
                         .exists(), signal != "KILL")

  def test_second_run_boots_the_loaded_daemon_out_first(self):
    self.assert_succeeded(self.run_script("install.sh"))
    self.calls()
    done = self.run_script("install.sh")
    self.assert_succeeded(done)
    self.assertEqual([words for words, _ in self.calls()], [
        # The rotation first, so that it cannot restart the daemon in between.
        f"launchctl bootout {ROTATE_SERVICE}",
        f"launchctl bootout {SERVICE}",
        *self.LOAD, *self.CHECK])
    self.assertTrue(self.loaded())
    self.assertTrue(self.loaded(ROTATE_LABEL))

  def test_links_the_command_only_where_bin_is_roots_alone(self):
    bin_dir = staged(self.stage, f"{PREFIX}/bin")
    command = bin_dir / "tamso-helper"
    # name: (bin's owner, or None for no bin; what is at the command's name; whether the
    # link is made; what the install says)
    cases = {"no bin yet": (None, None, True, ""),
             "an earlier layout's binary, bin root's": (0, "binary", True, ""),
             "bin another account's": (65534, None, False, "not linked"),
             "given away after an install, the link replaced": (65534, "script", False,
                                                                "stale"),
             "another link there": (0, "link", False, str(command))}
    for name, (owner, there, linked, words) in cases.items():
      with self.subTest(name):
        shutil.rmtree(bin_dir, ignore_errors=True)
        if owner is not None:
          bin_dir.mkdir()
          os.chown(bin_dir, owner, 0)
        command.symlink_to("/bin/true") if there == "link" else there and command.write_text(
            f"#!/bin/sh\n# {there}\n")
        before = snapshot(bin_dir) if owner is not None else None
        done = self.run_script("install.sh")
        self.assert_succeeded(done)
        self.assertIn(words, done.stdout)
        if linked:
          self.assertEqual(os.readlink(command), "../libexec/tamso-helper/tamso-helper")
        else:
          self.assertEqual(snapshot(bin_dir), before)
          self.assertIn(f"{PREFIX}/libexec/tamso-helper/tamso-helper", done.stdout)

  def test_stops_at_the_first_failure(self):
    with self.subTest("nothing installed"):
      shutil.rmtree(self.stage)
      done = self.run_script("install.sh")
      self.assertEqual(done.returncode, 1)
      self.assertIn("cmake --install", done.stderr)
      self.assertEqual(self.calls(), [])
    stage_install(self.stage, PREFIX)
    # name: (the file in the stand-in's state, the exit, the calls made)
    cases = {"a label switched off is enabled first": (f"disabled-{LABEL}", 0,
                                                       self.LOAD + self.CHECK),
             # And five times again as it loads what is installed before it stops.
             "launchctl refuses the property list, five times": (
                 "refuse-bootstrap", 1, (self.LOAD[:1] + self.LOAD[1:2] * 5) * 2 +
                 self.LOAD[2:3] + self.LOAD[3:] * 5)}
    for name, (refusal, status, calls) in cases.items():
      with self.subTest(name):
        self.set_state(loaded=False)
        (self.state / refusal).touch()
        done = self.run_script("install.sh")
        self.assertEqual(done.returncode, status, done.stderr)
        self.assertEqual([words for words, _ in self.calls()], calls)
        if status:
          self.assertIn("Login Items > Allow in the Background", done.stderr)
        (self.state / refusal).unlink(missing_ok=True)


@needs_root("install.sh changes owners")
class InstallCheck(ScriptTestCase):
  """What install.sh finds once the daemon is loaded: launchd's view of the job (a
  print a second, at most TAMSO_WAIT seconds, 5 unless set), the daemon's log and
  the status report. It exits 0 only for a daemon that runs on a Mac whose charging
  it can switch, and leaves the installed files in place otherwise."""

  SMC_LOG = "cannot open AppleSMC\n" * 3
  OTHER_LOG = "tamso-helper daemon started (key CHTE)\nsomething else went wrong\n"

  def test_exits_0_only_for_a_running_daemon_that_can_switch_charging(self):
    # name: (launchd's answers, battery, inhibited, the daemon's log, status exit,
    #        expected exit, expected sleeps, words of the message on standard error)
    # A daemon seen running is watched for 21 seconds; each run that gets as far as the
    # write also watches the restarted daemon for two.
    cases = {
        "runs, charging allowed": (["running 412"], 81, 0, "", 0, 0, 23, []),
        "runs, charging paused": (["running 412"], 81, 1, "", 0, 0, 23, []),
        "launchd starts it late": (["scheduled", "scheduled", "running 412"], 81, 0, "",
                                   0, 0, 25, []),
        # A daemon that crashes a few seconds after each start, restarted by launchd.
        "it crashes 3.5 s after each start": (
            ["running 412"] * 4 + ["killed 11", "running 413"], 81, 0, "", 0, 1, 4,
            ["does not stay running", "(pid 412) was killed by signal 11 (Segmentation "
             "fault: 11)"]),
        "it exits 5 s after each start": (
            ["running 412"] * 6 + ["exited 1"], 81, 0, "", 0, 1, 6,
            ["does not stay running", "(pid 412) exited with status 1"]),
        "seen running twice, then gone": (
            ["running 412", "running 412", "exited 1"], 81, -1, self.SMC_LOG, 0, 1, 2,
            ["cannot open AppleSMC", "uninstall.sh"]),
        "restarted between the looks": (
            ["running 412", "running 412", "killed 9", "running 413"], 81, 0, "", 0, 1, 2,
            ["does not stay running", "(pid 412) was killed by signal 9 (Killed: 9)"]),
        # Stopped with 0, which launchd never restarts: it is started again.
        "gone by the stop that proves a write": (
            ["running 412"] * 22 + ["exited 0"], 81, 0, "", 0, 1, 21,
            ["the daemon was not running when its stop was to prove a write",
             "The daemon was started again, pid"]),
        "launchd's answer unreadable after the stop": (["running 412"], 81, 0, "", 0, 1, 21, [
            "cannot read launchd's view of org.tamso.helper", "something else"]),
        "the firmware refuses writes": (["running 412"], 81, 0, "", 0, 1, 21, [
            "the firmware refuses the writes", "exited with status 1",
            "cannot cap charging on this Mac", "uninstall.sh"]),
        "no AppleSMC: seen running once, then gone": (
            ["running 412", "exited 1"], 81, -1, self.SMC_LOG, 0, 1, 1,
            ["cannot open AppleSMC", "not a Mac laptop", "virtual machine",
             "uninstall.sh"]),
        "no AppleSMC: restarts throttled": (
            ["exited 1", "scheduled"], -1, -1, self.SMC_LOG, 0, 1, 5,
            ["cannot open AppleSMC", "uninstall.sh"]),
        "no battery": (["running 412"], -1, -1, "", 0, 1, 21,
                       ["no battery", "battery=-1", "uninstall.sh"]),
        "no charge key": (["running 412"], 81, -1, "", 0, 1, 21,
                          ["inhibited=-1", "Charge Limit", "System Settings",
                           "uninstall.sh"]),
        "the daemon does not stay running": (
            ["running 412", "exited 78"], 81, 0, self.OTHER_LOG, 0, 1, 1,
            ["does not stay running", "exited with status 78", "something else went wrong",
             "uninstall.sh"]),
        "a new pid at every look": (
            ["running 412", "running 413", "running 414", "running 415", "running 416",
             "running 417"], 81, 0, "", 0, 1, 1,
            ["does not stay running", "and launchd started it again"]),
        "status fails": (["running 412"], 81, 0, "", 1, 1, 21,
                         ["tamso-helper status failed", "uninstall.sh"]),
    }
    log = staged(self.stage, LOG)
    for name, (prints, battery, inhibited, log_text, status_fails, status, sleeps,
               words) in cases.items():
      with self.subTest(name):
        stuck = name == "the firmware refuses writes"
        garbled = name.startswith("launchd's answer unreadable")
        self.set_state(loaded=False, inhibited=inhibited, stuck=stuck)
        (self.state / "garble-after-kill").unlink(missing_ok=True)
        if garbled:
          (self.state / "garble-after-kill").touch()
        (self.state / "battery").write_text(f"{battery}\n")
        (self.state / "daemon-prints").write_text("".join(f"{p}\n" for p in prints))
        (self.state / "status-fails").unlink(missing_ok=True)
        if status_fails:
          (self.state / "status-fails").touch()
        log.parent.mkdir(parents=True, exist_ok=True)
        log.write_text(log_text)
        done = self.run_script("install.sh")
        self.assertEqual(done.returncode, status, done.stdout + done.stderr)
        message = " ".join(done.stderr.split())
        for word in words:
          self.assertIn(word, message)
        if status == 0:
          self.assertEqual(done.stderr, "")
          self.assertIn(f"done: tamso-helper {VERSION} runs, its charging state reads, and "
                        "a switch was written", done.stdout)
        else:
          self.assertNotIn("done:", done.stdout)
          self.assertEqual("firmware refuses" in message, stuck)
        made = self.calls(sleeps=True)
        self.assertEqual(sum(1 for words, _ in made if words == "sleep 1"), sleeps)
        # Whatever it found, it went as far as the status report, and a write only after
        # a sound one, with every file in place for uninstall.sh.
        made = [call for call in made if not call[0].startswith("sleep")]
        after = made[made.index(("tamso-helper status", len(self.installed))) + 1:]
        restarted = stuck or name.startswith("gone by the stop")
        self.assertEqual([words for words, _ in after],
                         Install.CHECK[1:3] if status == 0 else
                         Install.CHECK[1:2 if stuck or garbled else 1] +
                         Install.CHECK[2:3] * restarted)
        self.assertTrue(self.loaded())

  def test_the_watch_can_be_shortened_to_three_looks(self):
    # TAMSO_WAIT: (the exit, the sleeps of the watch and the restart's, the words of a
    # refusal before anything is done)
    cases = {"3": (0, 3 + 2, None), "2": (0, 2 + 2, None),
             "1": (1, 0, "TAMSO_WAIT must be at least 2 seconds"),
             "0": (1, 0, "TAMSO_WAIT must be at least 2 seconds"),
             "x": (1, 0, "TAMSO_WAIT must be a number of seconds")}
    for wait, (status, sleeps, refusal) in cases.items():
      with self.subTest(wait=wait):
        self.set_state(loaded=False)
        done = self.run_script("install.sh", environment={"TAMSO_WAIT": wait})
        self.assertEqual(done.returncode, status, done.stderr)
        made = self.calls(sleeps=True)
        self.assertEqual(sum(1 for w, _ in made if w.startswith("sleep")), sleeps)
        if refusal:
          self.assertIn(refusal, done.stderr)
          self.assertEqual(made, [])


@needs_root("install.sh changes owners")
class InstallNeverThroughALink(ScriptTestCase):
  """A symbolic link, or anything but a plain file or folder, at a path install.sh
  gives to root stops it before it changes anything: the link's target keeps its
  owner and mode."""

  def paths(self):
    scripts = f"{PREFIX}/libexec/tamso-helper"
    return {
        "program": (f"{scripts}/tamso-helper", "file"),
        "manual page": (f"{scripts}/tamso-helper.8", "file"),
        "property list": (PLIST, "file"),
        "rotation's property list": (ROTATE_PLIST, "file"),
        "scripts folder": (scripts, "folder"),
        "install.sh": (f"{scripts}/install.sh", "file"),
        "uninstall.sh": (f"{scripts}/uninstall.sh", "file"),
        "install tool": (f"{scripts}/tamso-setup", "file"),
        "log": (LOG, "file"),
        "rotation's log": (ROTATE_LOG, "file"),
        "limit folder": (LIMIT_DIR, "folder"),
        "limit file": (LIMIT_FILE, "file"),
    }

  def setUp(self):
    super().setUp()
    for path in (LOG, ROTATE_LOG, LIMIT_FILE):
      staged(self.stage, path).parent.mkdir(parents=True, exist_ok=True)
      staged(self.stage, path).write_text("")

  def victim(self, kind):
    """Someone else's private file or folder, which a chmod through a link would make
    root's and readable by everyone."""
    victim = self.tmp / f"victim-{kind}"
    if kind == "file":
      victim.write_text("private\n")
    else:
      victim.mkdir()
      (victim / "inside").write_text("private\n")
    os.chown(victim, 65534, 65534)
    victim.chmod(0o600 if kind == "file" else 0o700)
    return victim

  def check_refused(self, path, words):
    before = snapshot(self.stage)
    done = self.run_script("install.sh")
    self.assertEqual(done.returncode, 1, done.stdout)
    self.assertIn(f"tamso-setup: {path}: {words}", done.stderr)
    self.assertIn("nothing changed", done.stderr)
    self.assertEqual(self.calls(), [])
    self.assertEqual(snapshot(self.stage), before)

  def test_a_link_at_each_path_is_refused_and_its_target_untouched(self):
    for name, (target, kind) in self.paths().items():
      with self.subTest(name):
        path = staged(self.stage, target)
        saved = self.tmp / "saved"
        path.rename(saved)
        victim = self.victim(kind)
        path.symlink_to(victim)
        try:
          self.check_refused(path, "is a symbolic link")
          info = victim.lstat()
          self.assertEqual((info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)),
                           (65534, 65534, 0o600 if kind == "file" else 0o700))
        finally:
          path.unlink()
          saved.rename(path)
          shutil.rmtree(victim) if victim.is_dir() else victim.unlink()

  def test_anything_but_a_plain_file_or_folder_is_refused(self):
    for name, (target, kind) in self.paths().items():
      with self.subTest(name):
        path = staged(self.stage, target)
        saved = self.tmp / "saved"
        path.rename(saved)
        if kind == "file":
          os.mkfifo(path)
        else:
          path.write_text("")
        try:
          self.check_refused(path, "is not a plain file" if kind == "file" else "is not a folder")
        finally:
          path.unlink()
          saved.rename(path)

  def test_a_second_name_stops_only_a_file_root_would_take_over(self):
    # Another account can give any of root's files a second name on a Mac's volume: that
    # stops nothing, and the other name is never written. Given to root, another
    # account's file would give its other name, which could be anywhere, too.
    installed = f"{PREFIX}/libexec/tamso-helper/tamso-helper"
    other = self.tmp / "other-name"
    archive = staged(self.stage, LOG + ".0")
    archive.write_text("the last hour's lines\n")
    for name, (target, kind) in [*self.paths().items(), ("archive", (LOG + ".0", "file"))]:
      if kind == "file":
        with self.subTest(name):
          os.link(staged(self.stage, target), other)
          before = other.read_bytes()
          self.assert_succeeded(self.run_script("install.sh"))
          self.calls()
          self.assertEqual((other.read_bytes(), staged(self.stage, target).exists()),
                           (before, True))
          other.unlink()
    with self.subTest("another account's, with a second name"):
      os.chown(staged(self.stage, installed), 65534, 65534)
      os.link(staged(self.stage, installed), other)
      self.check_refused(staged(self.stage, installed), "has 2 hard links")

  def test_folders_another_account_may_write_are_refused(self):
    # name: (the folder on the way to what root runs, how it is opened to others)
    cases = {"the program's, another owner's": (f"{PREFIX}/libexec/tamso-helper", "owner"),
             "the prefix, writable by its group": (PREFIX, 0o775),
             "the property lists', writable by all": ("/Library/LaunchDaemons", 0o777),
             "libexec, writable by all": (f"{PREFIX}/libexec", 0o777),
             "the root, writable by all but sticky": ("", 0o1777),
             "the program's, a link": (f"{PREFIX}/libexec/tamso-helper", "link"),
             "the property lists', with an ACL entry for nobody": ("/Library/LaunchDaemons",
                                                                   "acl"),
             "the logs', another owner's": (LOG_DIR, "owner"),
             "the logs', writable by its group": (LOG_DIR, 0o775),
             "the logs', a link": (LOG_DIR, "link")}
    for name, (folder, how) in cases.items():
      # install.sh, and the package's check before it lays anything down.
      for command in (("install.sh",), ("tamso-setup", "preflight")):
        with self.subTest(name, command=command):
          path = staged(self.stage, folder)
          with self.opened_to_others(path, how):
            before = snapshot(self.stage)
            done = self.run_script(*command)
            self.assertEqual(done.returncode, 1, done.stdout)
            self.assertIn(f"tamso-setup: {path}", done.stderr)
            self.assertIn("nothing changed", done.stderr)
            self.assertEqual(self.calls(), [])
            self.assertEqual(snapshot(self.stage), before)
    # Where the package has laid nothing down yet, its check passes.
    shutil.rmtree(staged(self.stage, "/usr"))
    self.assert_succeeded(self.run_script("tamso-setup", "preflight"))

  def test_a_plain_install_still_succeeds(self):
    # The refusals above come from the links, not from the paths themselves.
    self.assert_succeeded(self.run_script("install.sh"))


@needs_root("install.sh changes owners")
class OddPrefix(ScriptTestCase):
  """A prefix with blanks and with characters the shell would expand: the scripts
  find the installed files there, and run nothing the prefix names."""

  def test_install_and_uninstall_under_it(self):
    marker = self.tmp / "ran"
    prefix = f'/opt/my tamso & <co> "q" $(touch {marker.name}) `touch {marker.name}` $HOME'
    shutil.rmtree(self.stage)
    stage_install(self.stage, prefix)
    for name in ("install.sh", "uninstall.sh"):
      shutil.copy(staged(self.stage, f"{prefix}/libexec/tamso-helper/{name}"),
                  self.scripts / name)
    self.installed = [staged(self.stage, p) for p in expected_layout(prefix)]
    (self.state / "watch").write_text("".join(f"{p}\n" for p in self.installed))
    done = self.run_script("install.sh", cwd=self.tmp)
    self.assert_succeeded(done)
    for path, mode in expected_layout(prefix).items():
      info = staged(self.stage, path).stat()
      self.assertEqual((info.st_uid, stat.S_IMODE(info.st_mode)), (0, mode), path)
    self.assert_succeeded(self.run_script("uninstall.sh", cwd=self.tmp))
    self.assertEqual([p for p in self.stage.rglob("*") if not p.is_dir()], [])
    self.assertFalse(marker.exists(), "the prefix ran a command")


@needs_root("uninstall.sh removes root's files")
class Uninstall(ScriptTestCase):

  def setUp(self):
    super().setUp()
    # A running daemon that has paused charging at a limit of 80, and a log with an
    # archive of an earlier rotation.
    self.set_state(loaded=True, inhibited=1)
    self.limit = staged(self.stage, LIMIT_FILE)
    self.limit.parent.mkdir(parents=True)
    self.limit.write_text("80\n")
    self.log = staged(self.stage, LOG)
    self.log.parent.mkdir(parents=True)
    self.log.write_text("tamso-helper daemon started (key CHTE)\n")
    Path(f"{self.log}.0").write_text("an earlier line\n")
    staged(self.stage, ROTATE_LOG).write_text("tamso-setup: a failure\n")
    # The lock that setlimit takes, root's alone.
    self.lock = staged(self.stage, LIMIT_LOCK)
    self.lock.touch(mode=0o600)
    # The rotation's lock.
    self.log_lock = staged(self.stage, LOG_LOCK)
    self.log_lock.touch(mode=0o600)

  def remaining_files(self):
    return sorted(str(p) for p in self.stage.rglob("*") if not p.is_dir())

  def test_switches_charging_on_before_removing_anything(self):
    (self.state / "receipt").touch()
    done = self.run_script("uninstall.sh")
    self.assert_succeeded(done)
    n = len(self.installed)
    # Every call sees all installed files still there.
    self.assertEqual(self.calls(), [
        (f"launchctl bootout {ROTATE_SERVICE}", n),
        (f"launchctl bootout {SERVICE}", n),
        ("tamso-helper status", n),
        # Before these scripts and the tool go, the last four.
        (f"pkgutil --volume {self.stage} --forget {LABEL}", 4),
    ])
    self.assertFalse(self.loaded())
    self.assertFalse(self.loaded(ROTATE_LABEL))
    self.assertEqual(self.remaining_files(), [])
    self.assertFalse(staged(self.stage, LIMIT_DIR).exists(), "the limit's folder stays")
    self.assertFalse(os.path.lexists(self.log_lock), "the rotation's lock stays")
    self.assertFalse(staged(self.stage, LOG_DIR).exists(), "the logs' folder stays")

  def test_second_run_finds_nothing_to_do(self):
    self.assert_succeeded(self.run_script("uninstall.sh"))
    self.calls()
    done = self.run_script("uninstall.sh")
    self.assert_succeeded(done)
    self.assertEqual(self.calls(), [])
    self.assertEqual(self.remaining_files(), [])

  def test_keep_limit_leaves_the_limit_stored_before(self):
    with self.subTest("a limit of 80 was stored"):
      self.assert_succeeded(self.run_script("uninstall.sh", "--keep-limit"))
      # The lock may stay beside the limit.
      self.assertEqual([p for p in self.remaining_files() if p != str(self.lock)],
                       [str(self.limit)])
      self.assertEqual(self.limit.read_text(), "80\n")
      info = self.limit.lstat()
      self.assertEqual((stat.S_ISREG(info.st_mode), stat.S_IMODE(info.st_mode)),
                       (True, 0o644))
    with self.subTest("no limit was stored"):
      stage_install(self.stage, PREFIX)
      self.limit.unlink()
      self.lock.touch(mode=0o600)
      self.set_state(loaded=True, inhibited=0)
      self.assert_succeeded(self.run_script("uninstall.sh", "--keep-limit"))
      self.assertEqual(self.remaining_files(), [])
      self.assertFalse(staged(self.stage, LIMIT_DIR).exists(), "the limit's folder stays")

  def test_a_link_or_anything_odd_at_the_stored_limit_stops_it_before_any_change(self):
    # The limit and its folder as they are, kept to put back; someone else's private
    # file and folder, which a link would have read, overwritten or emptied.
    limit_dir = staged(self.stage, LIMIT_DIR)
    kept = self.tmp / "kept"
    victim = self.tmp / "victim"

    def link_folder():
      limit_dir.rename(victim)
      limit_dir.symlink_to(victim)

    def link_file():
      victim.write_text("private\n")
      self.limit.unlink()
      self.limit.symlink_to(victim)

    def folder_is_a_file():
      shutil.rmtree(limit_dir)
      limit_dir.write_text("")

    def file_is_a_folder():
      self.limit.unlink()
      self.limit.mkdir()

    def kept_hard_linked():
      victim.write_text("80\n")
      victim.chmod(0o600)
      os.link(victim, limit_dir / "limit.kept")

    # name: (the change, the path named, the words)
    cases = {"a link at the folder": (link_folder, limit_dir, "is a symbolic link"),
             "a link at the file": (link_file, self.limit, "is a symbolic link"),
             "a file at the folder": (folder_is_a_file, limit_dir, "is not a folder"),
             "a folder at the file": (file_is_a_folder, self.limit, "is not a plain file"),
             "a second name of the kept limit": (kept_hard_linked, limit_dir / "limit.kept",
                                                 "has 2 hard links")}
    for name, (change, path, words) in cases.items():
      for arguments in ((), ("--keep-limit",)):
        with self.subTest(name, arguments=arguments):
          shutil.copytree(limit_dir, kept)
          change()
          before = (snapshot(self.stage), snapshot(self.tmp / "victim") if
                    victim.is_dir() else victim.exists() and victim.read_text())
          done = self.run_script("uninstall.sh", *arguments)
          self.assertEqual(done.returncode, 1, done.stdout)
          self.assertIn(f"tamso-setup: {path}: {words}", done.stderr)
          self.assertIn("nothing changed", done.stderr)
          self.assertEqual(self.calls(), [])
          self.assertEqual((snapshot(self.stage), snapshot(self.tmp / "victim") if
                            victim.is_dir() else victim.exists() and victim.read_text()),
                           before)
          for leftover in (limit_dir, victim):
            if leftover.is_symlink() or leftover.is_file():
              leftover.unlink()
            elif leftover.exists():
              shutil.rmtree(leftover)
          kept.rename(limit_dir)

  def test_the_stored_limit_stays_the_users_on_every_way_out(self):
    victim = self.tmp / "victim"
    kept = staged(self.stage, LIMIT_DIR + "/limit.kept")
    # name: (the stand-ins' state files, the exit, words on standard error)
    cases = {
        "the daemon's bootout is refused": ([f"refuse-bootout-{LABEL}"], 1, [
            f"bootout of {LABEL}: still loaded 20 seconds later: nothing removed; changed "
            f"so far: {ROTATE_LABEL} booted out of launchd"]),
        "charging stays inhibited": (["stuck"], 1, ["inhibited=1", "nothing removed"]),
        "a link put in place of the limit meanwhile": (["stuck", "plant-link"], 1, [
            f"tamso-setup: {self.limit}: is a symbolic link",
            f"the stored limit is still in {kept}"]),
        "a run killed while it held the limit": ([], 0, []),
        "a signal after the daemon's bootout": ([], 1, [
            f"stopped by a signal; changed so far: {ROTATE_LABEL} booted out of launchd"]),
    }
    for name, (files, status, words) in cases.items():
      with self.subTest(name):
        stage_install(self.stage, PREFIX)
        self.set_state(loaded=True, inhibited=1)
        victim.write_text("private\n")
        for file in files:
          (self.state / file).write_text(str(victim))
        if name.startswith("a run killed"):
          self.limit.write_text("100\n")
          kept.write_text("80\n")
        if name.startswith("a signal"):
          (self.state / "signal-after").write_text(f"bootout {SERVICE}\nTERM\n")
        done = self.run_script("uninstall.sh", "--keep-limit")
        self.assertEqual(done.returncode, status, done.stdout + done.stderr)
        for word in words:
          self.assertIn(word, " ".join(done.stderr.split()))
        self.assertEqual(victim.read_text(), "private\n")
        if self.limit.is_symlink():
          # Kept, and put back by the next run once the link is gone.
          self.assertEqual(kept.read_text(), "80\n")
          for leftover in (self.limit, self.state / "stuck", self.state / "plant-link"):
            leftover.unlink()
          self.assert_succeeded(self.run_script("uninstall.sh", "--keep-limit"))
        self.assertEqual(self.limit.read_text(), "80\n")
        self.assertFalse(kept.exists())
        for file in ["stuck", "plant-link", "signal-after", *files]:
          (self.state / file).unlink(missing_ok=True)

  def test_refuses_to_remove_files_while_charging_is_inhibited(self):
    # A firmware that ignores the switch: charging stays paused.
    self.set_state(stuck=True)
    before = self.remaining_files()
    done = self.run_script("uninstall.sh")
    self.assertEqual(done.returncode, 1)
    self.assertIn("inhibited=1", done.stderr)
    self.assertIn("nothing removed", done.stderr)
    self.assertEqual([words for words, _ in self.calls()], [
        f"launchctl bootout {ROTATE_SERVICE}", f"launchctl bootout {SERVICE}",
        "tamso-helper status", "tamso-helper setlimit 100", "tamso-helper status"])
    self.assertEqual(self.remaining_files(), before)
    self.assertEqual(self.limit.read_text(), "80\n")

  def test_leaves_a_command_in_bin_that_is_not_its_link_and_says_so(self):
    command = staged(self.stage, f"{PREFIX}/bin/tamso-helper")
    command.parent.mkdir(exist_ok=True)
    for there in ("a script", "another link"):
      with self.subTest(there):
        stage_install(self.stage, PREFIX)
        command.symlink_to("/bin/true") if there == "another link" else command.write_text("")
        done = self.run_script("uninstall.sh")
        self.assert_succeeded(done)
        self.assertIn(str(command), done.stdout)
        self.assertTrue(os.path.lexists(command))
        command.unlink()

  def test_unknown_charge_keys_warn_and_go_on(self):
    self.set_state(stuck=True, inhibited=-1)
    done = self.run_script("uninstall.sh")
    self.assert_succeeded(done)
    self.assertIn("inhibited=-1", done.stderr)
    self.assertEqual(self.remaining_files(), [])


class RotateTestCase(ScriptTestCase):
  """The hourly rotation, with the daemon played by the test: a file opened on the log,
  as launchd opens it (O_APPEND), that keeps writing into the same file."""

  ROTATE_AT = 512 * 1024

  def setUp(self):
    super().setUp()
    self.set_state(loaded=True)
    self.log = staged(self.stage, LOG)
    self.log.parent.mkdir(parents=True)
    self.log.touch()
    self.lock = staged(self.stage, LOG_LOCK)
    self.lock.touch(mode=0o600)
    self.daemons = 0

  def archive(self, suffix):
    return Path(f"{self.log}.{suffix}")

  def start_daemon(self):
    """A new daemon, writing into the log as it is now."""
    self.daemons += 1
    return self.log.open("a")

  def fill(self, daemon, size):
    """Writes lines until the file the daemon holds has `size` bytes; returns them."""
    number, written = 0, []
    while os.fstat(daemon.fileno()).st_size < size:
      line = f"2026-03-01 09:15:02 daemon {self.daemons} line {number}\n"
      daemon.write(line)
      daemon.flush()
      written.append(line)
      number += 1
    return "".join(written)

  def files(self):
    return sorted(p.name for p in self.log.parent.iterdir())

  def rotation_due(self):
    """A log due for rotation, and the archive of the previous one; returns its lines."""
    self.archive(0).write_text("the previous lines\n")
    daemon = self.start_daemon()
    lines = self.fill(daemon, self.ROTATE_AT)
    daemon.close()
    return lines


@needs_root("the rotation works in root's folder")
class Rotate(RotateTestCase):

  def test_a_log_below_512_kb_is_left_alone(self):
    daemon = self.start_daemon()
    self.fill(daemon, self.ROTATE_AT - 100)
    before = snapshot(self.stage)
    self.assert_succeeded(self.run_script("rotate"))
    daemon.close()
    self.assertEqual(self.calls(), [])
    self.assertEqual(snapshot(self.stage), before)

  def test_truncates_the_log_in_place_without_a_restart_and_loses_no_line(self):
    daemon = self.start_daemon()
    archived = []
    for _ in range(4):
      archived.append(self.log.read_text() + self.fill(daemon, self.ROTATE_AT))
      self.assert_succeeded(self.run_script("rotate"))
      # The daemon's next line lands at the start of the emptied log.
      daemon.write("the next line\n")
      daemon.flush()
      self.assertEqual(self.log.read_text(), "the next line\n")
    self.assertEqual(self.calls(), [])
    self.assertEqual(self.files(), ["tamso-helper.lock", "tamso-helper.log",
                                    "tamso-helper.log.0", "tamso-helper.log.1"])
    self.assertEqual([self.archive(1).read_text(), self.archive(0).read_text()], archived[2:])

  def test_never_writes_through_a_link_at_the_log_path(self):
    # Someone else's file, which a write through the link would truncate.
    victim = self.tmp / "victim"
    victim.write_text("x" * self.ROTATE_AT)
    os.chown(victim, 65534, 65534)
    victim.chmod(0o600)
    self.log.unlink()
    self.log.symlink_to(victim)
    done = self.run_script("rotate")
    self.assertEqual(done.returncode, 1)
    self.assertIn(f"tamso-setup: {self.log}: is a symbolic link", done.stderr)
    self.assertEqual((victim.read_text(), victim.stat().st_uid, self.files()),
                     ("x" * self.ROTATE_AT, 65534, ["tamso-helper.lock", "tamso-helper.log"]))


@needs_root("the rotation works in root's folder")
class RotateRefusalsAndLock(RotateTestCase):
  """What stops a rotation: anything but a plain file where it copies or truncates, a
  folder others may write, or another run holding the lock."""

  def assert_one_line(self, done, status, words):
    self.assertEqual(done.returncode, status, done.stderr)
    self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
    self.assertTrue(done.stderr.startswith("tamso-setup: "), done.stderr)
    self.assertIn(words, done.stderr)

  def test_anything_but_a_plain_file_at_the_log_is_refused(self):
    for suffix in ("",):
      for kind in ("folder", "fifo"):
        with self.subTest(path=f"log{suffix}", kind=kind):
          self.rotation_due()
          path = Path(f"{self.log}{suffix}")
          if path.exists():
            path.unlink()
          os.mkdir(path) if kind == "folder" else os.mkfifo(path)
          before = snapshot(self.stage)
          done = self.run_script("rotate")
          self.assert_one_line(done, 1, f"tamso-setup: {path}: ")
          self.assertEqual(snapshot(self.stage), before)
          os.rmdir(path) if kind == "folder" else path.unlink()

  def test_each_failure_is_one_line_and_the_log_keeps_its_lines(self):
    # The call of the simulated Mac's that fails: the archives' shift, the new archive's
    # owner, the truncation.
    for call in ("renameat", "fchown", "ftruncate"):
      with self.subTest(call):
        self.log.write_text("")
        lines = self.rotation_due()
        done = self.run_script("rotate", environment={"SIMMAC_FAIL_NEXT": call})
        self.assert_one_line(done, 1, "Input/output error")
        self.assertEqual(self.log.read_text(), lines)

  def test_a_lock_held_leaves_the_rotation_to_its_holder_and_dies_with_it(self):
    lines = self.rotation_due()
    holder = subprocess.Popen(["python3", "-c", "import fcntl, sys, time; f = open(sys.argv[1]); "
                               "fcntl.flock(f, fcntl.LOCK_EX); print(flush=True); time.sleep(30)",
                               self.lock], stdout=subprocess.PIPE)
    self.addCleanup(holder.wait)
    holder.stdout.readline()
    before = snapshot(self.stage)
    self.assertEqual(self.run_script("rotate").returncode, 0)
    self.assertEqual(snapshot(self.stage), before)
    # Killed outright, the holder lets go: the next run rotates.
    holder.kill()
    holder.wait()
    self.assert_succeeded(self.run_script("rotate"))
    self.assertEqual((self.archive(0).read_text(), self.log.read_text()), (lines, ""))

  def test_ten_runs_at_once_rotate_once_and_no_other_account_blocks_them(self):
    if not have_setpriv():
      self.skipTest("no setpriv to run a process as nobody")
    # Named as the rotation, run by another account, it cannot even open the lock.
    squatter = as_nobody("python3", "-c", "import time; time.sleep(30)",
                         str(self.scripts / "tamso-setup"), "rotate")
    self.addCleanup(squatter.wait)
    self.addCleanup(squatter.kill)
    lines = self.rotation_due()
    runs = [subprocess.Popen([self.scripts / "tamso-setup", "rotate"],
                             env={"TAMSO_ROOT": str(self.stage)}) for _ in range(10)]
    self.assertEqual([run.wait(timeout=60) for run in runs], [0] * 10)
    self.assertEqual((self.archive(0).read_text(), self.log.read_text(),
                      self.archive(1).read_text()), (lines, "", "the previous lines\n"))

  def test_a_logs_folder_others_may_write_is_refused(self):
    for how in ("owner", 0o775, "link", "acl"):
      with self.subTest(how=how), self.opened_to_others(self.log.parent, how):
        self.rotation_due()
        before = snapshot(self.stage)
        self.assert_one_line(self.run_script("rotate"), 1, f"tamso-setup: {self.log.parent}")
        self.assertEqual((self.calls(), snapshot(self.stage)), ([], before))

  def test_anything_but_roots_plain_file_at_the_lock_path_is_refused(self):
    victim = self.tmp / "victim"
    victim.mkdir(mode=0o700)
    os.chown(victim, 65534, 65534)
    cases = {"a link to a folder": lambda: self.lock.symlink_to(victim),
             "a dangling link": lambda: self.lock.symlink_to(self.tmp / "none"),
             "a folder": self.lock.mkdir,
             "another account's file": lambda: (self.lock.touch(), os.chown(self.lock, 65534, 0))}
    for name, make in cases.items():
      with self.subTest(name):
        self.rotation_due()
        self.lock.unlink()
        make()
        before = snapshot(self.stage)
        self.assert_one_line(self.run_script("rotate"), 1, f"tamso-setup: {self.lock}: ")
        self.assertEqual(snapshot(self.stage), before)
        self.lock.rmdir() if name == "a folder" else self.lock.unlink()
        self.lock.touch(mode=0o600)
    self.assertEqual(list(victim.iterdir()), [])
    self.assertEqual(victim.stat().st_uid, 65534)


class Refusals(ScriptTestCase):
  """A run that may not act changes nothing and calls nothing."""

  def check_unchanged(self, name, *arguments, status, message, as_nobody):
    before = snapshot(self.tmp)
    done = self.run_script(name, *arguments, as_nobody=as_nobody)
    self.assertEqual(done.returncode, status, done.stderr)
    self.assertIn(message, done.stderr)
    self.assertEqual(self.calls(), [])
    self.assertEqual(snapshot(self.tmp), before)

  def test_without_root_nothing_changes(self):
    if os.geteuid() == 0 and not have_setpriv():
      self.skipTest("running as root without setpriv to drop the rights")
    as_nobody = os.geteuid() == 0
    self.set_state(loaded=True, inhibited=1)
    for name in ("install.sh", "uninstall.sh", "rotate"):
      with self.subTest(name):
        self.check_unchanged(name, status=1, message="must run as root" if name != "rotate"
                             else "tamso-setup: ", as_nobody=as_nobody)

  def test_unknown_option_changes_nothing(self):
    self.set_state(loaded=True, inhibited=1)
    for name, option in (("uninstall.sh", "--keep"), ("install.sh", "--pre")):
      self.check_unchanged(name, option, status=2, message="usage:", as_nobody=False)


def under(shell, *classes):
  """Each class again, its scripts run by SHELL started as sh."""
  for base in classes:
    name = f"{base.__name__}Under{shell.title()}"
    globals()[name] = unittest.skipUnless(shutil.which(shell), f"{shell} is not installed")(
        type(name, (base,), {"shell": shell, "__doc__": base.__doc__}))


# A Mac's /bin/sh is bash 3.2 in POSIX mode, and zsh as sh on some.
under("bash", Install, InstallCheck, InstallNeverThroughALink, OddPrefix, Uninstall, Refusals)
under("zsh", Install, InstallCheck, InstallNeverThroughALink, OddPrefix, Uninstall)


@unittest.skipUnless(shutil.which("shellcheck"), "shellcheck is not installed")
class Lint(ScriptTestCase):

  def test_scripts_are_clean_posix_sh(self):
    # -x: each script with the functions it sources from beside it.
    done = subprocess.run(["shellcheck", "-x", "--shell=sh", "--severity=warning",
                           "install.sh", "uninstall.sh", "launchd.sh"],
                          capture_output=True, text=True, timeout=60, cwd=self.scripts)
    self.assertEqual(done.returncode, 0, done.stdout + done.stderr)


if __name__ == "__main__":
  main()
