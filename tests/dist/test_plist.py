#!/usr/bin/env python3
"""The launchd property list runs the installed daemon with the restart policy a Mac
needs, and the newsyslog rule rotates the very log the property list names."""

import os
import plistlib

from distsupport import (LABEL, LOG, NEWSYSLOG, PLIST, StagedTestCase, main,
                         stage_install, staged)


class LaunchDaemon(StagedTestCase):

  def setUp(self):
    super().setUp()
    stage_install(self.tmp, "/usr/local")
    with staged(self.tmp, PLIST).open("rb") as f:
      self.job = plistlib.load(f)

  def test_runs_the_installed_binary_as_daemon_at_load(self):
    self.assertEqual(self.job["Label"], LABEL)
    self.assertEqual(self.job["ProgramArguments"], ["/usr/local/bin/tamso-helper", "daemon"])
    self.assertNotIn("Program", self.job, "Program would override ProgramArguments[0]")
    binary = staged(self.tmp, self.job["ProgramArguments"][0])
    self.assertTrue(binary.is_file() and os.access(binary, os.X_OK),
                    f"the property list names {binary}, which is not installed")
    self.assertIs(self.job["RunAtLoad"], True)

  def test_restarts_after_a_crash_but_not_after_a_clean_stop(self):
    # SIGTERM ends the daemon with 0: it must stay stopped. A crash, or exit 1 on a
    # Mac without AppleSMC, is restarted, but not in a tight loop.
    self.assertEqual(self.job["KeepAlive"], {"SuccessfulExit": False})
    self.assertIsInstance(self.job["ThrottleInterval"], int)
    self.assertGreaterEqual(self.job["ThrottleInterval"], 30)

  def test_standard_error_goes_to_the_log_that_newsyslog_rotates(self):
    self.assertEqual(self.job["StandardErrorPath"], LOG)
    entries = [line.split() for line in staged(self.tmp, NEWSYSLOG).read_text().splitlines()
               if line.strip() and not line.lstrip().startswith("#")]
    self.assertEqual(len(entries), 1, entries)
    # logfile owner:group mode count size when flags; no pid file to signal.
    logfile, owner, mode, count, size, when, flags = entries[0]
    self.assertEqual(logfile, self.job["StandardErrorPath"])
    self.assertEqual((owner, mode), ("root:wheel", "644"))
    self.assertIn(int(count), range(1, 11), "a few archives")
    self.assertTrue(size.isdigit(), "rotation by size")
    self.assertEqual(when, "*")
    self.assertIn("N", flags, "no pid file: newsyslog must not try to signal")
    self.assertTrue(set(flags) & set("JZ"), "archives are compressed")


if __name__ == "__main__":
  main()
