#!/usr/bin/env python3
"""`cmake --install` into a staging DESTDIR lays down exactly the files a Mac needs,
with their modes, and names the prefix of that install wherever a path is written,
in well-formed property lists whatever the prefix holds, in folders everyone can read
whatever the umask; a prefix the scripts cannot quote, or a relative one, is refused, and so, for a build for the simulated Mac, is an install without
DESTDIR or with DESTDIR at the root. The Mac's installer package carries that same
layout, and its scripts run the install.sh of it for the volume Installer names."""

import os
import plistlib
import re
import struct
import subprocess
from pathlib import Path

from distsupport import (BUILD_DIR, BUILT_BINARY, CMAKE, PLIST, ROTATE_PLIST, VERSION,
                         StagedTestCase, expected_layout, main, stage_install, stage_package,
                         staged, staged_files)


def loaded_bytes(path):
  """The bytes of the segments the loader maps (PT_LOAD) of a 64-bit ELF executable."""
  data = path.read_bytes()
  phoff, = struct.unpack_from("<Q", data, 0x20)
  phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
  segments = (struct.unpack_from("<IIQQQQ", data, phoff + i * phentsize) for i in range(phnum))
  return b"".join(data[offset:offset + size]
                  for kind, _, offset, _, _, size in segments if kind == 1)


class StagedInstall(StagedTestCase):

  def test_lays_down_exactly_the_expected_files_and_modes(self):
    stage_install(self.tmp, "/usr/local")
    self.assertEqual(staged_files(self.tmp), expected_layout("/usr/local"))
    self.assertEqual(staged(self.tmp, "/usr/local/libexec/tamso-helper/tamso-helper").read_bytes(),
                     BUILT_BINARY.read_bytes(), "the installed binary is not the built one")
    for folder in [p for p in self.tmp.rglob("*") if p.is_dir()]:
      self.assertEqual(folder.stat().st_mode & 0o022, 0,
                       f"{folder} is writable by group or others")

  def test_the_projects_version_reaches_the_binary_and_the_manual_page(self):
    if not VERSION:
      self.skipTest("TAMSO_VERSION is not set (ctest sets it)")
    stage_install(self.tmp)
    # what(1) reads the binary's version up to the NUL that ends it. The debug
    # information names it too, so only what the loader maps of the binary counts.
    for path, mark, read in (
        ("/usr/local/libexec/tamso-helper/tamso-helper", f"@(#)tamso-helper {VERSION}\0",
         loaded_bytes),
        ("/usr/local/libexec/tamso-helper/tamso-helper.8", f"\n.Os tamso-helper {VERSION}\n",
         Path.read_bytes)):
      self.assertTrue(mark.encode() in read(staged(self.tmp, path)), f"{path}: {mark!r}")

  def test_folders_it_creates_are_0755_whatever_the_umask(self):
    # sudo keeps the user's umask. A folder that was there keeps its mode.
    for umask in (0o077, 0o027, 0o022):
      with self.subTest(umask=oct(umask)):
        stage = self.tmp / oct(umask)
        (stage / "usr").mkdir(parents=True, mode=0o700)
        (stage / "usr").chmod(0o700)
        stage_install(stage, "/usr/local", umask=umask)
        self.assertEqual(staged_files(stage), expected_layout("/usr/local"))
        folders = {str(p.relative_to(stage)): p.stat().st_mode & 0o7777
                   for p in stage.rglob("*") if p.is_dir()}
        self.assertEqual(folders.pop("usr"), 0o700)
        self.assertEqual(folders, {folder: 0o755 for folder in (
            "usr/local", "usr/local/libexec", "usr/local/libexec/tamso-helper",
            "Library", "Library/LaunchDaemons")})

  def test_a_relative_prefix_is_refused_before_anything_is_laid_down(self):
    if not BUILT_BINARY.is_file():
      self.skipTest(f"{BUILT_BINARY} is not built")
    for prefix in ("rel", "usr/local", "./opt"):
      with self.subTest(prefix):
        stage = self.tmp / "stage"
        done = subprocess.run([CMAKE, "--install", str(BUILD_DIR), "--prefix", prefix],
                              env=dict(os.environ, DESTDIR=str(stage)), cwd=self.tmp,
                              capture_output=True, text=True, timeout=120)
        self.assertNotEqual(done.returncode, 0)
        message = " ".join((done.stdout + done.stderr).split())
        self.assertIn(f"tamso-helper: the install prefix {prefix} is not an absolute path",
                      message)
        self.assertEqual(list(self.tmp.rglob("*")), [], "files were laid down")

  def test_paths_written_into_files_follow_the_install_prefix(self):
    # The prefix given to cmake --install, not the one of the configured build.
    stage_install(self.tmp, "/opt/tamso")
    self.assertEqual(staged_files(self.tmp), expected_layout("/opt/tamso"))
    with staged(self.tmp, PLIST).open("rb") as f:
      arguments = plistlib.load(f)["ProgramArguments"]
    self.assertEqual(arguments[0], "/opt/tamso/libexec/tamso-helper/tamso-helper")
    for script in ("install.sh", "uninstall.sh"):
      text = staged(self.tmp, f"/opt/tamso/libexec/tamso-helper/{script}").read_text()
      self.assertIn("prefix=${TAMSO_PREFIX:-'/opt/tamso'}", text, script)

  def test_no_placeholder_is_left_unconfigured(self):
    stage_install(self.tmp)
    for path in staged_files(self.tmp):
      if path.endswith(("/tamso-helper", "/tamso-setup")):
        continue
      text = staged(self.tmp, path).read_text()
      self.assertIsNone(re.search(r"@[A-Z_]+@", text), f"{path} keeps a placeholder")


