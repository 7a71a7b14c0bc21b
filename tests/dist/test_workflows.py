#!/usr/bin/env python3
"""scripts/workflow-rules, which scripts/check-workflows runs after the schema: each
broken rule fails the check, and a workflow that keeps them all passes, the project's
own among them."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from distsupport import SOURCE_DIR, main

RULES = SOURCE_DIR / "scripts" / "workflow-rules"
TOP = "permissions:\n  contents: read\n"
WRITE = "    permissions:\n      contents: write\n"
PIN = "actions/checkout@3d3c42e5aac5ba805825da76410c181273ba90b1 # v7.0.1"
WORKFLOW = """name: release
on:
  push:
{top}jobs:
  publish:
    runs-on: ubuntu-latest
{job}    steps:
      - uses: {uses}
      - name: Publish
{env}        run: |
          {run}
"""


def workflow(top=TOP, job="", uses=PIN, env="", run='gh release create "$TAG"'):
  return WORKFLOW.format(top=top, job=job, uses=uses, env=env, run=run)


class Rules(unittest.TestCase):

  def test_each_broken_rule_fails_and_a_kept_one_passes(self):
    secret_in_env = "        env:\n          TOKEN: ${{ secrets.TOKEN }}\n"
    # name: (workflow, what the failure says, or None when it passes)
    cases = {
      "valid": (workflow(job=WRITE), None),
      "pinned by a tag": (workflow(uses="actions/checkout@v7"), "is not pinned"),
      "pinned without its tag": (workflow(uses=PIN.split(" #")[0]), "no comment"),
      "no top-level permissions": (workflow(top=""), "no top-level permissions"),
      "top-level write": (workflow(top="permissions: write-all\n"), "grant a write"),
      "secret on a command line": (workflow(run="curl -u ${{ secrets.TOKEN }} x"),
                                   "a secret in a run: text"),
      "secret through env": (workflow(env=secret_in_env, run='curl -u "$TOKEN" x'), None),
      "publishing job builds": (workflow(job=WRITE, run="cmake --build build"),
                                "runs cmake"),
      "other job builds": (workflow(run="cmake --build build"), None),
    }
    with tempfile.TemporaryDirectory() as tmp:
      for name, (text, failure) in cases.items():
        with self.subTest(name):
          path = Path(tmp) / "workflow.yml"
          path.write_text(text)
          result = subprocess.run([sys.executable, RULES, path], capture_output=True,
                                  text=True, check=False)
          self.assertEqual(result.returncode, 0 if failure is None else 1, result.stderr)
          self.assertIn(failure or "", result.stderr)

  def test_the_projects_workflows_keep_the_rules(self):
    workflows = sorted((SOURCE_DIR / ".github" / "workflows").glob("*.yml"))
    result = subprocess.run([sys.executable, RULES, *workflows], capture_output=True,
                            text=True, check=False)
    self.assertEqual((result.returncode, result.stderr), (0, ""))


if __name__ == "__main__":
  main()
