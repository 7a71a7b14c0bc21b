#!/usr/bin/env python3
"""launchctl, as far as the scripts use it, for a job whose program really runs: the
launchd contract test runs against it on Linux. Its answers are shaped as a Mac's
launchd gives them (see the contract's report from the macOS workflow):

- bootstrap reads the property list (ProgramArguments, RunAtLoad, KeepAlive with
  SuccessfulExit, ThrottleInterval, ExitTimeOut, StandardErrorPath) and refuses a loaded
  or disabled label, or a list root does not own or others may write, with
  "5: Input/output error";
- a supervisor process per job runs the program in a session of its own, records how it
  ended, and starts it again as KeepAlive says, no sooner than ThrottleInterval after its
  last start;
- bootout returns at once: the supervisor sends SIGTERM, SIGKILL after ExitTimeOut, and
  then lets the job go; print of a job it does not know exits 113.

The state lives in the folder FAKE_LAUNCHD, a folder per loaded job."""

import json
import os
import plistlib
import signal
import subprocess
import sys
import time
from pathlib import Path

STATE = Path(os.environ["FAKE_LAUNCHD"])
SYSEXITS = {64: "EX_USAGE", 65: "EX_DATAERR", 66: "EX_NOINPUT", 67: "EX_NOUSER",
            68: "EX_NOHOST", 69: "EX_UNAVAILABLE", 70: "EX_SOFTWARE", 71: "EX_OSERR",
            72: "EX_OSFILE", 73: "EX_CANTCREAT", 74: "EX_IOERR", 75: "EX_TEMPFAIL",
            76: "EX_PROTOCOL", 77: "EX_NOPERM", 78: "EX_CONFIG"}


def fail(words, status):
  print(words, file=sys.stderr)
  sys.exit(status)


def job_folder(service):
  return STATE / "jobs" / service.removeprefix("system/")


def read_state(folder):
  return json.loads((folder / "state.json").read_text())


def write_state(folder, state):
  (folder / "state.new").write_text(json.dumps(state))
  (folder / "state.new").replace(folder / "state.json")


def loaded(service):
  folder = job_folder(service)
  if not (folder / "state.json").exists():
    fail(f'Could not find service "{service.removeprefix("system/")}" in domain for system',
         113)
  return folder


def restarts(job, how):
  """Whether KeepAlive starts the job again after it ended so."""
  keep = job.get("KeepAlive", False)
  if isinstance(keep, bool):
    return keep
  clean = how.get("exit") == 0
  if "SuccessfulExit" in keep:
    return clean == keep["SuccessfulExit"]
  return False


def supervise(folder, job):
  """Runs the job's program as launchd does, until the job is booted out."""
  state = read_state(folder)
  child, started, due, kill_at = None, -1e9, None, None
  if job.get("RunAtLoad"):
    due = time.monotonic()
  while True:
    now = time.monotonic()
    if child is not None and child.poll() is not None:
      code = child.returncode
      state["last"] = {"signal": -code} if code < 0 else {"exit": code}
      try:
        os.killpg(child.pid, signal.SIGKILL)  # what it left in its session
      except ProcessLookupError:
        pass
      child, state["pid"] = None, None
      if kill_at is None and restarts(job, state["last"]):
        due = max(now, started + job.get("ThrottleInterval", 10))
    if (folder / "bootout").exists():
      if child is None:
        for name in ("state.json", "bootout", "start"):
          (folder / name).unlink(missing_ok=True)
        folder.rmdir()
        return
      if kill_at is None:
        child.send_signal(signal.SIGTERM)
        kill_at = now + job.get("ExitTimeOut", 20)
      elif now >= kill_at:
        child.kill()
    elif (folder / "start").exists():
      (folder / "start").unlink()
      due = now if child is None else due
    if child is None and kill_at is None and due is not None and now >= due:
      with open(job.get("StandardErrorPath", os.devnull), "ab") as log:
        child = subprocess.Popen(job["ProgramArguments"], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=log,
                                 start_new_session=True)
      started, due = now, None
      state.update(pid=child.pid, started=child.pid, runs=state["runs"] + 1)
    state["state"] = ("running" if child is not None else
                      "spawn scheduled" if due is not None else "not running")
    write_state(folder, state)
    time.sleep(0.05)


