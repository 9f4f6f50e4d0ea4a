#!/usr/bin/env bash
# Checks the alerting rules and the Alertmanager example of packaging/prometheus/ with the real
# engines (Debian packages prometheus and prometheus-alertmanager, see tools/deps.sh):
#
#   bash tests/prometheus/check.sh [rules|fast|alertmanager|all]
#
#   rules         promtool check rules, then promtool test rules with every *.test.yml here
#   fast          tools/rules_fast.py: the derived rules differ from the shipped ones in their
#                 durations only, pass promtool check rules, and fire in seconds (fast/)
#   alertmanager  amtool check-config; routes by severity; inhibition on a loopback Alertmanager
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
rules=$root/packaging/prometheus/aircon-rules.yml
example=$root/packaging/prometheus/alertmanager-example.yml
part=${1:-all}

need() {
    if ! command -v "$1" >/dev/null; then
        echo "check.sh: $1 is missing: install the Debian package $2 (bash tools/deps.sh)" >&2
        exit 1
    fi
}
# Debian's Python with python3-yaml; another python3 only when there is none.
python=/usr/bin/python3
[[ -x $python ]] || python=python3
if ! "$python" -c 'import yaml' 2>/dev/null; then
    echo "check.sh: $python cannot import yaml: install python3-yaml (bash tools/deps.sh)" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_rules() {
    need promtool prometheus
    echo "== promtool check rules"
    promtool check rules "$rules"
    echo "== promtool test rules"
    promtool test rules "$here"/*.test.yml
}

check_fast() {
    need promtool prometheus
    echo "== fast rules (tools/rules_fast.py)"
    "$python" "$here/rules_fast_test.py" "$root/tools/rules_fast.py" "$rules" "$work"
    promtool check rules "$work/aircon-rules-fast.yml"
    cp "$here/fast/fast.test.yml" "$work/"
    promtool test rules "$work/fast.test.yml"
}

check_alertmanager() {
    need amtool prometheus-alertmanager
    need prometheus-alertmanager prometheus-alertmanager
    echo "== amtool check-config"
    amtool check-config "$example"
    echo "== routes and inhibition"
    "$python" "$here/alertmanager_test.py" "$rules" "$example"
}

case $part in
    rules) check_rules ;;
    fast) check_fast ;;
    alertmanager) check_alertmanager ;;
    all)
        check_rules
        check_fast
        check_alertmanager
        ;;
    *)
        echo "usage: check.sh [rules|fast|alertmanager|all]" >&2
        exit 2
        ;;
esac
