#!/usr/bin/env python3
"""Two controllers on one line, alerted on end to end through the real engines.

    tools/fleet_check.py AC_SIM AIRCONPOLL

On loopback only, on free ports, in a temporary folder, all stopped on exit: the simulator
with controllers 1 and 2 on one line, AirConPoll --addr 1,2 writing the metrics file, the
node exporter serving it, Prometheus scraping it with the rules derived from the shipped
file by tools/rules_fast.py, and Alertmanager routing by the shipped example (receivers and
waiting times replaced) to a webhook receiver of this test. Controller 1 raises a
high return-air temperature alarm on unit 1 and controller 2 falls silent: the webhook must
get the alarm alert of the first (addr, unit, alarm name) and the silence alert of the
second, and none that the inhibitions hold back (the second's lost replies and its old
last good reply, which Prometheus is seen to fire meanwhile); then both resolve when the
simulator returns to normal. Every wait has a deadline.
"""

import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RULES = os.path.join(ROOT, "packaging/prometheus/aircon-rules.yml")
AM_EXAMPLE = os.path.join(ROOT, "packaging/prometheus/alertmanager-example.yml")
RULES_FAST = os.path.join(ROOT, "tools/rules_fast.py")
# Held back while controller 2 is silent (inhibit_rules of the example).
INHIBITED = {"AirConNoGoodReply", "AirConReplyLoss", "AirConIdentityOld", "AirConParametersOld"}


class Failed(Exception):
    pass


