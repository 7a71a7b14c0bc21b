#!/usr/bin/env python3
"""The dist tests' runner: in CI, where every tool is installed, a test skipped for want
of one fails the run; a test skipped because it needs root does not."""

import unittest

from distsupport import main, skips_refused_in_ci


class SkipsInCI(unittest.TestCase):

  def test_only_skips_for_want_of_root_pass_in_ci(self):
    skips = [("lint", "shellcheck is not installed"), ("rotate", "no bzip2"),
             ("layout", "build/linux/tamso-helper is not built"),
             ("install", "install.sh changes owners: needs root"),
             ("nobody", "running as root without setpriv to drop the rights")]
    wanting_a_tool = [skips[0], skips[1], skips[2], skips[4]]
    # environment: the skips that fail the run
    cases = {"CI=true": ({"CI": "true"}, wanting_a_tool),
             "CI=1": ({"CI": "1"}, wanting_a_tool),
             "CI empty": ({"CI": ""}, []),
             "no CI": ({}, [])}
    for name, (environment, refused) in cases.items():
      with self.subTest(name):
        self.assertEqual(skips_refused_in_ci(skips, environment), refused)


if __name__ == "__main__":
  main()
