#!/usr/bin/env python3
"""install.sh and uninstall.sh, run on a staged install against recording stand-ins for
launchctl and for tamso-helper: the calls come in the right order, uninstall switches
charging back on before it removes anything, a second run is harmless, and a run
without root changes nothing."""

import bz2
import contextlib
import hashlib
import os
import shutil
import stat
import subprocess
import unittest
from pathlib import Path

from distsupport import (LABEL, LIMIT_DIR, LIMIT_FILE, LIMIT_LOCK, LOG, LOG_DIR, OLD_RULE, PLIST,
                         ROTATE_LABEL, ROTATE_LOCK, ROTATE_LOG, ROTATE_PLIST, VERSION,
                         StagedTestCase, as_sh,
                         expected_layout, main, needs_root, stage_install, staged)

PREFIX = "/usr/local"
SERVICE = f"system/{LABEL}"
ROTATE_SERVICE = f"system/{ROTATE_LABEL}"

# launchd's side, as far as the scripts can see it: which jobs are loaded (a file
# loaded-LABEL each), and its refusals. bootstrap refuses a loaded job, a label switched
# off (a file disabled-LABEL, which enable removes), and a property list that root does
# not own or others may write, as launchd does. Booting the daemon out, or killing it
# with SIGTERM, stops it, and its stop switches charging on and exits 0, unless the
# firmware refuses the switch ("stuck"), when it exits 1. A kickstart can be made to fail
# while the job is loaded ("refuse-kickstart"); it starts the daemon under a new pid,
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
  [ -e "$state/refuse-kickstart" ] &&
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
    for name in ("install.sh", "uninstall.sh", "rotate", "launchd.sh", "limit.sh"):
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
    # chmod -h as a Mac's: it changes a link itself, never what it points to; this
    # system's chmod has no -h.
    (self.stand_ins / "chmod").write_text(f"""#!/bin/sh
[ "$1" = -h ] || exec {shutil.which("chmod")} "$@"
mode=$2
shift 2
for file in "$@"; do
  [ -L "$file" ] || {shutil.which("chmod")} "$mode" "$file" || exit
done
""")
    (self.stand_ins / "chmod").chmod(0o755)
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
    environment: variables to add."""
    # Its pid, for a signal after a call (see the launchctl stand-in).
    command = ["sh", "-c", '[ ! -e "$FAKE_STATE/signal-after" ] || '
               'echo $$ >"$FAKE_STATE/script-pid"; exec "$@"', "sh",
               self.sh, str(self.script(name)), *arguments]
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
    """The folder at path as another account could have it: its own ("owner"),
    writable (a mode), or a link to the folder, moved aside ("link"); put back after."""
    mode, real = path.stat().st_mode, Path(f"{path}.real")
    if how == "link":
      path.rename(real)
      path.symlink_to(real)
    else:
      os.chown(path, 65534, 0) if how == "owner" else path.chmod(how)
    try:
      yield
    finally:
      if how == "link":
        path.unlink()
        real.rename(path)
      os.chown(path, 0, 0)
      path.chmod(mode)

  def script(self, name):
    """The copy of a script outside the stage (uninstall removes the staged ones); the
    rotation is run where it is installed, the path that tells a run of it by ps."""
    if name == "rotate":
      return staged(self.stage, f"{PREFIX}/libexec/tamso-helper/rotate")
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
    for path in [*self.installed, limit, limit.parent]:
      os.chown(path, 65534, 65534)
      path.chmod(0o666 if path.is_file() else 0o777)
    # An earlier install's logs beside other programs', with its rotation's lock and
    # record.
    old = staged(self.stage, "/Library/Logs")
    old.mkdir(parents=True)
    for name, text in (("tamso-helper.log", "a line\n"), ("tamso-helper.log.1.bz2", "BZh9"),
                       ("tamso-helper.rotate.log", "rotate: a failure\n"),
                       ("tamso-helper.log.0.pid", "412\n")):
      (old / name).write_text(text)
    (old / "tamso-helper.rotate.lock").mkdir()
    done = self.run_script("install.sh")
    self.assert_succeeded(done)
    n = len(self.installed)
    self.assertEqual(self.calls(), [(words, n) for words in self.LOAD + self.CHECK])
    self.assertEqual(sorted(p.name for p in old.iterdir()), ["tamso-helper"])
    self.assertEqual([(staged(self.stage, LOG).read_text()),
                      (old / "tamso-helper/tamso-helper.log.1.bz2").read_text()],
                     ["a line\n", "BZh9"])
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

  def test_a_kept_limit_is_put_back_only_when_it_is_one(self):
    # What an interrupted uninstall.sh left in limit.kept beside a stored 70: the limit
    # stored once install.sh, or uninstall.sh --keep-limit, has run (None: the 70 stays,
    # and limit.kept is set aside, whole).
    cases = {"80": 80, "100": 100, "999": None, "abc": None, "0": None, "-5": None,
             "": None, "ten megabytes": None}
    limit = staged(self.stage, LIMIT_FILE)
    kept = limit.parent / "limit.kept"
    for script, arguments in (("install.sh", ()), ("uninstall.sh", ("--keep-limit",))):
      for text, stored in cases.items():
        with self.subTest(script=script, kept=text):
          stage_install(self.stage, PREFIX)
          limit.parent.mkdir(parents=True, exist_ok=True)
          limit.write_text("70\n")
          text = "7" * 10_000_000 if text == "ten megabytes" else text and f"{text}\n"
          kept.write_text(text)
          done = self.run_script(script, *arguments)
          self.assert_succeeded(done)
          self.assertEqual((limit.read_text(), kept.exists()), (f"{stored or 70}\n", False))
          aside = list(limit.parent.glob("limit.kept.refused.*"))
          self.assertEqual([p.read_text() for p in aside], [] if stored else [text])
          self.assertLess(len(done.stdout + done.stderr), 5000, "the kept file was shown")
          for path in aside:
            path.unlink()

  def test_a_stop_by_a_signal_leaves_the_daemon_loaded_and_running(self):
    plist = staged(self.stage, PLIST)
    # name: (the call after which the signal comes, the signal)
    cases = {"TERM just after the daemon's bootout": (f"bootout {SERVICE}", "TERM"),
             "TERM just after the daemon's bootstrap": (f"bootstrap system {plist}", "TERM"),
             "INT just after the stop that proves a write": (f"kill SIGTERM {SERVICE}",
                                                             "INT"),
             "KILL just after the daemon's bootout": (f"bootout {SERVICE}", "KILL"),
             # The job still stopping when the signal comes.
             "TERM during the daemon's bootout": (f"bootout {SERVICE}", "TERM linger"),
             "INT during the stop that proves a write": (f"kill SIGTERM {SERVICE}",
                                                         "INT linger")}
    for name, (call, signal) in cases.items():
      with self.subTest(name):
        self.set_state(loaded=True)
        signal, _, linger = signal.partition(" ")
        (self.state / "linger").unlink(missing_ok=True)
        if linger:
          (self.state / "linger").touch()
        (self.state / "signal-after").write_text(f"{call}\n{signal}\n")
        done = self.run_script("install.sh")
        self.calls()
        if signal == "KILL":
          self.assertEqual(done.returncode, -9)
          self.assertFalse(self.loaded())
          done = self.run_script("install.sh")
          self.assert_succeeded(done)
          self.assertTrue(done.stdout.startswith("install.sh: found a half-finished install"))
        else:
          self.assertEqual(done.returncode, 1, done.stderr)
          self.assertIn("stopped by a signal during step", done.stderr)
          self.assertIn("run install.sh again", done.stderr)
          state = subprocess.run([str(self.launchctl), "print", SERVICE], capture_output=True,
                                 text=True, env=dict(os.environ, FAKE_STATE=str(self.state)))
          self.assertIn("state = running", state.stdout)
        self.assertTrue(self.loaded() and self.loaded(ROTATE_LABEL))
        self.assertFalse(staged(self.stage, f"{PREFIX}/libexec/tamso-helper/install.unfinished")
                         .exists())

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
             "launchctl refuses the property list, five times": (
                 "refuse-bootstrap", 1, self.LOAD[:1] + self.LOAD[1:2] * 5)}
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
        "gone by the stop that proves a write": (
            ["running 412"] * 22 + ["exited 0"], 81, 0, "", 0, 1, 21,
            ["the daemon was not running when its stop was to prove a write"]),
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
        self.assertEqual([words for words, _ in after],
                         Install.CHECK[1:3 if status == 0 else 2 if stuck or garbled else 1])
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
        "binary": (f"{PREFIX}/bin/tamso-helper", "file"),
        "manual page": (f"{PREFIX}/share/man/man8/tamso-helper.8", "file"),
        "property list": (PLIST, "file"),
        "rotation's property list": (ROTATE_PLIST, "file"),
        "scripts folder": (scripts, "folder"),
        "install.sh": (f"{scripts}/install.sh", "file"),
        "uninstall.sh": (f"{scripts}/uninstall.sh", "file"),
        "rotate": (f"{scripts}/rotate", "file"),
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
    self.assertIn(f"{path} {words}", done.stderr)
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
          self.check_refused(path, f"is not a plain {kind}")
        finally:
          path.unlink()
          saved.rename(path)

  def test_a_second_hard_link_at_a_file_is_refused(self):
    for name, (target, kind) in self.paths().items():
      if kind == "file":
        with self.subTest(name):
          os.link(staged(self.stage, target), self.tmp / "other-name")
          self.check_refused(staged(self.stage, target), "has 2 hard links")
          (self.tmp / "other-name").unlink()

  def test_folders_another_account_may_write_are_refused(self):
    # name: (the folder on the way to what root runs, how it is opened to others)
    cases = {"the binary's, another owner's": (f"{PREFIX}/bin", "owner"),
             "the prefix, writable by its group": (PREFIX, 0o775),
             "the property lists', writable by all": ("/Library/LaunchDaemons", 0o777),
             "the scripts', another owner's": (f"{PREFIX}/libexec/tamso-helper", "owner"),
             "the root, writable by all but sticky": ("", 0o1777),
             "the binary's, a link": (f"{PREFIX}/bin", "link"),
             # Not the package's: a full run makes it, and checks it.
             "the logs', another owner's": (LOG_DIR, "owner"),
             "the logs', writable by its group": (LOG_DIR, 0o775),
             "the logs', a link": (LOG_DIR, "link")}
    for name, (folder, how) in cases.items():
      for arguments in ((), ("--preflight",))[:1 if folder == LOG_DIR else 2]:
        with self.subTest(name, arguments=arguments):
          path = staged(self.stage, folder)
          with self.opened_to_others(path, how):
            before = snapshot(self.stage)
            done = self.run_script("install.sh", *arguments)
            self.assertEqual(done.returncode, 1, done.stdout)
            words = "is a symbolic link" if how == "link" else "&& sudo chmod go-w"
            self.assertIn(f"{path} ", done.stderr)
            self.assertIn(words, done.stderr)
            self.assertIn("nothing changed", done.stderr)
            self.assertEqual(self.calls(), [])
            self.assertEqual(snapshot(self.stage), before)
    # Where the package has laid nothing down yet, its check passes.
    shutil.rmtree(staged(self.stage, "/usr"))
    self.assert_succeeded(self.run_script("install.sh", "--preflight"))

  def test_a_link_put_there_after_the_check_keeps_its_targets_mode(self):
    # chown as the system's, that then puts a link in place of each file it changed.
    stand_ins = self.tmp / "bin"
    stand_ins.mkdir()
    victims = self.tmp / "victims"
    victims.mkdir()
    (stand_ins / "chown").write_text(f"""#!/bin/sh
{shutil.which("chown")} "$@" || exit
shift 2
for file in "$@"; do
  [ -f "$file" ] || continue
  victim={victims}/$(basename "$file")
  echo private >"$victim" && chmod 0600 "$victim" && rm -f "$file" &&
    ln -s "$victim" "$file"
