"""What the dist tests share: where the build is, a staged `cmake --install`, the
layout it must produce, and a runner that tells CTest when everything was skipped, and
that fails in CI when a test was skipped there for want of a tool."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("TAMSO_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("TAMSO_BUILD_DIR", SOURCE_DIR / "build" / "linux"))
BUILT_BINARY = Path(os.environ.get("TAMSO_BUILT_BINARY", BUILD_DIR / "tamso-helper"))
CMAKE = os.environ.get("TAMSO_CMAKE", "cmake")

LABEL = "org.tamso.helper"
ROTATE_LABEL = f"{LABEL}.rotate"
PLIST = f"/Library/LaunchDaemons/{LABEL}.plist"
ROTATE_PLIST = f"/Library/LaunchDaemons/{ROTATE_LABEL}.plist"
# The logs' own folder, root's alone, and in it the daemon's log, the rotation's log (its
# failures) and the file whose lock keeps two rotations from running at once.
LOG_DIR = "/private/var/log/tamso-helper"
LOG = f"{LOG_DIR}/tamso-helper.log"
ROTATE_LOG = f"{LOG_DIR}/tamso-helper.rotate.log"
LOG_LOCK = f"{LOG_DIR}/tamso-helper.lock"
LIMIT_DIR = "/Library/Application Support/Tamso"
LIMIT_FILE = LIMIT_DIR + "/limit"
LIMIT_LOCK = LIMIT_DIR + "/limit.lock"

# CTest counts a test with this exit status as skipped (SKIP_RETURN_CODE).
EXIT_SKIPPED = 77


def expected_layout(prefix):
  """Every file `cmake --install --prefix PREFIX` must lay down, with its mode."""
  return {
      f"{prefix}/libexec/tamso-helper/tamso-helper": 0o755,
      f"{prefix}/libexec/tamso-helper/tamso-setup": 0o755,
      f"{prefix}/libexec/tamso-helper/tamso-helper.8": 0o644,
      f"{prefix}/libexec/tamso-helper/install.sh": 0o755,
      f"{prefix}/libexec/tamso-helper/uninstall.sh": 0o755,
      f"{prefix}/libexec/tamso-helper/launchd.sh": 0o644,
      PLIST: 0o644,
      ROTATE_PLIST: 0o644,
  }


def staged(stage, path):
  """The staged counterpart of an absolute path."""
  return Path(str(stage) + path)


def stage_install(stage, prefix="/usr/local", umask=None):
  """Installs the built project under the folder `stage`, as DESTDIR, with the umask
  given or the test's own."""
  if not BUILT_BINARY.is_file():
    raise unittest.SkipTest(f"{BUILT_BINARY} is not built; build the project first")
  environment = dict(os.environ, DESTDIR=str(stage))
  done = subprocess.run([CMAKE, "--install", str(BUILD_DIR), "--prefix", prefix],
                        env=environment, capture_output=True, text=True, timeout=120,
                        preexec_fn=None if umask is None else lambda: os.umask(umask))
  if done.returncode != 0:
    raise AssertionError(f"cmake --install failed:\n{done.stdout}{done.stderr}")


def staged_files(stage):
  """The files (not folders) under `stage`, as absolute paths of the target, with modes."""
  found = {}
  for folder, _, files in os.walk(stage):
    for name in files:
      path = Path(folder, name)
      found["/" + str(path.relative_to(stage))] = path.lstat().st_mode & 0o7777
  return found


def as_sh(shell, folder):
  """The shell named SHELL, started as sh (bash then in POSIX mode, zsh emulating sh,
  as a Mac's /bin/sh runs), by a link named sh in FOLDER; None when it is not installed."""
  if not shutil.which(shell):
    return None
  (folder / shell).mkdir(parents=True, exist_ok=True)
  link = folder / shell / "sh"
  if not link.exists():
    link.symlink_to(shutil.which(shell))
  return str(link)


class StagedTestCase(unittest.TestCase):
  """A test with a fresh temporary folder, removed afterwards."""

  def setUp(self):
    self.tmp = Path(tempfile.mkdtemp(prefix="tamso-dist-"))
    self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)


# The reason of a skip that depends on who runs the tests, not on what is installed:
# the tests that act on root's files run only as root. Every other skip (a tool or the
# build missing) fails the run in CI, where scripts/install-deps installs every tool.
NEEDS_ROOT = "needs root"


def needs_root(what):
  """Skips a test or class, with a reason CI accepts, unless run as root."""
  return unittest.skipUnless(os.geteuid() == 0, f"{what}: {NEEDS_ROOT}")


def skips_refused_in_ci(skipped, environment):
  """The skips, as (test, reason), that fail a run with CI set in the environment."""
  if not environment.get("CI"):
    return []
  return [(test, reason) for test, reason in skipped if not reason.endswith(NEEDS_ROOT)]


def main():
  """unittest.main, but exit 1 when a test was skipped in CI for want of a tool, and
  EXIT_SKIPPED when every test was skipped."""
  program = unittest.main(exit=False)
  result = program.result
  if not result.wasSuccessful():
    sys.exit(1)
  refused = skips_refused_in_ci(result.skipped, os.environ)
  for test, reason in refused:
    print(f"skipped in CI, where it must run: {test.id()}: {reason}", file=sys.stderr)
  if refused:
    sys.exit(1)
  if result.testsRun > 0 and len(result.skipped) == result.testsRun:
    sys.exit(EXIT_SKIPPED)
  sys.exit(0)


# The project's version, as CMake passes it to the tests.
VERSION = os.environ.get("TAMSO_VERSION", "")


def stage_package(work):
  """Stages the installer package's payload (work/root) and scripts (work/scripts) with
  the script the pkg target runs before pkgbuild."""
  if not BUILT_BINARY.is_file():
    raise unittest.SkipTest(f"{BUILT_BINARY} is not built; build the project first")
  done = subprocess.run([CMAKE, f"-DBUILD_DIR={BUILD_DIR}", f"-DSOURCE_DIR={SOURCE_DIR}",
                         f"-DWORK_DIR={work}", "-P",
                         str(SOURCE_DIR / "cmake" / "macos-package.cmake")],
                        capture_output=True, text=True, timeout=120)
  if done.returncode != 0:
    raise AssertionError(f"staging the package failed:\n{done.stdout}{done.stderr}")
