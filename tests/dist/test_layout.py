#!/usr/bin/env python3
"""`cmake --install` into a staging DESTDIR lays down exactly the files a Mac needs,
with their modes, and names the prefix of that install wherever a path is written."""

import plistlib
import re

from distsupport import (BUILT_BINARY, PLIST, StagedTestCase, expected_layout, main,
                         stage_install, staged, staged_files)


class StagedInstall(StagedTestCase):

  def test_lays_down_exactly_the_expected_files_and_modes(self):
    stage_install(self.tmp, "/usr/local")
    self.assertEqual(staged_files(self.tmp), expected_layout("/usr/local"))
    self.assertEqual(staged(self.tmp, "/usr/local/bin/tamso-helper").read_bytes(),
                     BUILT_BINARY.read_bytes(), "the installed binary is not the built one")
    for folder in [p for p in self.tmp.rglob("*") if p.is_dir()]:
      self.assertEqual(folder.stat().st_mode & 0o022, 0,
                       f"{folder} is writable by group or others")

  def test_paths_written_into_files_follow_the_install_prefix(self):
    # The prefix given to cmake --install, not the one of the configured build.
    stage_install(self.tmp, "/opt/tamso")
    self.assertEqual(staged_files(self.tmp), expected_layout("/opt/tamso"))
    with staged(self.tmp, PLIST).open("rb") as f:
      arguments = plistlib.load(f)["ProgramArguments"]
    self.assertEqual(arguments[0], "/opt/tamso/bin/tamso-helper")
    for script in ("install.sh", "uninstall.sh"):
      text = staged(self.tmp, f"/opt/tamso/libexec/tamso-helper/{script}").read_text()
      self.assertIn("prefix=${TAMSO_PREFIX:-/opt/tamso}", text, script)

  def test_no_placeholder_is_left_unconfigured(self):
    stage_install(self.tmp)
    for path in staged_files(self.tmp):
      if path.endswith("/tamso-helper"):
        continue
      text = staged(self.tmp, path).read_text()
      self.assertIsNone(re.search(r"@[A-Z_]+@", text), f"{path} keeps a placeholder")


if __name__ == "__main__":
  main()