done
""")
    (stand_ins / "chown").chmod(0o755)
    self.run_script("install.sh", path_first=stand_ins)
    modes = {victim.name: stat.S_IMODE(victim.stat().st_mode) for victim in victims.iterdir()}
    self.assertIn(f"{LABEL}.plist", modes)
    self.assertEqual(modes, {name: 0o600 for name in modes})

  def test_a_link_at_the_old_log_in_a_folder_all_may_write_is_not_given_to_root(self):
    # Another account may write /Library/Logs, and hard-links someone else's file there
    # at the path of an earlier install's log.
    victim = self.tmp / "victim"
    victim.write_text("private\n")
    victim.chmod(0o600)
    logs = staged(self.stage, LOG_DIR)
    logs.parent.chmod(0o777)
    os.link(victim, logs.parent / "tamso-helper.log")
    (logs / "tamso-helper.log").unlink()
    # And an archive of its own, which it could go on writing once moved in.
    (logs.parent / "tamso-helper.log.1.bz2").write_text("BZh9")
    os.chown(logs.parent / "tamso-helper.log.1.bz2", 65534, 65534)
    self.assert_succeeded(self.run_script("install.sh"))
    self.assertEqual((stat.S_IMODE(victim.stat().st_mode), victim.stat().st_nlink), (0o600, 1))
    self.assertFalse((logs / "tamso-helper.log.1.bz2").exists())
    self.assertEqual((logs.stat().st_uid, stat.S_IMODE(logs.stat().st_mode)), (0, 0o755))

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
    Path(f"{self.log}.0.bz2").write_bytes(b"BZh9")
    staged(self.stage, ROTATE_LOG).write_text("rotate: cannot compress\n")
    # The lock that setlimit takes, root's alone.
    self.lock = staged(self.stage, LIMIT_LOCK)
    self.lock.touch(mode=0o600)
    # The lock of a rotation that was killed.
    self.rotate_lock = staged(self.stage, ROTATE_LOCK)
    self.rotate_lock.mkdir(mode=0o700)
    (self.rotate_lock / "pid").write_text("99999\n")

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
        # Before these scripts go, the last five.
        (f"pkgutil --volume {self.stage} --forget {LABEL}", 5),
    ])
    self.assertFalse(self.loaded())
    self.assertFalse(self.loaded(ROTATE_LABEL))
    self.assertEqual(self.remaining_files(), [])
    self.assertFalse(staged(self.stage, LIMIT_DIR).exists(), "the limit's folder stays")
    self.assertFalse(os.path.lexists(self.rotate_lock), "the rotation's lock stays")
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

    # name: (the change, the path named, the words)
    cases = {"a link at the folder": (link_folder, limit_dir, "is a symbolic link"),
             "a link at the file": (link_file, self.limit, "is a symbolic link"),
             "a file at the folder": (folder_is_a_file, limit_dir, "is not a plain folder"),
             "a folder at the file": (file_is_a_folder, self.limit, "is not a plain file")}
    for name, (change, path, words) in cases.items():
      for arguments in ((), ("--keep-limit",)):
        with self.subTest(name, arguments=arguments):
          shutil.copytree(limit_dir, kept)
          change()
          before = (snapshot(self.stage), snapshot(self.tmp / "victim") if
                    victim.is_dir() else victim.exists() and victim.read_text())
          done = self.run_script("uninstall.sh", *arguments)
          self.assertEqual(done.returncode, 1, done.stdout)
          self.assertIn(f"{path} {words}: remove it and run uninstall.sh again; nothing "
                        "changed", done.stderr)
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
            f"{self.limit} is a symbolic link: remove it and run uninstall.sh again; the "
            f"stored limit is still in {kept}"]),
        "a run killed while it held the limit": ([], 0, []),
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
        for file in ["stuck", "plant-link", *files]:
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

  def test_unknown_charge_keys_warn_and_go_on(self):
    self.set_state(stuck=True, inhibited=-1)
    done = self.run_script("uninstall.sh")
    self.assert_succeeded(done)
    self.assertIn("inhibited=-1", done.stderr)
    self.assertEqual(self.remaining_files(), [])


@needs_root("the scripts act on root's files")
class OldNewsyslogRule(ScriptTestCase):
  """An earlier install rotated the log with a newsyslog rule, which renames the log
  behind the daemon's back: install (an upgrade) and uninstall both remove it."""

  def test_install_and_uninstall_remove_it(self):
    rule = staged(self.stage, OLD_RULE)
    for script in ("install.sh", "uninstall.sh"):
      with self.subTest(script):
        rule.parent.mkdir(parents=True, exist_ok=True)
        rule.write_text("/Library/Logs/tamso-helper.log 644 3 512 * J\n")
        done = self.run_script(script)
        self.assert_succeeded(done)
        self.assertFalse(rule.exists())
        self.assertIn(f"rm -f {rule}", done.stdout)
        # Run again, it finds nothing to remove.
        if script == "install.sh":
          done = self.run_script(script)
          self.assert_succeeded(done)
          self.assertIn("not there", done.stdout)