class OddPrefixes(StagedTestCase):

  def test_xml_characters_give_well_formed_property_lists(self):
    for prefix in ("/opt/a&b", "/opt/x<y>z", '/opt/"q" & <r>'):
      with self.subTest(prefix):
        stage = self.tmp / str(len(list(self.tmp.iterdir())))
        stage_install(stage, prefix)
        self.assertEqual(staged_files(stage), expected_layout(prefix))
        for plist, program in ((PLIST, f"{prefix}/libexec/tamso-helper/tamso-helper"),
                               (ROTATE_PLIST, f"{prefix}/libexec/tamso-helper/tamso-setup")):
          with staged(stage, plist).open("rb") as f:
            self.assertEqual(plistlib.load(f)["ProgramArguments"][0], program, plist)

  def test_a_prefix_the_scripts_cannot_quote_is_refused_before_anything_is_laid_down(self):
    if not BUILT_BINARY.is_file():
      self.skipTest(f"{BUILT_BINARY} is not built")
    for prefix in ("/opt/it's", "/opt/a\\b", "/opt/a\nb", "/opt/a\tb"):
      with self.subTest(prefix):
        done = subprocess.run([CMAKE, "--install", str(BUILD_DIR), "--prefix", prefix],
                              env=dict(os.environ, DESTDIR=str(self.tmp)),
                              capture_output=True, text=True, timeout=120)
        self.assertNotEqual(done.returncode, 0)
        message = " ".join((done.stdout + done.stderr).split())
        self.assertIn("holds a quote ('), a backslash or a control character, which the "
                      "install scripts cannot quote", message)
        self.assertEqual(list(self.tmp.rglob("*")), [], "files were laid down")


