#!/usr/bin/env python3
"""launchctl for the launchd contract on Linux: a job's program really runs, and the
answers are shaped as a Mac's launchd gives them. bootstrap reads the property list and
refuses a loaded or disabled label, or a list root does not own or others may write; a
supervisor per job runs the program in a session of its own and starts it again as
KeepAlive says, no sooner than ThrottleInterval after its last start; bootout returns at
once, while the supervisor sends SIGTERM, then SIGKILL after ExitTimeOut. The state is
in the folder FAKE_LAUNCHD, a folder per loaded job."""

import json
import os
import plistlib
import signal
import subprocess
import sys
import time
from pathlib import Path

STATE = Path(os.environ["FAKE_LAUNCHD"])
# How launchd names a signal that ended a job: macOS's words and numbers.
SIGNALS = {signal.SIGTERM: "Terminated: 15", signal.SIGKILL: "Killed: 9",
           signal.SIGABRT: "Abort trap: 6", signal.SIGBUS: "Bus error: 10",
           signal.SIGSEGV: "Segmentation fault: 11"}


def fail(words, status):
  print(words, file=sys.stderr)
  sys.exit(status)


def folder_of(service):
  return STATE / "jobs" / service.removeprefix("system/")


def state_of(folder):
  if not (folder / "state.json").exists():
    fail(f'Could not find service "{folder.name}" in domain for system', 113)
  return json.loads((folder / "state.json").read_text())


def keep_state(folder, state):
  (folder / "state.new").write_text(json.dumps(state))
  (folder / "state.new").replace(folder / "state.json")


def supervise(folder, job):
  state, child, started, kill_at = state_of(folder), None, -1e9, None
  due = time.monotonic() if job.get("RunAtLoad") else None
  keep = job.get("KeepAlive", False)
  while True:
    now = time.monotonic()
    if child is not None and child.poll() is not None:
      code = child.returncode
      state["last"] = {"signal": -code} if code < 0 else {"exit": code}
      try:
        os.killpg(child.pid, signal.SIGKILL)  # what it left in its session
      except ProcessLookupError:
        pass
      child = state["pid"] = None
      clean = code == 0
      if kill_at is None and (keep is True or isinstance(keep, dict) and
                              clean == keep.get("SuccessfulExit", not clean)):
        due = max(now, started + job.get("ThrottleInterval", 10))
    if (folder / "bootout").exists():
      if child is None:
        for path in folder.iterdir():
          path.unlink()
        return folder.rmdir()
      if kill_at is None:
        child.send_signal(signal.SIGTERM)
        kill_at = now + job.get("ExitTimeOut", 20)
      elif now >= kill_at:
        child.kill()
    elif (folder / "start").exists():
      (folder / "start").unlink()
      due = now if child is None else due
    if child is None and kill_at is None and due is not None and now >= due:
      # Appended to, as launchd opens it: a log emptied meanwhile gets the next line at
      # its start.
      log = os.open(job.get("StandardErrorPath", os.devnull),
                    os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
      child = subprocess.Popen(job["ProgramArguments"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=log, start_new_session=True)
      os.close(log)
      started, due = now, None
      state.update(pid=child.pid, started=child.pid, runs=state["runs"] + 1)
    state["state"] = ("running" if child else
                      "spawn scheduled" if due is not None else "not running")
    keep_state(folder, state)
    time.sleep(0.05)


def bootstrap(path):
  info = os.stat(path)
  if info.st_uid != 0 or info.st_mode & 0o022:
    fail(f"{path}: bad ownership or permissions\nBootstrap failed: 5: Input/output error", 5)
  with open(path, "rb") as f:
    job = plistlib.load(f)
  folder = STATE / "jobs" / job["Label"]
  if folder.exists():
    fail("Bootstrap failed: 5: Input/output error", 5)
  if (STATE / "disabled" / job["Label"]).exists():
    fail(f"{path}: Service is disabled\nBootstrap failed: 119: Service is disabled", 119)
  folder.mkdir(parents=True)
  keep_state(folder, {"state": "not running", "pid": None, "last": None, "runs": 0,
                      "program": job["ProgramArguments"][0], "path": path})
  if os.fork() == 0:
    os.setsid()
    if os.fork() == 0:
      errors = os.open(STATE / "supervisor.log", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
      for fd, to in ((0, os.open(os.devnull, os.O_RDWR)), (1, errors), (2, errors)):
        os.dup2(to, fd)
      supervise(folder, job)
    os._exit(0)
  os.wait()
  # Started at load, it is running by the time bootstrap returns.
  while job.get("RunAtLoad") and not state_of(folder)["runs"]:
    time.sleep(0.02)


def show(service):
  state = state_of(folder_of(service))
  last = state["last"] or {}
  # A nested block first, whose lines are not the service's.
  lines = [f"{service} = {{", "\tevent triggers = {", f'\t\t"{service}.wake" => {{',
           "\t\t\tstate = running", "\t\t\tpid = 1", "\t\t\tlast exit code = 1", "\t\t}",
           "\t}", "\tactive count = 1", f"\tpath = {state['path']}",
           "\ttype = LaunchDaemon", f"\tstate = {state['state']}", "",
           f"\tprogram = {state['program']}", f"\truns = {state['runs']}"]
  if state["pid"]:
    lines.append(f"\tpid = {state['pid']}")
  if "signal" in last:
    number = last["signal"]
    lines.append("\tlast terminating signal = " +
                 SIGNALS.get(number, f"{signal.strsignal(number)}: {number}"))
  elif last.get("exit"):
    lines.append(f"\tlast exit code = {last['exit']}" + (": EX_CONFIG" * (last["exit"] == 78)))
  else:
    lines.append(f"\tlast exit code = {'0' if last else '(never exited)'}")
  print("\n".join(lines + ["\tendpoints = {", "\t}", "}"]))


def kickstart(service, print_pid):
  folder = folder_of(service)
  state = state_of(folder)
  if not state["pid"]:
    (folder / "start").touch()
    runs = state["runs"]
    while state["runs"] == runs:
      time.sleep(0.02)
      state = state_of(folder)
  if print_pid:
    print(f"service spawned with pid: {state['started']}")


def main(arguments):
  match arguments:
    case ["print", service]:
      show(service)
    case ["bootstrap", "system", path]:
      bootstrap(path)
    case ["bootout", service]:
      if not folder_of(service).exists():
        fail("Boot-out failed: 3: No such process", 3)
      (folder_of(service) / "bootout").touch()
    case ["enable" | "disable" as verb, service]:
      marker = STATE / "disabled" / service.removeprefix("system/")
      marker.parent.mkdir(parents=True, exist_ok=True)
      marker.touch() if verb == "disable" else marker.unlink(missing_ok=True)
    case ["kill", "SIGTERM", service]:
      pid = state_of(folder_of(service))["pid"]
      if not pid:
        fail("Could not kill service: 3: No such process", 3)
      os.kill(pid, signal.SIGTERM)
    case ["kickstart", *options, service] if set(options) <= {"-p"}:
      kickstart(service, "-p" in options)
    case _:
      fail(f"Unrecognized subcommand: {' '.join(arguments)}", 64)


if __name__ == "__main__":
  main(sys.argv[1:])