class RotateTestCase(ScriptTestCase):
  """The hourly rotation, with the daemon played by the test: a file opened on the log,
  as launchd opens it, that keeps writing into the same file whatever its name."""

  ROTATE_AT = 512 * 1024
  # The restart, with the log and a plain log.0 there.
  RESTART = [(f"launchctl kill SIGTERM {SERVICE}", 2),
             (f"launchctl kickstart -p {SERVICE}", 2)]

  def setUp(self):
    super().setUp()
    self.set_state(loaded=True)
    self.log = staged(self.stage, LOG)
    self.log.parent.mkdir(parents=True)
    self.log.touch()
    # At the restart: whether the log and a plain (not yet compressed) log.0 exist.
    (self.state / "watch").write_text(f"{self.log}\n{self.archive(0)}\n")
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

  def unpacked(self, suffix):
    return bz2.decompress(self.archive(suffix).read_bytes()).decode()

  def assert_new_log(self):
    info = self.log.lstat()
    self.assertEqual((stat.S_ISREG(info.st_mode), info.st_size, info.st_uid, info.st_gid,
                      info.st_mode & 0o7777), (True, 0, 0, 0, 0o644))

  def age(self, path, seconds=10):
    """Moves the modification time back, so that a later write is later on any clock."""
    then = path.stat().st_mtime - seconds
    os.utime(path, (then, then))

