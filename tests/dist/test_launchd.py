#!/usr/bin/env python3
"""The launchd contract (launchd-contract beside this file) on Linux, against the
stand-in that runs the job's program as launchd does: the functions the scripts talk to
launchd through read it as they must read a Mac's."""

import os
import signal
import subprocess
from pathlib import Path

from distsupport import SOURCE_DIR, StagedTestCase, main, needs_root

HERE = SOURCE_DIR / "tests" / "dist"


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
    self.assertEqual(len(done.stdout.splitlines()), 9, done.stdout)
    self.assertEqual(list((self.tmp / "launchd").glob("jobs/*")), [], "the job stays loaded")


if __name__ == "__main__":
  main()
