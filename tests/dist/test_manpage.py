#!/usr/bin/env python3
"""The manual page lints clean, and says what the program and the install do: the
commands of its synopsis are those of the program's usage text, and FILES lists every
installed path with the owner and mode the install gives it."""

import re
import shutil
import subprocess
import unittest

from distsupport import (BUILT_BINARY, LIMIT_DIR, LIMIT_FILE, LOG, ROTATE_LOG, SOURCE_DIR,
                         expected_layout, main)

MANPAGE = SOURCE_DIR / "dist" / "tamso-helper.8"


def section(source, name):
  """The lines of one .Sh section of the mdoc source."""
  lines = source.splitlines()
  start = lines.index(f".Sh {name}") + 1
  end = next((i for i in range(start, len(lines)) if lines[i].startswith(".Sh ")), len(lines))
  return lines[start:end]


def files_entries(source):
  """FILES as {path: the text of its entry}."""
  entries, path = {}, None
  for line in section(source, "FILES"):
    if line.startswith(".It Pa "):
      path = line[len(".It Pa "):].strip('"')
      entries[path] = ""
    elif line.startswith((".It", ".El")):
      path = None
    elif path is not None:
      entries[path] += line + "\n"
  return entries


class ManualPage(unittest.TestCase):

  @classmethod
  def setUpClass(cls):
    cls.source = MANPAGE.read_text()

  @unittest.skipUnless(shutil.which("mandoc"), "mandoc is not installed (apt-get install mandoc)")
  def test_lints_clean(self):
    done = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", str(MANPAGE)],
                          capture_output=True, text=True, timeout=60)
    self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

  def test_synopsis_and_diagnostics_follow_the_programs_usage_text(self):
    if not BUILT_BINARY.is_file():
      self.skipTest(f"{BUILT_BINARY} is not built")
    done = subprocess.run([str(BUILT_BINARY)], capture_output=True, text=True, timeout=30)
    self.assertEqual(done.returncode, 2)
    usage = done.stderr.rstrip("\n")
    commands = re.findall(r"(?:^usage: tamso-helper |\| )(\w+)", usage)
    synopsis = [line.split()[1] for line in section(self.source, "SYNOPSIS")
                if line.startswith(".Cm ")]
    self.assertEqual(sorted(synopsis), sorted(commands))
    self.assertIn(f'.It "{usage}"', section(self.source, "DIAGNOSTICS"))

  def test_files_lists_each_installed_path_with_owner_and_mode(self):
    entries = files_entries(self.source)
    wanted = dict(expected_layout("/usr/local"))
    wanted.update({LOG: 0o644, ROTATE_LOG: 0o644, LIMIT_FILE: 0o644, LIMIT_DIR: 0o755})
    for path, mode in wanted.items():
      with self.subTest(path):
        self.assertIn(path, entries)
        self.assertIn(f"root:wheel 0{mode:o}", entries[path])
    self.assertIn("/usr/bin/pmset", entries)

  def test_every_way_a_store_can_fail_is_named_where_failures_are_listed(self):
    for name in ("EXIT STATUS", "DIAGNOSTICS"):
      text = " ".join(section(self.source, name))
      for failure in ("symbolic link", "lock", "rename", "flush"):
        with self.subTest(section=name, failure=failure):
          self.assertIn(failure, text)

  def test_the_log_is_followed_across_rotations(self):
    # The log lies where only root writes, and its rotation truncates it in place.
    for page in (MANPAGE, SOURCE_DIR / "README.md"):
      with self.subTest(page.name):
        text = page.read_text()
        self.assertIn(f"tail -F {LOG}", text)
        self.assertNotIn("/Library/Logs", text)

  def test_no_page_promises_more_than_fsync_gives(self):
    # fsync(2) on macOS leaves the data in the drive's cache.
    for page in (MANPAGE, SOURCE_DIR / "README.md"):
      with self.subTest(page.name):
        text = " ".join(page.read_text().split())
        self.assertNotIn("limit survives a power cut", text)
        self.assertNotIn("one survives a power cut", text)
        self.assertIn("as far as the drive keeps its cache", text)


if __name__ == "__main__":
  main()