@needs_root("rotate gives the new log to root")
@unittest.skipUnless(shutil.which("bzip2"), "no bzip2")
class Rotate(RotateTestCase):

  def test_a_log_below_512_kb_is_left_alone(self):
    daemon = self.start_daemon()
    self.fill(daemon, self.ROTATE_AT - 100)
    before = snapshot(self.stage)
    self.assert_succeeded(self.run_script("rotate"))
    daemon.close()
    self.assertEqual(self.calls(), [])
    self.assertEqual(snapshot(self.stage), before)

  def test_restarts_the_daemon_onto_a_new_log_and_loses_no_line(self):
    first = self.start_daemon()
    first_lines = self.fill(first, self.ROTATE_AT)
    self.assert_succeeded(self.run_script("rotate"))
    # The restart comes after the rename, with the renamed log not compressed.
    self.assertEqual(self.calls(), self.RESTART)
    self.assertEqual(self.files(), ["tamso-helper.log", "tamso-helper.log.0"])
    self.assert_new_log()
    # The old daemon's line written before its stop lands in log.0, and is kept.
    first.write("the old daemon's last line\n")
    first.close()
    first_lines += "the old daemon's last line\n"
    self.assertEqual(self.archive(0).read_text(), first_lines)

    # The next rotation compresses what the first daemon wrote, now that it has gone.
    second = self.start_daemon()
    second_lines = self.fill(second, self.ROTATE_AT)
    # bzip2 takes words from these: none of them reaches it.
    copy = self.tmp / "copy-of-bzip2"
    shutil.copy(shutil.which("bzip2"), copy)
    self.assert_succeeded(self.run_script("rotate", environment={"BZIP2": str(copy),
                                                                 "BZIP": "-9"}))
    self.assertTrue(copy.exists())
    second.close()
    self.assertEqual(self.calls(), self.RESTART)
    self.assertEqual(self.files(), ["tamso-helper.log", "tamso-helper.log.0",
                                    "tamso-helper.log.1.bz2"])
    self.assertEqual(self.unpacked("1.bz2"), first_lines)
    self.assertEqual(self.archive(0).read_text(), second_lines)

  def test_keeps_three_archives_with_the_newest_lines(self):
    kept = []
    for _ in range(6):
      daemon = self.start_daemon()
      kept.append(self.fill(daemon, self.ROTATE_AT))
      self.assert_succeeded(self.run_script("rotate"))
      daemon.close()
    self.assertEqual(self.files(), ["tamso-helper.log", "tamso-helper.log.0",
                                    "tamso-helper.log.1.bz2", "tamso-helper.log.2.bz2"])
    self.assertEqual([self.archive(0).read_text(), self.unpacked("1.bz2"),
                      self.unpacked("2.bz2")], [kept[5], kept[4], kept[3]])
    self.assertEqual(len(self.calls()), 12)

  def test_a_failed_restart_is_reported_and_log_0_stays_plain(self):
    self.set_state(loaded=False)
    daemon = self.start_daemon()
    lines = self.fill(daemon, self.ROTATE_AT)
    daemon.close()
    done = self.run_script("rotate")
    self.assertEqual(done.returncode, 1)
    self.assertIn("kickstart", done.stderr)
    # With the pid of no daemon recorded, for the next run.
    self.assertEqual(self.files(), ["tamso-helper.log", "tamso-helper.log.0",
                                    "tamso-helper.log.0.pid"])
    self.assertEqual(self.archive(0).read_text(), lines)


  def test_a_daemon_left_on_log_0_by_a_failed_restart_is_restarted_by_the_next_run(self):
    # The stop refused: the daemon runs on, writing into log.0; or stopped, and not
    # started again.
    for refusal, tool in (("refuse-kill", "kill SIGTERM"), ("refuse-kickstart", "kickstart")):
      with self.subTest(refusal):
        for leftover in self.log.parent.glob("tamso-helper.log*"):
          leftover.unlink()
        self.log.touch()
        (self.state / refusal).touch()
        daemon = self.start_daemon()
        lines = self.fill(daemon, self.ROTATE_AT)
        done = self.run_script("rotate")
        self.assertEqual(done.returncode, 1)
        self.assertIn(f"launchctl {tool} {SERVICE} failed: ", done.stderr)
        self.assertIn(f"a daemon that runs goes on writing into {self.archive(0)}; the next "
                      "run restarts it", done.stderr)
        self.calls()
        (self.state / refusal).unlink()
        # The clock set back two hours: the log looks older than log.0, which tells
        # nothing.
        self.age(self.log, 7200)
        daemon.write("a line after the failed restart\n")
        daemon.flush()
        self.assert_succeeded(self.run_script("rotate"))
        self.assertEqual(self.calls(), self.RESTART[1 if refusal == "refuse-kickstart" else 0:])
        daemon.close()
        # The log is small: nothing else moves, and log.0 stays plain with every line.
        self.assertEqual(self.files(), ["tamso-helper.log", "tamso-helper.log.0"])
        self.assertEqual(self.archive(0).read_text(),
                         lines + "a line after the failed restart\n")
        # Restarted, the daemon writes into the log: the next runs leave it alone,
        # whatever the times of the files say.
        self.age(self.log, 7200)
        self.assert_succeeded(self.run_script("rotate"))
        self.assertEqual(self.calls(), [])

  def test_never_writes_through_a_link_at_the_log_path(self):
    # Someone else's file, which a write through the link would truncate and give to
    # root.
    victim = self.tmp / "victim"
    victim.write_text("x" * self.ROTATE_AT)
    os.chown(victim, 65534, 65534)
    victim.chmod(0o600)
    victim_state = (victim.read_text(), victim.stat().st_uid, victim.stat().st_mode)

    with self.subTest("a link in place of the log"):
      self.log.unlink()
      self.log.symlink_to(victim)
      done = self.run_script("rotate")
      self.assertEqual(done.returncode, 1)
      self.assertIn(f"{self.log} is a symbolic link, not a file of the daemon's: remove "
                    "it; nothing rotated", done.stderr)
      self.assertEqual(self.calls(), [])
      self.assertEqual(self.files(), ["tamso-helper.log"])
      self.log.unlink()
      self.log.touch()

    with self.subTest("a link put there between the rename and the new log"):
      # mv as the system's, that then plants the link where the log was.
      stand_ins = self.tmp / "bin"
      stand_ins.mkdir()
      mv = stand_ins / "mv"
      mv.write_text(f"""#!/bin/sh
{shutil.which("mv")} "$@" || exit
case $3 in *.log.0) ln -s {victim} "${{3%.0}}" ;; esac
""")
      mv.chmod(0o755)
      daemon = self.start_daemon()
      lines = self.fill(daemon, self.ROTATE_AT)
      done = self.run_script("rotate", path_first=stand_ins)
      self.assertEqual(done.returncode, 1)
      self.assertIn(f"cannot create a new {self.log}: something else is at that path; "
                    f"nothing written there, and the daemon writes into {self.archive(0)} "
                    "until a run restarts it", done.stderr)
      self.assertEqual(self.calls(), [])
      self.assertTrue(self.log.is_symlink())
      self.assertEqual(self.archive(0).read_text(), lines)

      # Once the link is removed, the next run makes the log and restarts the daemon.
      self.log.unlink()
      daemon.write("a line after the failed rotation\n")
      daemon.close()
      self.assert_succeeded(self.run_script("rotate"))
      self.assertEqual(self.calls(), self.RESTART)
      self.assert_new_log()
      self.assertEqual(self.archive(0).read_text(),
                       lines + "a line after the failed rotation\n")

    self.assertEqual((victim.read_text(), victim.stat().st_uid, victim.stat().st_mode),
                     victim_state)


