#!/usr/bin/python3
"""Prometheus text on standard input, read by prometheus_client's parser: prints every sample
as name{label="value",...} value (labels sorted), or names what breaks the naming rules (a
family without HELP or TYPE, a name or label outside the allowed characters or not snake case,
a counter without _total, _total on another type) and exits 1."""
import re
import sys

from prometheus_client.parser import text_string_to_metric_families

NAME = re.compile(r"brenn_[a-z0-9_]*[a-z0-9]")
LABEL = re.compile(r"[a-z][a-z0-9_]*")

problems = []
for family in text_string_to_metric_families(sys.stdin.read()):
    if not family.documentation or family.type == "unknown":
        problems.append(f"{family.name}: no HELP or no TYPE")
    for s in family.samples:
        if not NAME.fullmatch(s.name) or not all(LABEL.fullmatch(k) for k in s.labels):
            problems.append(f"{s.name}: name or label outside the rules")
        if (family.type == "counter") != s.name.endswith("_total"):
            problems.append(f"{s.name}: a {family.type} (only counters end in _total)")
        labels = ",".join(f'{k}="{v}"' for k, v in sorted(s.labels.items()))
        value = int(s.value) if s.value == int(s.value) else s.value
        print(f"{s.name}{{{labels}}} {value}" if labels else f"{s.name} {value}")
for p in problems:
    print("PROBLEM:", p)
sys.exit(1 if problems else 0)