class InstallerPackage(StagedTestCase):
  """The payload and the scripts of the Mac's installer package, as staged for pkgbuild."""

  def test_payload_is_the_install_layout_and_the_scripts_hold_its_install_sh_and_tool(self):
    stage_package(self.tmp)
    root, scripts = self.tmp / "root", self.tmp / "scripts"
    self.assertEqual(staged_files(root), expected_layout("/usr/local"))
    self.assertEqual(staged_files(scripts), {"/preinstall": 0o755, "/postinstall": 0o755,
                                             "/install.sh": 0o755, "/launchd.sh": 0o644,
                                             "/tamso-setup": 0o755})
    for name in ("install.sh", "launchd.sh", "tamso-setup"):
      self.assertEqual((scripts / name).read_bytes(),
                       staged(root, f"/usr/local/libexec/tamso-helper/{name}").read_bytes())
    for folder in [root, scripts] + [p for p in root.rglob("*") if p.is_dir()]:
      self.assertEqual(folder.stat().st_mode & 0o777, 0o755, folder)

  def test_scripts_run_the_tool_and_install_sh_for_the_target_volume_and_fail_with_them(self):
    stage_package(self.tmp)
    scripts, record = self.tmp / "scripts", self.tmp / "record"
    for name in ("install.sh", "tamso-setup"):
      (scripts / name).write_text(
          f'#!/bin/sh\nprintf "%s|" "$@" "root=$TAMSO_ROOT" > "{record}"\n'
          'echo "install.sh: stand-in" >&2\nexit "$STANDIN_STATUS"\n')
    # Installer passes the package, the install location, the target volume, the root.
    for script, volume, status, recorded in (
        ("preinstall", "/", 0, "preflight|root=|"),
        ("preinstall", "/Volumes/Spare Disk", 0, "preflight|root=/Volumes/Spare Disk|"),
        ("preinstall", "/", 3, "preflight|root=|"),
        ("postinstall", "/", 0, "root=|"),
        ("postinstall", "/Volumes/Spare Disk/", 0, "root=/Volumes/Spare Disk|"),
        ("postinstall", "/", 1, "root=|")):
      with self.subTest(script=script, volume=volume, status=status):
        done = subprocess.run([scripts / script, "/tmp/t.pkg", "/", volume, "/"],
                              env=dict(os.environ, STANDIN_STATUS=str(status),
                                       TAMSO_ROOT="/stale"),
                              capture_output=True, text=True, timeout=30)
        self.assertEqual((done.returncode, done.stderr), (status, "install.sh: stand-in\n"))
        self.assertEqual(record.read_text(), recorded)


class InstallIntoThisMachinesRoot(StagedTestCase):
  """Without DESTDIR, or with one that is the root itself."""

  def test_is_refused_before_anything_is_laid_down(self):
    if not BUILT_BINARY.is_file():
      self.skipTest(f"{BUILT_BINARY} is not built")
    to_root = self.tmp / "to-root"
    to_root.symlink_to("/")
    prefix = self.tmp / "usr"
    for destdir in (None, "", "/", "//", "/.", "/tmp/..", str(to_root)):
      with self.subTest(destdir=destdir):
        # The prefix is a temporary folder; the property lists would go to this
        # machine's own /Library. The test must not leave them there if the refusal
        # fails.
        mac_paths = [PLIST, ROTATE_PLIST, os.path.dirname(PLIST), "/Library"]
        there_before = {path: os.path.lexists(path) for path in mac_paths}
        environment = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
        if destdir is not None:
          environment["DESTDIR"] = destdir
        try:
          done = subprocess.run([CMAKE, "--install", str(BUILD_DIR), "--prefix", str(prefix)],
                                env=environment, capture_output=True, text=True, timeout=120)
        finally:
          littered = [p for p in mac_paths if os.path.lexists(p) and not there_before[p]]
          for path in littered:  # files first, then their folders
            (os.rmdir if os.path.isdir(path) else os.remove)(path)
        self.assertEqual(littered, [], "the install wrote into this machine's /Library")
        self.assertNotEqual(done.returncode, 0)
        message = " ".join((done.stdout + done.stderr).split())
        self.assertIn("tamso-helper: this build runs on the simulated Mac", message)
        self.assertIn("set DESTDIR to install into a folder other than /", message)
        self.assertEqual(sorted(self.tmp.rglob("*")), [to_root],
                         "files were laid down in the prefix")


if __name__ == "__main__":
  main()
