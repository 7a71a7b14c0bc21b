#!/usr/bin/env python3
"""The functions the scripts talk to launchd through (dist/launchd.sh): fed the answers
real Macs gave (launchd-records beside this file), and the launchd contract
(launchd-contract beside this file) on Linux, against the stand-in that runs the job's
program as launchd does."""

import itertools
import os
import re
import shutil
import subprocess

from distsupport import SOURCE_DIR, StagedTestCase, as_sh, main, needs_root

HERE = SOURCE_DIR / "tests" / "dist"
RECORDS = {path.name[:2]: path for path in (HERE / "launchd-records").glob("*.txt")}

# launchctl replaying answers: the answer to each call is the next file VERB.N in the
# folder REPLAY, its exit status in VERB.N.status; the last one answers every later call.
REPLAY = r"""#!/bin/sh
n=$(($(cat "$REPLAY/$1.n" 2>/dev/null || echo 0) + 1))
[ -e "$REPLAY/$1.$n" ] || n=$((n - 1))
echo "$n" >"$REPLAY/$1.n" && cat "$REPLAY/$1.$n" && exit "$(cat "$REPLAY/$1.$n.status")"
"""
# A function of launchd.sh called for the job l with the property list p, and what it
# concluded, on one line: "STATUS STATE|PID|EXIT|SIGNAL|how it ended|the failure".
DRIVER = r""". "$1"
sleep() { :; }
said() { printf '%s %s|%s|%s|%s|%s|%s\n' "$1" "$job_state" "$job_pid" "$job_exit" \
  "$job_signal" "$(job_ended)" "$launchd_error"; }
die() { launchd_error="died: $*"; said died; exit 1; }
"$2" l p
said $?
"""
NEVER = "last exit code = (never exited)"
NESTED = ('\tactive count = 0\n', '\tendpoints = {\n\t\t"x" = {\n\t\t\tstate = running\n'
          '\t\t\tpid = 7\n\t\t\tlast exit code = 1\n\t\t}\n\t}\n\tactive count = 0\n')


def answer(how):
  """A record's answer and exit status ("NN"), one edited (("NN", old, new)), or one
  given ((status, text))."""
  if isinstance(how[0], int):
    return how[1], how[0]
  record = RECORDS[how if isinstance(how, str) else how[0]].read_text()
  status = int(re.search(r"^# exit: (\d+)", record, re.M)[1])
  text = re.sub(r"\A(# .*\n)*", "", record)
  assert isinstance(how, str) or how[1] in text, f"{how[1]!r} is not in record {how[0]}"
  return (text if isinstance(how, str) else text.replace(how[1], how[2])), status


