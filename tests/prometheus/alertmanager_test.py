#!/usr/bin/env python3
"""The example Alertmanager configuration against the real Alertmanager.

1. Every alert name the inhibition rules mention is an alert of aircon-rules.yml (a typo
   would hold back nothing, silently), and no cause waits longer (its "for" and the age in
   seconds its expression asks) than an alert it holds back: the consequence would be
   delivered before its cause fires.
2. Each alert of the rules reaches the receiver of its severity (amtool config routes test).
3. An Alertmanager on loopback, started here with the example, is sent the alerts of a lost
   port, silent and refusing controllers, a stalled poller and their consequences (with and
   without the addr label); the alerts it holds back, and by which cause, are exactly those
   expected.

    alertmanager_test.py RULES ALERTMANAGER_CONFIG
"""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import yaml

AMTOOL = shutil.which("amtool") or "/usr/bin/amtool"
ALERTMANAGER = shutil.which("prometheus-alertmanager") or "/usr/bin/prometheus-alertmanager"

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


SECONDS = {"ms": 0.001, "s": 1, "m": 60, "h": 3600, "d": 86400, "w": 604800, "y": 31536000}


def seconds_of(duration):
    return sum(int(n) * SECONDS[u] for n, u in re.findall(r"(\d+)(ms|[ywdhms])", duration))


def rules_of(rules_path):
    """{alert name: (severity, its wait in seconds)} of the rules file: its "for", plus the
    age its expression asks for (the number marked "# seconds")."""
    with open(rules_path, encoding="utf-8") as f:
        doc = yaml.safe_load(f)
    found = {}
    for group in doc["groups"]:
        for rule in group["rules"]:
            if "alert" in rule:
                age = re.search(r"(\d+(?:\.\d+)?)\s*#\s*seconds", rule["expr"])
                found[rule["alert"]] = (rule.get("labels", {}).get("severity"),
                                        seconds_of(rule.get("for", "0s")) +
                                        (float(age.group(1)) if age else 0))
    return found


def check_inhibition_names(rules, config):
    for number, rule in enumerate(config.get("inhibit_rules", []), start=1):
        names = {}
        for key in ("source_matchers", "target_matchers"):
            names[key] = []
            for matcher in rule.get(key, []):
                m = re.match(r'^\s*alertname\s*=~?\s*"?([^"]*)"?\s*$', matcher)
                if not m:
                    continue
                for name in m.group(1).split("|"):
                    if name not in rules:
                        fail(f"inhibit rule {number} ({key}) names {name}, no alert of the rules")
                    else:
                        names[key].append(name)
        for source in names["source_matchers"]:
            for target in names["target_matchers"]:
                if rules[source][1] > rules[target][1]:
                    fail(f"inhibit rule {number}: {source} waits {rules[source][1]} s, longer "
                         f"than {target} ({rules[target][1]} s) that it holds back")