def bootstrap(plist_path):
  info = os.stat(plist_path)
  if info.st_uid != 0 or info.st_mode & 0o022:
    fail(f"{plist_path}: bad ownership or permissions\nBootstrap failed: 5: Input/output error", 5)
  with open(plist_path, "rb") as f:
    job = plistlib.load(f)
  folder = STATE / "jobs" / job["Label"]
  if folder.exists() or (STATE / "disabled" / job["Label"]).exists():
    fail("Bootstrap failed: 5: Input/output error", 5)
  folder.mkdir(parents=True)
  write_state(folder, {"state": "not running", "pid": None, "last": None, "runs": 0,
                       "program": job["ProgramArguments"][0], "path": str(plist_path)})
  if os.fork() == 0:
    os.setsid()
    if os.fork() == 0:
      devnull = os.open(os.devnull, os.O_RDWR)
      errors = os.open(STATE / "supervisor.log", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
      for fd, to in ((0, devnull), (1, devnull), (2, errors)):
        os.dup2(to, fd)
      supervise(folder, job)
    os._exit(0)
  os.wait()
  # Started at load: launchd shows the job running by the time bootstrap returns.
  for _ in range(40):
    if not job.get("RunAtLoad") or read_state(folder)["runs"]:
      break
    time.sleep(0.05)


def show(service):
  folder = loaded(service)
  state = read_state(folder)
  last = state["last"] or {}
  lines = [f"{service} = {{", "\tactive count = 1", f"\tpath = {state.get('path', '')}",
           "\ttype = LaunchDaemon", f"\tstate = {state['state']}", "",
           f"\tprogram = {state.get('program', '')}", f"\truns = {state['runs']}"]
  if state["pid"]:
    lines.append(f"\tpid = {state['pid']}")
  if "signal" in last:
    name = signal.strsignal(last["signal"]) or "Signal"
    lines.append(f"\tlast terminating signal = {name}: {last['signal']}")
  elif "exit" in last:
    code = last["exit"]
    named = SYSEXITS.get(code) or os.strerror(code)
    lines.append(f"\tlast exit code = {code}" + (f": {named}" if code else ""))
  else:
    lines.append("\tlast exit code = (never exited)")
  print("\n".join(lines + ["\tendpoints = {", "\t}", "}"]))


def kickstart(service, print_pid):
  folder = loaded(service)
  state = read_state(folder)
  if not state["pid"]:
    (folder / "start").touch()
    runs = state["runs"]
    while state["runs"] == runs:
      time.sleep(0.02)
      state = read_state(folder)
  if print_pid:
    print(state["started"])


def main(arguments):
  match arguments:
    case ["print", service]:
      show(service)
    case ["bootstrap", "system", plist_path]:
      bootstrap(plist_path)
    case ["bootout", service]:
      if not job_folder(service).exists():
        fail("Boot-out failed: 3: No such process", 3)
      (job_folder(service) / "bootout").touch()
    case ["enable" | "disable" as verb, service]:
      marker = STATE / "disabled" / service.removeprefix("system/")
      marker.parent.mkdir(parents=True, exist_ok=True)
      marker.touch() if verb == "disable" else marker.unlink(missing_ok=True)
    case ["kill", "SIGTERM", service]:
      pid = read_state(loaded(service))["pid"]
      if not pid:
        fail("Could not kill service: 3: No such process", 3)
      os.kill(pid, signal.SIGTERM)
    case ["kickstart", *options, service] if set(options) <= {"-p"}:
      kickstart(service, "-p" in options)
    case _:
      fail(f"Unrecognized subcommand: {' '.join(arguments)}", 64)


if __name__ == "__main__":
  main(sys.argv[1:])