class Replay(StagedTestCase):

  def test_each_answer_is_read_as_launchd_meant_it(self):
    # name: (the function, the answers to each verb in turn, what it must conclude, from
    # the start of the driver's line; "…" stands for any words)
    hint = "; if it said '5: Input/output error' or '119: Service is disabled', see that l…"
    cases = {
        "01 a job that exited 0": ("job_read", {"print": ["01"]},
            "0 not running||0||exited with status 0|"),
        "02 loaded, never run": ("job_read", {"print": ["02"]},
            "0 not running||||has no exit status in launchd's answer|"),
        "05 running, in spaces": ("job_read", {"print": ["05"]}, "0 running|928|||has no exit"),
        "06 a submitted job, exited": ("job_read", {"print": ["06"]}, "0 not running||0||"),
        "08 cut off inside a block": ("job_read", {"print": ["08"]}, "0 not running||0||"),
        "12 not loaded": ("job_read", {"print": ["12"]}, "1 ||||"),
        "13 bootstrap refused": ("job_bootstrap", {"bootstrap": ["13"]},
            "1 …|launchctl bootstrap of p failed: Bootstrap failed: 5: Input/output "
            "error" + hint),
        "14 bootstrap of a disabled label": ("job_bootstrap", {"bootstrap": ["14"]},
            "1 …|…failed: /Library/LaunchDaemons/org.nixos.darwin-store.plist: Service is "
            "disabled Bootstrap failed: 119: Service is disabled" + hint + "Allow in the"),
        "15 bootout of a job not loaded": ("job_bootout", {"bootout": ["15"]},
            "1 …|launchctl bootout system/l failed: Boot-out failed: 3: No such process"),
        "17 kickstart of a job not loaded": ("job_start", {"kickstart": ["17"]},
            '1 …|launchctl kickstart system/l failed: Could not find service "org.nixos.darwin-'
            'store" in domain for system'),
        "18 kickstart -p": ("job_start", {"kickstart": ["18"]}, "0 |91223|"),
        "19 no service in the answer": ("job_read", {"print": ["19"]},
            "died …|died: cannot read launchd's view of l: no state"),
        "bootout in progress, then gone": ("job_unload", {"print": ["05", "12"], "bootout": [
            (36, "Boot-out failed: 36: Operation now in progress\n")]}, "0 "),
        "kickstart -p, a bare pid": ("job_start", {"kickstart": [(0, "91223\n")]}, "0 |91223|"),
        "kickstart -p, no pid: print's, once spawned": ("job_start", {"kickstart": [(0, "")],
                                                           "print": ["02", "05"]},
            "0 running|928|"),
        "kickstart -p, no pid, not running": ("job_start", {"kickstart": [(0, "spawned\n")],
                                                            "print": ["01"]},
            "1 not running||0||…|…said 'spawned' and exited 0, and launchd shows it not "
            "running (state: not running); it exited with status 0"),
        "nested blocks first": ("job_read", {"print": [("02", *NESTED)]}, "0 not running||||"),
        "a pid of 0": ("job_read", {"print": [("05", "pid = 928", "pid = 0")]},
            "died …running without a pid"),
        "running, its last run killed": ("job_read", {"print": [
            ("05", NEVER, "last terminating signal = Terminated: 15")]},
            "0 running|928||15|was killed by signal 15 (Terminated: 15)|"),
        "a signal with no number": ("job_read", {"print": [
            ("02", NEVER, "last terminating signal = Unknown")]},
            '0 not running||||was killed by a signal launchd names "Unknown"|'),
        "an exit reason alone": ("job_read", {"print": [
            ("02", NEVER, "last exit reason = OS_REASON_CODESIGNING")]},
            '0 not running||||was ended by the system, for the reason launchd gives as '
            '"OS_REASON_CODESIGNING"|'),
        "an exit code named": ("job_read", {"print": [("01", "code = 0", "code = 78: EX_CONFIG")]},
            "0 not running||78||exited with status 78|"),
    }
    # Every record has its row.
    self.assertEqual(sorted(RECORDS), sorted({name[:2] for name in cases} & set(RECORDS)))
    (self.tmp / "launchctl").write_text(REPLAY)
    (self.tmp / "launchctl").chmod(0o755)
    shells = [sh for sh in (as_sh(shell, self.tmp) for shell in ("dash", "bash", "zsh")) if sh]
    for sh, (name, (function, answers, concluded)) in itertools.product(shells, cases.items()):
      with self.subTest(name, sh=sh):
        replay = self.tmp / "replay"
        shutil.rmtree(replay, ignore_errors=True)
        replay.mkdir()
        for verb, turns in answers.items():
          for n, how in enumerate(turns, 1):
            text, status = answer(how)
            (replay / f"{verb}.{n}").write_text(text)
            (replay / f"{verb}.{n}.status").write_text(f"{status}\n")
        done = subprocess.run([sh, "-c", DRIVER, "sh", SOURCE_DIR / "dist" / "launchd.sh",
                               function], capture_output=True, text=True, timeout=30,
                              env=dict(os.environ, REPLAY=str(replay),
                                       TAMSO_LAUNCHCTL=str(self.tmp / "launchctl")))
        self.assertRegex(done.stdout, "^" + ".*".join(map(re.escape, concluded.split("…"))),
                         done.stderr)


@needs_root("the contract loads a job of root's")
class Contract(StagedTestCase):

  def tearDown(self):
    # A supervisor the contract could not boot out, and its program's session.
    for pid_file in (self.tmp / "launchd").glob("jobs/*/state.json"):
      pid_file.parent.joinpath("bootout").touch()

  def test_every_case_of_the_table_passes(self):
    done = subprocess.run(
        ["sh", str(HERE / "launchd-contract"), str(self.tmp / "report")],
        env=dict(os.environ, TAMSO_LAUNCHCTL=str(HERE / "launchd_standin.py"),
                 FAKE_LAUNCHD=str(self.tmp / "launchd"), TMPDIR=str(self.tmp)),
        capture_output=True, text=True, timeout=240)
    self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
    self.assertEqual(len(done.stdout.splitlines()), 10, done.stdout)
    self.assertEqual(list((self.tmp / "launchd").glob("jobs/*")), [], "the job stays loaded")


if __name__ == "__main__":
  main()
