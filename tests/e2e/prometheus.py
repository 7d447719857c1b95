"""A strict reader of the Prometheus text exposition format (0.0.4), for
the tests that scrape /metrics: it refuses what a Prometheus server would."""

import math
import re

NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*\Z")
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"')
TYPES = ("counter", "gauge", "histogram", "summary", "untyped")


def number(text):
    if text in ("+Inf", "-Inf", "NaN"):
        return float(text.replace("Inf", "inf").replace("NaN", "nan"))
    if not re.fullmatch(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?", text):
        raise ValueError("not a number: %r" % text)
    return float(text)


def labels(text):
    """{name: value} of a label set's inside, escapes undone."""
    found, pos = {}, 0
    while pos < len(text):
        m = LABEL.match(text, pos)
        if not m:
            raise ValueError("bad labels: %r" % text)
        value = re.sub(r"\\(.)", lambda e: {"n": "\n"}.get(e.group(1), e.group(1)), m.group(2))
        if m.group(1) in found:
            raise ValueError("label twice: %r" % text)
        found[m.group(1)] = value
        pos = m.end()
        if pos < len(text):
            if text[pos] != ",":
                raise ValueError("bad labels: %r" % text)
            pos += 1
    return found


def parse(text):
    """{family: {"type", "help", "samples": [(name, labels, value)]}}; raises
    ValueError on anything malformed, a sample before its family's TYPE, a
    series twice, or a histogram whose buckets are not cumulative."""
    if not text.endswith("\n"):
        raise ValueError("text does not end with a line feed")
    families, seen = {}, set()
    for line in text[:-1].split("\n"):
        if line.startswith("# HELP ") or line.startswith("# TYPE "):
            _, kind, name, rest = (line.split(" ", 3) + [""])[:4]
            if not NAME.match(name):
                raise ValueError("bad name: %r" % line)
            family = families.setdefault(name, {"type": None, "help": None, "samples": []})
            if kind == "TYPE":
                if rest not in TYPES or family["type"] or family["samples"]:
                    raise ValueError("bad TYPE: %r" % line)
                family["type"] = rest
            else:
                family["help"] = rest
            continue
        if not line or line.startswith("#"):
            continue
        m = re.fullmatch(r"([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)(?: -?\d+)?", line)
        if not m:
            raise ValueError("bad sample: %r" % line)
        name, label_set, value = m.group(1), labels(m.group(2) or ""), number(m.group(3))
        base = re.sub(r"_(bucket|sum|count)\Z", "", name)
        family = families.get(name) or families.get(base)
        if not family or not family["type"]:
            raise ValueError("sample without TYPE: %r" % line)
        key = (name, tuple(sorted(label_set.items())))
        if key in seen:
            raise ValueError("series twice: %r" % line)
        seen.add(key)
        family["samples"].append((name, label_set, value))
    for name, family in families.items():
        if family["type"] == "histogram":
            buckets = [(number(l["le"]), v) for n, l, v in family["samples"] if n == name + "_bucket"]
            count = [v for n, _, v in family["samples"] if n == name + "_count"]
            if (not buckets or buckets != sorted(buckets) or not math.isinf(buckets[-1][0])
                    or count != [buckets[-1][1]]):
                raise ValueError("bad histogram %s: %r" % (name, family["samples"]))
    return families


def value(families, name, **wanted):
    """The value of the one sample of `name` with these labels (0 when none)."""
    for family in families.values():
        for sample, label_set, v in family["samples"]:
            if sample == name and all(label_set.get(k) == w for k, w in wanted.items()):
                return v
    return 0