def say(text):
    print(f"fleet_check: {text}", flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get_json(url):
    with urllib.request.urlopen(url, timeout=5) as r:
        return json.load(r)


def wait_for(what, limit, check, step=0.25):
    """Calls check until it returns something true, at most limit seconds."""
    end = time.monotonic() + limit
    last_error = None
    while time.monotonic() < end:
        try:
            got = check()
            if got:
                return got
        except Exception as e:  # an engine not up yet
            last_error = e
        time.sleep(step)
    raise Failed(f"{what}: not within {limit} s" + (f" (last error: {last_error})" if last_error else ""))


class Hook(http.server.BaseHTTPRequestHandler):
    """The webhook receiver: every notification's alerts, kept with their status."""
    notes = []
    lock = threading.Lock()

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        try:
            note = json.loads(body)
        except ValueError:
            note = {"alerts": [], "bad": body.decode("utf-8", "replace")}
        with Hook.lock:
            Hook.notes.append((self.path, note))
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass

    @classmethod
    def alerts(cls):
        with cls.lock:
            return [(path, a) for path, n in cls.notes for a in n.get("alerts", [])]


def matches(alert, alertname, **labels):
    l = alert["labels"]
    return l.get("alertname") == alertname and all(l.get(k) == v for k, v in labels.items())


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    sim, poller = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    exporter = shutil.which("prometheus-node-exporter")
    prometheus = shutil.which("prometheus")
    alertmanager = shutil.which("prometheus-alertmanager")
    for name, path in (("prometheus-node-exporter", exporter), ("prometheus", prometheus),
                       ("prometheus-alertmanager", alertmanager)):
        if not path:
            raise Failed(f"{name} is not installed (tools/deps.sh)")

    tmp = tempfile.mkdtemp(prefix="fleet-check-")
    procs = []
    logs = {}

    def start(name, args):
        log = open(os.path.join(tmp, name + ".log"), "w")
        logs[name] = log.name
        p = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, cwd=tmp,
                             start_new_session=True)
        procs.append((name, p))
        return p

    server = None
    try:
        # --- the webhook receiver
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
        hook_port = server.server_address[1]
        threading.Thread(target=server.serve_forever, daemon=True).start()

        # --- the simulator and the poller
        link = os.path.join(tmp, "ttyAC0")
        control = os.path.join(tmp, "control")
        start("ac_sim", [sim, "--link", link, "--addr", "1,2", "--alarm-every", "0",
                         "--control", control, "--hour-seconds", "86400"])
        wait_for("the simulator's line", 20, lambda: os.path.islink(link) and os.path.exists(control))
        textdir = os.path.join(tmp, "textfile")
        os.mkdir(textdir)
        start("AirConPoll", [poller, "--port", link, "--addr", "1,2", "--params-interval", "20",
                             "--textfile", os.path.join(textdir, "aircon-ttyAC0.prom")])

        # --- the node exporter
        exporter_port = free_port()
        start("exporter", [exporter, f"--web.listen-address=127.0.0.1:{exporter_port}",
                           "--collector.disable-defaults", "--collector.textfile",
                           f"--collector.textfile.directory={textdir}"])

        # --- Alertmanager: the shipped example's routes and inhibitions, our receiver
        am = yaml.safe_load(open(AM_EXAMPLE, encoding="utf-8"))
        for r in am["receivers"]:
            r["webhook_configs"] = [{"url": f"http://127.0.0.1:{hook_port}/{r['name']}",
                                     "send_resolved": True}]
        am["route"].update(group_wait="1s", group_interval="1s", repeat_interval="1h")
        for r in am["route"].get("routes", []):
            if "repeat_interval" in r:
                r["repeat_interval"] = "1h"
        am_config = os.path.join(tmp, "alertmanager.yml")
        with open(am_config, "w", encoding="utf-8") as f:
            yaml.safe_dump(am, f)
        am_port = free_port()
        start("alertmanager", [alertmanager, f"--config.file={am_config}",
                               f"--storage.path={os.path.join(tmp, 'am')}",
                               f"--web.listen-address=127.0.0.1:{am_port}",
                               "--cluster.listen-address="])

        # --- Prometheus with the fast rules made from the shipped file
        fast = os.path.join(tmp, "aircon-rules-fast.yml")
        # Factor 30: two minutes take 4 s. The file's age limit (120 s) becomes 4 s, twice
        # what the poller's writes leave between them on this line, with room for a slow
        # scrape on a loaded machine.
        subprocess.run([sys.executable, RULES_FAST, "--factor", "30", RULES, fast], check=True)
        prom_config = os.path.join(tmp, "prometheus.yml")
        with open(prom_config, "w", encoding="utf-8") as f:
            yaml.safe_dump({
                "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                "rule_files": [fast],
                "alerting": {"alertmanagers": [{"static_configs": [
                    {"targets": [f"127.0.0.1:{am_port}"]}]}]},
                "scrape_configs": [{"job_name": "node", "static_configs": [
                    {"targets": [f"127.0.0.1:{exporter_port}"]}]}],
            }, f)
        prom_port = free_port()
        start("prometheus", [prometheus, f"--config.file={prom_config}",
                             f"--storage.tsdb.path={os.path.join(tmp, 'tsdb')}",
                             f"--web.listen-address=127.0.0.1:{prom_port}"])
        prom = f"http://127.0.0.1:{prom_port}"

        def query(expr):
            q = urllib.parse.urlencode({"query": expr})
            return get_json(f"{prom}/api/v1/query?{q}")["data"]["result"]

        def firing():
            return [a for a in get_json(f"{prom}/api/v1/alerts")["data"]["alerts"]
                    if a["state"] == "firing"]

        # --- both controllers answer, seen through the whole chain
        wait_for("aircon_up 1 of both controllers in Prometheus", 90,
                 lambda: sorted(r["metric"].get("addr") for r in query("aircon_up == 1")) == ["1", "2"])
        wait_for("Alertmanager ready", 30,
                 lambda: get_json(f"http://127.0.0.1:{am_port}/api/v2/status"))
        say("both controllers up in Prometheus")
        early = [a["labels"]["alertname"] for a in firing()]
        if early:
            raise Failed(f"alerts fire before any fault: {early}")

        # --- the faults
        with open(control, "w") as c:
            c.write("alarm 1 1 return_air_temp high\nsilent 2\n")
        say("controller 1: return air temperature high on unit 1; controller 2: silent")

        wait_for("the webhook's alarm alert of controller 1", 90, lambda: any(
            a["status"] == "firing" and p == "/pager" and
            matches(a, "AirConUnitAlarmCritical", addr="1", unit="1", name="return_air_temp")
            for p, a in Hook.alerts()))
        wait_for("the webhook's silence alert of controller 2", 90, lambda: any(
            a["status"] == "firing" and p == "/pager" and matches(a, "AirConControllerSilent", addr="2")
            for p, a in Hook.alerts()))
        say("the webhook has the alarm of controller 1 and the silence of controller 2")
        # The consequences of the silence fire in Prometheus, and are held back.
        wait_for("AirConNoGoodReply of controller 2 firing in Prometheus", 90, lambda: any(
            a["labels"].get("alertname") == "AirConNoGoodReply" and a["labels"].get("addr") == "2"
            for a in firing()))
        wait_for("Alertmanager holding it back", 30, lambda: any(
            a["labels"].get("alertname") == "AirConNoGoodReply" and a["status"]["inhibitedBy"]
            for a in get_json(f"http://127.0.0.1:{am_port}/api/v2/alerts")))
        time.sleep(3)  # a few group intervals in which a wrong notification would leave
        held = [a["labels"] for _, a in Hook.alerts() if a["labels"].get("alertname") in INHIBITED]
        if held:
            raise Failed(f"the webhook got alerts the inhibitions hold back: {held}")
        wrong = [a["labels"] for _, a in Hook.alerts()
                 if matches(a, "AirConUnitAlarmCritical") and a["labels"].get("addr") != "1"
                 or matches(a, "AirConControllerSilent") and a["labels"].get("addr") != "2"]
        if wrong:
            raise Failed(f"alerts booked to the wrong controller: {wrong}")
        say("nothing the inhibitions hold back reached the webhook")

        # --- back to normal: both resolve
        with open(control, "w") as c:
            c.write("normal\n")
        say("simulator back to normal")
        for name, labels in (("AirConUnitAlarmCritical", {"addr": "1", "unit": "1"}),
                             ("AirConControllerSilent", {"addr": "2"})):
            wait_for(f"{name} of controller {labels['addr']} resolved at the webhook", 120,
                     lambda: any(a["status"] == "resolved" and matches(a, name, **labels)
                                 for _, a in Hook.alerts()))
        say("both alerts resolved")
        say("OK")
        return 0
    except Failed as e:
        print(f"fleet_check: FAILED: {e}", file=sys.stderr)
        for name, path in logs.items():
            try:
                lines = open(path, encoding="utf-8", errors="replace").read().splitlines()[-12:]
            except OSError:
                continue
            print(f"--- {name} (last lines)", file=sys.stderr)
            print("\n".join(lines), file=sys.stderr)
        print(f"--- webhook: {json.dumps([a['labels'] | {'status': a['status']} for _, a in Hook.alerts()])}",
              file=sys.stderr)
        return 1
    finally:
        if server:
            server.shutdown()
        for _, p in reversed(procs):
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGTERM)
        for _, p in procs:
            try:
                p.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    import urllib.parse  # noqa: E402  (query strings)
    try:
        sys.exit(main(sys.argv))
    except Failed as e:
        print(f"fleet_check: FAILED: {e}", file=sys.stderr)
        sys.exit(1)