def check_routes(rules, config_path):
    expected = {"page": "pager", "ticket": "ticket"}
    for name, (severity, _) in sorted(rules.items()):
        if severity not in expected:
            fail(f"{name} has severity {severity!r}, neither page nor ticket")
            continue
        labels = [f"alertname={name}", f"severity={severity}", "site=BS-0421",
                  "instance=bs0421:9100", "port=/dev/ttyUSB0", "addr=1"]
        run = subprocess.run([AMTOOL, "config", "routes", "test", f"--config.file={config_path}",
                              *labels], capture_output=True, text=True)
        receiver = run.stdout.strip()
        if run.returncode != 0 or receiver != expected[severity]:
            fail(f"{name} ({severity}) routes to {receiver!r}, not {expected[severity]}: "
                 f"{run.stderr.strip()}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(url, data=None):
    body = json.dumps(data).encode() if data is not None else None
    req = urllib.request.Request(url, data=body, method="POST" if body else "GET",
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=5) as r:
        return json.loads(r.read() or b"null")


# The causes, then the alerts that may or may not follow from them. Each row: its labels,
# and the cause that must hold it back (None: it must be delivered).
BS1 = {"site": "BS-0421", "instance": "bs0421:9100"}
CAUSES = {
    "port lost": dict(BS1, alertname="AirConPortLost", severity="page", port="/dev/ttyUSB0"),
    "silent 1": dict(BS1, alertname="AirConControllerSilent", severity="page",
                     port="/dev/ttyUSB1", addr="1"),
    "refusing 7": dict(BS1, alertname="AirConControllerRefusing", severity="page",
                       port="/dev/ttyUSB1", addr="7"),
    "silent, no addr": {"site": "BS-0777", "instance": "bs0777:9100",
                        "alertname": "AirConControllerSilent", "severity": "page",
                        "port": "/dev/ttyS0"},
    "not writing": {"site": "BS-0900", "instance": "bs0900:9100",
                    "alertname": "AirConPollerNotWriting", "severity": "page",
                    "file": "airconpoll-ttyS0.prom"},
}
CASES = [
    # every controller on the lost port, with or without an address
    (dict(BS1, alertname="AirConControllerSilent", severity="page", port="/dev/ttyUSB0",
          addr="1"), "port lost"),
    (dict(BS1, alertname="AirConControllerSilent", severity="page", port="/dev/ttyUSB0"),
     "port lost"),
    (dict(BS1, alertname="AirConNoGoodReply", severity="page", port="/dev/ttyUSB0", addr="2"),
     "port lost"),
    (dict(BS1, alertname="AirConErrorFrames", severity="ticket", port="/dev/ttyUSB0"),
     "port lost"),
    # an alarm read before the port was lost is no consequence of it
    (dict(BS1, alertname="AirConUnitAlarmCritical", severity="page", port="/dev/ttyUSB0",
          addr="1", unit="1", name="return_air_temp"), None),
    # the same port name on another host
    (dict(alertname="AirConControllerSilent", severity="page", site="BS-0500",
          instance="bs0500:9100", port="/dev/ttyUSB0", addr="1"), None),
    # a silent or refusing controller holds back its own consequences only
    (dict(BS1, alertname="AirConNoGoodReply", severity="page", port="/dev/ttyUSB1", addr="1"),
     "silent 1"),
    (dict(BS1, alertname="AirConReplyLoss", severity="ticket", port="/dev/ttyUSB1", addr="1"),
     "silent 1"),
    (dict(BS1, alertname="AirConNoGoodReply", severity="page", port="/dev/ttyUSB1", addr="2"),
     None),
    (dict(BS1, alertname="AirConParametersOld", severity="ticket", port="/dev/ttyUSB1",
          addr="7"), "refusing 7"),
    (dict(BS1, alertname="AirConIdentityOld", severity="ticket", port="/dev/ttyUSB1",
          addr="7"), "refusing 7"),
    (dict(BS1, alertname="AirConErrorFrames", severity="ticket", port="/dev/ttyUSB1"), None),
    (dict(BS1, alertname="AirConParameterDrift", severity="ticket", port="/dev/ttyUSB1",
          addr="1", name="temp_set_point"), None),
    ({"site": "BS-0777", "instance": "bs0777:9100", "alertname": "AirConNoGoodReply",
      "severity": "page", "port": "/dev/ttyS0"}, "silent, no addr"),
    # a poller that stopped writing: the ages of its file, not a silence on the host
    ({"site": "BS-0900", "instance": "bs0900:9100", "alertname": "AirConIdentityOld",
      "severity": "ticket", "port": "/dev/ttyS0"}, "not writing"),
    ({"site": "BS-0900", "instance": "bs0900:9100", "alertname": "AirConControllerSilent",
      "severity": "page", "port": "/dev/ttyS1"}, None),
]


def fingerprint_key(labels):
    return tuple(sorted(labels.items()))


def check_inhibition(config_path):
    storage = tempfile.mkdtemp(prefix="am-test-")
    port = free_port()
    base = f"http://127.0.0.1:{port}/api/v2"
    log = open(os.path.join(storage, "alertmanager.log"), "w")
    proc = subprocess.Popen([ALERTMANAGER, f"--config.file={config_path}",
                             f"--storage.path={storage}",
                             f"--web.listen-address=127.0.0.1:{port}",
                             "--cluster.listen-address="],
                            stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                request(f"{base}/status")
                break
            except (urllib.error.URLError, ConnectionError, OSError):
                if proc.poll() is not None or time.monotonic() > deadline:
                    fail("Alertmanager did not start")
                    return
                time.sleep(0.1)

        everything = list(CAUSES.values()) + [labels for labels, _ in CASES]
        request(f"{base}/alerts", [{"labels": labels,
                                    "annotations": {"summary": labels["alertname"]}}
                                   for labels in everything])

        expected = {fingerprint_key(labels): cause for labels, cause in CASES}
        for labels in CAUSES.values():
            expected[fingerprint_key(labels)] = None

        # The inhibitor takes new alerts in on its own; wait until the expected ones are held
        # back (or time runs out), then compare everything.
        got = {}
        deadline = time.monotonic() + 15
        while True:
            alerts = request(f"{base}/alerts")
            got = {fingerprint_key(a["labels"]): a for a in alerts}
            held = sum(1 for k, cause in expected.items()
                       if cause and got.get(k, {}).get("status", {}).get("inhibitedBy"))
            if held == sum(1 for cause in expected.values() if cause) or \
                    time.monotonic() > deadline:
                break
            time.sleep(0.2)

        by_fingerprint = {a["fingerprint"]: a for a in got.values()}
        for key, cause in expected.items():
            labels = dict(key)
            what = f"{labels['alertname']} {{{', '.join(f'{k}={v}' for k, v in key if k != 'alertname')}}}"
            alert = got.get(key)
            if alert is None:
                fail(f"{what}: not known to Alertmanager")
                continue
            by = alert["status"].get("inhibitedBy") or []
            causes = [by_fingerprint[f]["labels"] for f in by if f in by_fingerprint]
            if cause is None and by:
                fail(f"{what}: held back by {causes}, must be delivered")
            elif cause is not None:
                want = CAUSES[cause]
                if want not in causes:
                    fail(f"{what}: must be held back by {cause} ({want['alertname']}), "
                         f"held back by {causes or 'nothing'}")
        print(f"inhibition: {len(expected)} alerts checked")
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        log.close()
        if failures:
            with open(os.path.join(storage, "alertmanager.log"), encoding="utf-8") as f:
                sys.stdout.write(f.read()[-3000:])
        shutil.rmtree(storage, ignore_errors=True)


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    rules_path, config_path = argv
    rules = rules_of(rules_path)
    with open(config_path, encoding="utf-8") as f:
        config = yaml.safe_load(f)
    check_inhibition_names(rules, config)
    check_routes(rules, config_path)
    check_inhibition(config_path)
    if failures:
        print(f"{len(failures)} failure(s)")
        return 1
    print("alertmanager example: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
