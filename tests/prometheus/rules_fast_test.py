#!/usr/bin/env python3
"""tools/rules_fast.py: the fast rules are the shipped rules with shorter durations only.

    rules_fast_test.py SCRIPT RULES WORKDIR

Derives the fast rules from the shipped file at factor 60 and checks, on the parsed YAML:
the same groups and rules in the same order, every field but "for" and "expr" equal, each
"for" the shipped one divided by 60 (at least 1 s), and each expression equal to the shipped
one once its durations (range windows, offsets, the numbers marked "# seconds") are set
aside, with those durations shortened. Then bad input: a duration that is not one, a factor
below 1. The derived file itself goes to WORKDIR for promtool (check.sh).
"""

import os
import re
import subprocess
import sys

import yaml

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


SECONDS = {"ms": 0.001, "s": 1, "m": 60, "h": 3600, "d": 86400, "w": 604800, "y": 31536000}


def seconds_of(duration):
    parts = re.findall(r"(\d+)(ms|[ywdhms])", duration)
    if "".join(n + u for n, u in parts) != duration:
        raise ValueError(f"not a duration: {duration}")
    return sum(int(n) * SECONDS[u] for n, u in parts)


# The durations of an expression, in order: range windows and subquery steps, offsets,
# numbers of seconds marked as such. What remains once they are cut out must not change.
DURATION_TOKEN = re.compile(
    r"(?<=\[)[0-9a-z]+(?=[:\]])|(?<=:)[0-9a-z]+(?=\])|(?<=offset )[0-9a-z]+|"
    r"\d+(?:\.\d+)?(?=\s*\)*\s*#\s*seconds)")


def split_expr(expr):
    tokens = DURATION_TOKEN.findall(expr)
    return DURATION_TOKEN.sub("<D>", expr), tokens


def token_seconds(token):
    return float(token) if re.fullmatch(r"\d+(?:\.\d+)?", token) else seconds_of(token)


def compare(shipped, fast, factor):
    if [g["name"] for g in shipped["groups"]] != [g["name"] for g in fast["groups"]]:
        fail("the groups differ")
        return 0
    changed = 0
    for sg, fg in zip(shipped["groups"], fast["groups"]):
        if {k: v for k, v in sg.items() if k != "rules"} != \
                {k: v for k, v in fg.items() if k != "rules"}:
            fail(f"group {sg['name']}: fields other than the rules differ")
        if len(sg["rules"]) != len(fg["rules"]):
            fail(f"group {sg['name']}: {len(sg['rules'])} rules shipped, {len(fg['rules'])} fast")
            continue
        for s, f in zip(sg["rules"], fg["rules"]):
            name = s.get("alert") or s.get("record")
            for key in set(s) | set(f):
                if key not in ("for", "expr") and s.get(key) != f.get(key):
                    fail(f"{name}: {key} differs")
            if ("for" in s) != ("for" in f):
                fail(f"{name}: 'for' added or dropped")
            elif "for" in s:
                want = max(1.0, seconds_of(s["for"]) / factor)
                if abs(seconds_of(f["for"]) - want) > 0.001:
                    fail(f"{name}: for {s['for']} became {f['for']}, not {want} s")
                changed += s["for"] != f["for"]
            s_text, s_tokens = split_expr(s["expr"])
            f_text, f_tokens = split_expr(f["expr"])
            if s_text != f_text:
                fail(f"{name}: the expression differs beyond its durations:\n  {s_text}\n  {f_text}")
                continue
            for st, ft in zip(s_tokens, f_tokens):
                if token_seconds(ft) > token_seconds(st) or \
                        (token_seconds(st) >= 60 * 5 and token_seconds(ft) >= token_seconds(st)):
                    fail(f"{name}: {st} became {ft}, not shorter")
                changed += st != ft
    return changed


def run(script, *args):
    return subprocess.run([sys.executable, script, *args], capture_output=True, text=True)


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    script, rules, workdir = argv
    os.makedirs(workdir, exist_ok=True)
    fast_path = os.path.join(workdir, "aircon-rules-fast.yml")

    r = run(script, rules, fast_path)
    if r.returncode != 0:
        fail(f"rules_fast.py failed: {r.stderr.strip()}")
        return 1
    with open(rules, encoding="utf-8") as f:
        shipped = yaml.safe_load(f)
    with open(fast_path, encoding="utf-8") as f:
        fast = yaml.safe_load(f)
    changed = compare(shipped, fast, 60)
    if changed < 20:
        fail(f"only {changed} durations were shortened")
    with open(rules, encoding="utf-8") as f:
        shipped_lines = f.read().splitlines()
    with open(fast_path, encoding="utf-8") as f:
        fast_lines = f.read().splitlines()
    if len(shipped_lines) != len(fast_lines):
        fail("the fast file has another number of lines")
    else:
        # Comments, annotations and layout: every line without a duration is byte for byte.
        for number, (a, b) in enumerate(zip(shipped_lines, fast_lines), start=1):
            if a != b and not re.search(r"\bfor:|\[|offset|#\s*seconds", a):
                fail(f"line {number} changed although it holds no duration: {a!r}")

    # Bad input is refused with the place named; nothing is written.
    bad = os.path.join(workdir, "bad-rules.yml")
    with open(bad, "w", encoding="utf-8") as f:
        f.write("groups:\n  - name: x\n    rules:\n      - alert: A\n        expr: up == 0\n"
                "        for: soon\n")
    out = os.path.join(workdir, "bad-fast.yml")
    r = run(script, bad, out)
    if r.returncode == 0 or "bad-rules.yml:6" not in r.stderr or os.path.exists(out):
        fail(f"a 'for' that is no duration: status {r.returncode}, {r.stderr.strip()!r}")
    r = run(script, "--factor", "0.5", rules, out)
    if r.returncode == 0 or "--factor" not in r.stderr:
        fail(f"a factor below 1: status {r.returncode}, {r.stderr.strip()!r}")
    r = run(script, "--min-range", "10s", rules)
    if r.returncode != 0 or "[10s]" not in r.stdout or "[5s]" in r.stdout:
        fail("--min-range 10s does not keep range windows at 10 s")

    if failures:
        print(f"{len(failures)} failure(s)")
        return 1
    print(f"fast rules: {changed} durations shortened, nothing else changed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
