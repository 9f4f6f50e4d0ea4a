#!/usr/bin/env python3
"""Derives fast alerting rules from packaging/prometheus/aircon-rules.yml for tests.

Every duration is divided by a factor, and nothing else is touched: the "for" durations,
the range windows, subquery steps and offsets of the expressions, and the numbers of seconds
marked with the comment "# seconds" in an expression. Durations are not made shorter than
--min (range windows not shorter than --min-range, so that rate() still sees several
scrapes). Every other byte of the file is kept, so the rules a test runs are the shipped
rules, only quicker.

    tools/rules_fast.py [--factor 60] [--min 1s] [--min-range 5s] IN [OUT]
"""

import argparse
import re
import sys

UNITS_MS = {"ms": 1, "s": 1000, "m": 60_000, "h": 3_600_000, "d": 86_400_000,
            "w": 7 * 86_400_000, "y": 365 * 86_400_000}
# A Prometheus duration: units from the largest to the smallest, each at most once.
DURATION = r"(?:\d+y)?(?:\d+w)?(?:\d+d)?(?:\d+h)?(?:\d+m(?!s))?(?:\d+s)?(?:\d+ms)?"
DURATION_RE = re.compile(rf"^{DURATION}$")
PART_RE = re.compile(r"(\d+)(ms|[ywdhms])")

FOR_RE = re.compile(r"^(\s*(?:-\s+)?for:\s*)(['\"]?)([0-9a-z]+)\2(\s*(?:#.*)?)$")
EXPR_RE = re.compile(r"^(\s*(?:-\s+)?)expr:(.*)$")
RANGE_RE = re.compile(rf"\[\s*({DURATION})\s*(?::\s*({DURATION})?\s*)?\]")
OFFSET_RE = re.compile(rf"(\boffset\s+)(-?)({DURATION})\b")
SECONDS_RE = re.compile(r"(\d+(?:\.\d+)?)(\s*\)*\s*#\s*seconds\b)")


class Error(Exception):
    pass


def parse_ms(text, where):
    if not text or not DURATION_RE.match(text):
        raise Error(f"{where}: '{text}' is not a duration")
    total = 0
    for number, unit in PART_RE.findall(text):
        total += int(number) * UNITS_MS[unit]
    return total


def format_ms(ms):
    """The duration in its largest unit that holds it whole: 1440000 is "24m"."""
    if ms == 0:
        return "0s"
    for unit in ("d", "h", "m", "s", "ms"):
        if ms % UNITS_MS[unit] == 0:
            return f"{ms // UNITS_MS[unit]}{unit}"
    return f"{ms}ms"


class Shortener:
    def __init__(self, factor, min_ms, min_range_ms):
        self.factor = factor
        self.min_ms = min_ms
        self.min_range_ms = min_range_ms

    def scale(self, ms, floor):
        if ms == 0:
            return 0
        return max(floor, int(ms / self.factor))

    def duration(self, text, where, floor=None):
        floor = self.min_ms if floor is None else floor
        return format_ms(self.scale(parse_ms(text, where), floor))

    def expr_line(self, line, where):
        def range_sub(m):
            window = self.duration(m.group(1), where, self.min_range_ms)
            if m.group(0).find(":") < 0:
                return f"[{window}]"
            step = m.group(2)
            return f"[{window}:{self.duration(step, where) if step else ''}]"

        def offset_sub(m):
            return m.group(1) + m.group(2) + self.duration(m.group(3), where)

        def seconds_sub(m):
            seconds = float(m.group(1))
            scaled = self.scale(round(seconds * 1000), self.min_ms) / 1000
            text = f"{scaled:g}" if scaled != int(scaled) else str(int(scaled))
            return text + m.group(2)

        # A range window is never taken for a number of seconds and the reverse: the
        # marked number is outside brackets.
        line = RANGE_RE.sub(range_sub, line)
        line = OFFSET_RE.sub(offset_sub, line)
        return SECONDS_RE.sub(seconds_sub, line)


def indent_of(line):
    return len(line) - len(line.lstrip(" "))


def shorten(text, shortener, name="rules"):
    out = []
    expr_indent = None  # the indent of the "expr:" key while its lines are read
    for number, line in enumerate(text.splitlines(keepends=True), start=1):
        where = f"{name}:{number}"
        body = line.rstrip("\n")
        end = line[len(body):]
        if expr_indent is not None and body.strip() and indent_of(body) <= expr_indent:
            expr_indent = None
        m = FOR_RE.match(body)
        if m and expr_indent is None:
            out.append(m.group(1) + m.group(2) + shortener.duration(m.group(3), where) +
                       m.group(2) + m.group(4) + end)
            continue
        m = EXPR_RE.match(body)
        if m:
            expr_indent = len(m.group(1)) if "-" not in m.group(1) else m.group(1).index("-") + 2
            out.append(m.group(1) + "expr:" + shortener.expr_line(m.group(2), where) + end)
            continue
        if expr_indent is not None:
            out.append(shortener.expr_line(body, where) + end)
            continue
        if re.match(r"^\s*(?:-\s+)?for:", body):
            raise Error(f"{where}: cannot read the duration of '{body.strip()}'")
        out.append(line)
    return "".join(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factor", type=float, default=60.0,
                        help="divide every duration by this (default 60: a minute becomes a second)")
    parser.add_argument("--min", default="1s", help="shortest duration (default 1s)")
    parser.add_argument("--min-range", default="5s",
                        help="shortest range window (default 5s)")
    parser.add_argument("input")
    parser.add_argument("output", nargs="?")
    args = parser.parse_args(argv)
    try:
        if args.factor < 1:
            raise Error(f"--factor {args.factor}: must be at least 1")
        shortener = Shortener(args.factor, parse_ms(args.min, "--min"),
                              parse_ms(args.min_range, "--min-range"))
        try:
            with open(args.input, encoding="utf-8") as f:
                text = f.read()
        except OSError as e:
            raise Error(f"{args.input}: {e.strerror}")
        result = shorten(text, shortener, args.input)
        if args.output:
            with open(args.output, "w", encoding="utf-8") as f:
                f.write(result)
        else:
            sys.stdout.write(result)
    except Error as e:
        print(f"rules_fast.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