@needs_root("rotate gives the new log to root")
@unittest.skipUnless(shutil.which("bzip2"), "no bzip2")
class RotateRefusalsAndLock(RotateTestCase):
  """What stops a rotation: anything but a plain file where it renames or compresses,
  a failed tool (one line, with the tool's words), or another run holding the lock."""

  def setUp(self):
    super().setUp()
    self.lock = staged(self.stage, ROTATE_LOCK)
    self.stand_in_bin = self.tmp / "fail-bin"
    self.stand_in_bin.mkdir()

  def rotation_due(self):
    """A log due for rotation, and the archive of the previous one."""
    self.archive(0).write_text("the previous daemon's lines\n")
    daemon = self.start_daemon()
    self.fill(daemon, self.ROTATE_AT)
    daemon.close()

  def assert_one_line(self, done, status, words):
    self.assertEqual(done.returncode, status, done.stderr)
    self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
    self.assertTrue(done.stderr.startswith("rotate: "), done.stderr)
    self.assertIn(words, done.stderr)

  def test_anything_but_a_plain_file_at_the_log_or_an_archive_is_refused(self):
    for suffix in ("", ".0", ".0.bz2", ".1.bz2", ".2.bz2"):
      for kind in ("folder", "fifo"):
        with self.subTest(path=f"log{suffix}", kind=kind):
          self.rotation_due()
          path = Path(f"{self.log}{suffix}")
          if path.exists():
            path.unlink()
          os.mkdir(path) if kind == "folder" else os.mkfifo(path)
          before = snapshot(self.stage)
          done = self.run_script("rotate")
          self.assert_one_line(done, 1, f"{path} is not a plain file: remove it; nothing "
                                        "rotated")
          self.assertEqual(self.calls(), [])
          self.assertEqual(snapshot(self.stage), before)
          os.rmdir(path) if kind == "folder" else path.unlink()

  def test_each_failure_is_one_line_with_the_tools_own_words(self):
    # tool: (the stand-in's two lines, or None for the fake launchctl's refusal; the
    # words of the failure line). A stand-in fails only where its words name the
    # file after "|", and runs the system's tool elsewhere.
    cases = {
        "bzip2": ("bzip2: No space left on device",
                  f"cannot compress {self.archive(0)}: bzip2: No space left on device "
                  "second line"),
        "mv": ("mv: Read-only file system|.bz2",
               f"cannot move {self.log}.0.bz2: mv: Read-only file system second line"),
        "chown": ("chown: Operation not permitted",
                  f"cannot change the owner of {self.log}: chown: Operation not permitted "
                  "second line"),
        "launchctl": ({"refuse-kickstart": ""}, "kickstart system/org.tamso.helper failed: "
                      "Could not kickstart service: 5: Input/output error: a daemon that runs"),
        # An answer it cannot read stops it, rather than skip a restart.
        "launchctl print": ({"daemon-prints": "garbled\n"}, "cannot read launchd's view of "
                            "org.tamso.helper: no state, or running without a pid, in what it "
                            "said: system/org.tamso.helper = { something else }"),
        "mktemp": ("mktemp: Permission denied",
                   f"cannot take the lock {self.lock}: mktemp: Permission denied second "
                   "line"),
        "rm": ("rm: Input/output error|log.0.pid",
               f"cannot remove {self.log}.0.pid: rm: Input/output error second line"),
        "wc": ("wc: Input/output error",
               f"cannot read the size of {self.log}: wc: Input/output error second line"),
        # The rotation is done; the lock it leaves is taken over by the next run.
        "rmdir": ("rmdir: Device busy",
                  f"cannot remove the lock {self.lock}: rmdir: Device busy second line"),
    }
    for tool, (words, line) in cases.items():
      with self.subTest(tool):
        for old in self.stand_in_bin.iterdir():
          old.unlink()
        environment = {}
        for name in ("refuse-kickstart", "daemon-prints"):
          (self.state / name).unlink(missing_ok=True)
        if isinstance(words, dict):
          for name, text in words.items():
            (self.state / name).write_text(text)
        else:
          words, _, where = words.partition("|")
          stand_in = self.stand_in_bin / tool
          stand_in.write_text(f"#!/bin/sh\ncase \"$*\" in *{where}*)\necho '{words}' >&2\n"
                              f"echo 'second line' >&2\nexit 1 ;;\nesac\n"
                              f"exec {shutil.which(tool)} \"$@\"\n")
          stand_in.chmod(0o755)
          environment = {"TAMSO_BZIP2": str(stand_in)} if tool == "bzip2" else {}
        for leftover in self.log.parent.glob("tamso-helper.log.*"):
          leftover.unlink()
        self.rotation_due()
        done = self.run_script("rotate", path_first=self.stand_in_bin,
                               environment=environment)
        self.assert_one_line(done, 1, line)
        if tool == "rmdir":
          self.assertEqual(list(self.lock.iterdir()), [])
          self.lock.rmdir()
        self.assertFalse(os.path.lexists(self.lock), "the lock stays")
        self.calls()
        self.log.unlink(missing_ok=True)
        self.log.touch()

  def lock_of(self, pid, taking=False, old=False):
    """The lock as run PID holds it, takes it, or as earlier versions held it."""
    self.lock.mkdir(mode=0o700)
    folder = Path(f"{self.lock}/{self.lock.name}.AbC123") if taking else self.lock
    folder.mkdir(exist_ok=True)
    (folder / ("pid" if old else f"pid.{pid}.AbC123")).write_text(f"{pid}\n" if old else "")

  def test_a_lock_held_or_being_taken_by_a_rotation_leaves_the_rotation_to_it(self):
    # A rotation, as ps names it.
    holder = subprocess.Popen(["sh", "-c", "sleep 30; exit 0", str(self.script("rotate"))])
    self.addCleanup(holder.wait)
    self.addCleanup(holder.kill)
    held = f"another rotation (pid {holder.pid}) is running: this run does nothing"
    cases = {"held": ({}, held), "held by an earlier version": ({"old": True}, held),
             "being taken": ({"taking": True}, "another rotation is taking the lock")}
    for name, (how, words) in cases.items():
      with self.subTest(name):
        self.rotation_due()
        self.lock_of(holder.pid, **how)
        before = snapshot(self.stage)
        done = self.run_script("rotate")
        self.assert_one_line(done, 0, words)
        self.assertEqual(self.calls(), [])
        self.assertEqual(snapshot(self.stage), before)
        shutil.rmtree(self.lock)

  def test_a_lock_whose_run_is_gone_is_removed_and_taken(self):
    gone = subprocess.Popen(["/bin/true"])
    gone.wait()
    other = subprocess.Popen(["/bin/sleep", "30"])
    # A shell whose command line names a file with "rotate" in it, not the script.
    editor = subprocess.Popen(["sh", "-c", "sleep 30", "notes-rotate.txt"])
    for process in (other, editor):
      self.addCleanup(process.wait)
      self.addCleanup(process.kill)
    # name: (the pid in its token, how it holds the lock, what else is in the lock)
    cases = {"its process is gone": (gone.pid, {}, None),
             "its pid now another program's": (other.pid, {}, None),
             "its pid a shell's on notes-rotate.txt": (editor.pid, {}, None),
             "an earlier version's, its process gone": (gone.pid, {"old": True}, None),
             "a run killed while it took the lock": (gone.pid, {"taking": True}, None),
             "with a .DS_Store beside its token": (gone.pid, {}, ".DS_Store"),
             "with a folder named like a token": (gone.pid, {}, "pid.1.XyZ789/")}
    for name, (pid, how, extra) in cases.items():
      with self.subTest(name):
        for leftover in self.log.parent.glob("tamso-helper.log.*"):
          leftover.unlink()
        self.rotation_due()
        self.lock_of(pid, **how)
        if extra:
          (self.lock / extra).mkdir() if extra.endswith("/") else (self.lock / extra).touch()
        done = self.run_script("rotate")
        self.assert_succeeded(done)
        self.assertEqual(done.stderr, "")
        self.assertEqual(self.calls(), self.RESTART)
        self.assertEqual(sorted(self.log.parent.glob("*.lock*")), [])

  def test_a_logs_folder_others_may_write_is_refused(self):
    for how, words in (("owner", "is not root's alone"), (0o775, "is not root's alone"),
                       ("link", "is not a plain folder")):
      with self.subTest(how=how), self.opened_to_others(self.log.parent, how):
        self.rotation_due()
        before = snapshot(self.stage)
        self.assert_one_line(self.run_script("rotate"), 1, f"{self.log.parent} {words}")
        self.assertEqual((self.calls(), snapshot(self.stage)), ([], before))

  def test_a_run_by_another_path_than_the_installed_one_is_refused(self):
    # Another run could not tell it by its command line.
    self.rotation_due()
    before = snapshot(self.stage)
    self.assert_one_line(self.run_script(str(self.scripts / "rotate")), 1, "run it as")
    self.assertEqual((self.calls(), snapshot(self.stage)), ([], before))

  def test_something_else_at_the_lock_path_is_refused(self):
    victim = self.tmp / "victim"
    victim.mkdir(mode=0o700)
    os.chown(victim, 65534, 65534)
    cases = {"a link to a folder": (lambda: self.lock.symlink_to(victim),
                                    f"{self.lock} is a symbolic link"),
             "a dangling link": (lambda: self.lock.symlink_to(self.tmp / "none"),
                                 f"{self.lock} is a symbolic link"),
             "a file": (lambda: self.lock.write_text(""),
                        f"{self.lock} is not a folder, not the rotation's lock")}
    for name, (make, words) in cases.items():
      with self.subTest(name):
        self.rotation_due()
        make()
        before = snapshot(self.stage)
        done = self.run_script("rotate")
        self.assert_one_line(done, 1, words)
        self.assertEqual(self.calls(), [])
        self.assertEqual(snapshot(self.stage), before)
        self.lock.unlink()
    self.assertEqual(list(victim.iterdir()), [])
    self.assertEqual(victim.stat().st_uid, 65534)

  def start_run(self, name, *, path_first=None, bzip2=None):
    """A run in the background, its standard error in the file NAME.err."""
    command = [self.sh, str(self.script("rotate"))]
    variables = {"PATH": os.pathsep.join([str(p) for p in (path_first, self.stand_ins) if p] +
                                         [os.environ["PATH"]]),
                 "TAMSO_ROOT": str(self.stage), "TAMSO_LAUNCHCTL": str(self.launchctl),
                 "FAKE_STATE": str(self.state)}
    if bzip2:
      variables["TAMSO_BZIP2"] = str(bzip2)
    with (self.tmp / f"{name}.err").open("w") as errors:
      run = subprocess.Popen(command, env=variables, stderr=errors)
    self.addCleanup(run.wait)
    self.addCleanup(run.kill)
    return run

  def pausing(self, name, tool, words):
    """A stand-in for TOOL that, the first time its words end with WORDS, creates the
    file NAME-inside and waits for NAME-go, then runs the system's tool."""
    folder = self.tmp / f"{name}-bin"
    folder.mkdir(exist_ok=True)
    stand_in = folder / tool
    stand_in.write_text(f"""#!/bin/sh
case "$*" in
*{words})
  if [ ! -e {self.tmp}/{name}-inside ]; then
    touch {self.tmp}/{name}-inside
    while [ ! -e {self.tmp}/{name}-go ]; do /bin/sleep 0.05; done
  fi
  ;;
esac
exec {shutil.which(tool)} "$@"
""")
    stand_in.chmod(0o755)
    self.addCleanup(lambda: (self.tmp / f"{name}-go").touch())
    return stand_in

  def wait_for(self, condition, what):
    for _ in range(200):
      if condition():
        return
      subprocess.run(["/bin/sleep", "0.05"])
    self.fail(what)

  def blocked_run(self):
    """A run that stops inside bzip2 until the file `go` appears; returns it once it
    is there, holding the lock."""
    bzip2 = self.pausing("first", "bzip2", "")
    self.rotation_due()
    first = self.start_run("first", bzip2=bzip2)
    self.wait_for((self.tmp / "first-inside").exists, "the first run did not start")
    return first

  def go(self, name):
    (self.tmp / f"{name}-go").touch()

  def test_runs_that_find_the_same_stale_lock_never_both_rotate(self):
    # Ten runs at once, rm slowed down: one rotates, the others say so in a line.
    (gone := subprocess.Popen(["/bin/true"])).wait()
    slow = self.tmp / "slow-bin"
    slow.mkdir()
    (slow / "rm").write_text(f"#!/bin/sh\n/bin/sleep 0.4\nexec {shutil.which('rm')} \"$@\"\n")
    (slow / "rm").chmod(0o755)
    self.rotation_due()
    self.lock_of(gone.pid)
    runs = [self.start_run(f"run{n}", path_first=slow) for n in range(10)]
    self.assertEqual([run.wait(timeout=60) for run in runs], [0] * 10)
    self.assertEqual(self.calls(), self.RESTART)
    self.assertEqual(self.files(), ["tamso-helper.log", "tamso-helper.log.0",
                                    "tamso-helper.log.1.bz2"])
    for n in range(10):
      self.assertRegex((self.tmp / f"run{n}.err").read_text(),
                       r"^(rotate: another rotation [^\n]*: this run does nothing\n)?$")

  def test_a_run_that_found_a_stale_lock_never_removes_the_one_taken_meanwhile(self):
    # The first run stops while it looks at the stale lock's pid; a second takes the
    # lock meanwhile and rotates.
    other = subprocess.Popen(["/bin/sleep", "60"])
    self.addCleanup(other.wait)
    self.addCleanup(other.kill)
    self.rotation_due()
    self.lock_of(other.pid)
    first = self.start_run("first", path_first=self.pausing("first", "ps", "").parent)
    self.wait_for((self.tmp / "first-inside").exists, "the first run did not stop")
    second = self.start_run("second", bzip2=self.pausing("second", "bzip2", ""))
    self.wait_for((self.tmp / "second-inside").exists, "the second run did not rotate")
    self.go("first")
    first.wait(timeout=30)
    self.go("second")
    self.assertEqual((first.returncode, second.wait(timeout=30)), (0, 0))
    self.assertEqual((self.tmp / "first.err").read_text(), "rotate: another rotation is "
                     f"taking the lock {self.lock}: this run does nothing\n")
    self.assertEqual(self.calls(), self.RESTART)

  def test_a_run_whose_lock_was_taken_from_it_leaves_the_new_one(self):
    holder = subprocess.Popen(["/bin/sleep", "30"])
    self.addCleanup(holder.wait)
    self.addCleanup(holder.kill)
    first = self.blocked_run()
    for token in self.lock.iterdir():
      token.unlink()
    (self.lock / f"pid.{holder.pid}.AbC123").touch()
    self.go("first")
    self.assertEqual(first.wait(timeout=30), 0, (self.tmp / "first.err").read_text())
    self.assertEqual([p.name for p in self.lock.iterdir()], [f"pid.{holder.pid}.AbC123"])

  def test_the_logs_folder_taken_away_after_the_check_changes_nothing(self):
    # mv as the system's, that then, once the log is renamed, takes the folder away:
    # renamed, with another account's folder and a link in its place, the rotation
    # ends in the folder it checked; removed, the shell cannot create the new log, and
    # says why.
    victim = self.tmp / "victim"
    victim.write_text("private\n")
    for how in ("renamed", "removed"):
      with self.subTest(how):
        stand_ins = self.tmp / how
        stand_ins.mkdir()
        moved = self.tmp / "moved"
        (stand_ins / "mv").write_text(f"""#!/bin/sh
{shutil.which("mv")} "$@" || exit
case $3 in *.log.0) ;; *) exit 0 ;; esac
if [ {how} = renamed ]; then
  {shutil.which("mv")} "$PWD" {moved} && mkdir "$PWD" && chown 65534 "$PWD" &&
    ln -s {victim} "$PWD/{self.log.name}"
else
  rm -rf "$PWD"
fi
""")
        (stand_ins / "mv").chmod(0o755)
        self.rotation_due()
        done = self.run_script("rotate", path_first=stand_ins)
        if how == "renamed":
          self.assert_succeeded(done)
          self.assertEqual([words for words, _ in self.calls()],
                           [words for words, _ in self.RESTART])
          self.assertEqual(sorted(p.name for p in moved.iterdir()),
                           ["tamso-helper.log", "tamso-helper.log.0", "tamso-helper.log.1.bz2"])
          self.assertTrue(self.log.is_symlink())
          self.assertEqual((victim.read_text(), victim.stat().st_uid), ("private\n", 0))
          shutil.rmtree(self.log.parent)
          self.log.parent.mkdir()
        else:
          self.assert_one_line(done, 1, f"cannot create a new {self.log}: ")
          self.assertRegex(done.stderr, r"(?i)(directory nonexistent|no such file or "
                                        r"directory)[^;]*; nothing written there")
          self.assertEqual(self.calls(), [])

  def test_a_second_run_meanwhile_does_nothing(self):
    first = self.blocked_run()
    before = snapshot(self.stage)
    second = self.run_script("rotate")
    self.assert_one_line(second, 0, f"another rotation (pid {first.pid}) is running")
    self.assertEqual(self.calls(), [])
    self.assertEqual(snapshot(self.stage), before)
    self.go("first")
    self.assertEqual(first.wait(timeout=30), 0, (self.tmp / "first.err").read_text())
    self.assertEqual(self.calls(), self.RESTART)
    self.assertFalse(os.path.lexists(self.lock))

  def test_a_run_stopped_by_a_signal_leaves_no_lock_behind(self):
    for signal in (1, 2, 15, 9):
      with self.subTest(signal=signal):
        for leftover in self.log.parent.glob("tamso-helper.log*"):
          leftover.unlink()
        self.log.touch()
        (self.tmp / "first-inside").unlink(missing_ok=True)
        (self.tmp / "first-go").unlink(missing_ok=True)
        first = self.blocked_run()
        first.send_signal(signal)
        self.go("first")
        self.assertNotEqual(first.wait(timeout=30), 0)
        if signal != 9:
          # Its trap removed the lock.
          self.assertFalse(os.path.lexists(self.lock))
        # Killed outright, it left the lock, with a pid that is gone: the next run
        # takes it.
        self.calls()
        self.assertTrue(self.log.exists())
        daemon = self.start_daemon()
        self.fill(daemon, self.ROTATE_AT)
        daemon.close()
        self.assert_succeeded(self.run_script("rotate"))
        self.assertEqual(self.calls(), self.RESTART)
        self.assertFalse(os.path.lexists(self.lock))


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
        self.check_unchanged(name, status=1, message="must run as root",
                             as_nobody=as_nobody)

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
under("bash", Install, InstallCheck, InstallNeverThroughALink, OddPrefix, Uninstall,
      OldNewsyslogRule, Rotate, RotateRefusalsAndLock, Refusals)
under("zsh", Install, InstallCheck, InstallNeverThroughALink, OddPrefix, Uninstall,
      RotateRefusalsAndLock)


@unittest.skipUnless(shutil.which("shellcheck"), "shellcheck is not installed")
class Lint(ScriptTestCase):

  def test_scripts_are_clean_posix_sh(self):
    # -x: each script with the functions it sources from beside it.
    done = subprocess.run(["shellcheck", "-x", "--shell=sh", "--severity=warning",
                           "install.sh", "uninstall.sh", "rotate", "launchd.sh", "limit.sh"],
                          capture_output=True, text=True, timeout=60, cwd=self.scripts)
    self.assertEqual(done.returncode, 0, done.stdout + done.stderr)


if __name__ == "__main__":
  main()
