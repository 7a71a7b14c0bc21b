#!/usr/bin/env python3
"""The launchd property lists: the daemon's runs the installed daemon as a background
process with the restart policy a Mac needs and sends its standard error to the log;
the rotation's runs the install tool's rotation every hour, without a shell, with its
failures written to a log of their own; nothing launchd opens lies where the admin group
may write."""

import os
import plistlib

from distsupport import (LABEL, LOG, PLIST, ROTATE_LABEL, ROTATE_LOG, ROTATE_PLIST,
                         StagedTestCase, main, stage_install, staged)


class LaunchDaemon(StagedTestCase):

  def setUp(self):
    super().setUp()
    stage_install(self.tmp, "/usr/local")
    with staged(self.tmp, PLIST).open("rb") as f:
      self.job = plistlib.load(f)

  def test_runs_the_installed_binary_as_daemon_at_load(self):
    self.assertEqual(self.job["Label"], LABEL)
    self.assertEqual(self.job["ProgramArguments"],
                     ["/usr/local/libexec/tamso-helper/tamso-helper", "daemon"])
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
    # The scripts wait as long as launchd gives a stop before its SIGKILL.
    self.assertEqual(self.job["ExitTimeOut"], 20)

  def test_standard_error_goes_to_the_log(self):
    self.assertEqual(self.job["StandardErrorPath"], LOG)
    self.assertTrue(LOG.startswith("/private/var/log/tamso-helper/"))

  def test_runs_as_a_background_process(self):
    # Its timer coalesced with others', its work kept out of the user's way.
    self.assertEqual(self.job["ProcessType"], "Background")


class RotationJob(StagedTestCase):
  """The hourly job that rotates the log runs the installed tool."""

  def setUp(self):
    super().setUp()
    stage_install(self.tmp, "/opt/tamso")
    with staged(self.tmp, ROTATE_PLIST).open("rb") as f:
      self.job = plistlib.load(f)

  def test_runs_the_installed_tool_every_hour(self):
    self.assertEqual(self.job["Label"], ROTATE_LABEL)
    self.assertEqual(self.job["ProgramArguments"],
                     ["/opt/tamso/libexec/tamso-helper/tamso-setup", "rotate"])
    script = staged(self.tmp, self.job["ProgramArguments"][0])
    self.assertTrue(script.is_file() and os.access(script, os.X_OK), script)
    self.assertEqual(self.job["StartInterval"], 3600)
    # Neither kept alive nor run at load: a run that finds a small log does nothing.
    self.assertNotIn("KeepAlive", self.job)
    self.assertNotIn("RunAtLoad", self.job)
    self.assertNotIn("Program", self.job)

  def test_failures_go_to_a_log_the_rotation_does_not_rename(self):
    self.assertEqual(self.job["StandardErrorPath"], ROTATE_LOG)
    self.assertFalse(ROTATE_LOG.startswith(LOG), "the rotation would truncate its own log")
    self.assertTrue(ROTATE_LOG.startswith("/private/var/log/tamso-helper/"))


if __name__ == "__main__":
  main()
