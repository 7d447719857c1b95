"""A strict reader of the Prometheus text format (0.0.4): it refuses what a Prometheus server would refuse."""

import re

SAMPLE = re.compile(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{((?:[a-zA-Z_]\w*="(?:[^"\\\n]|\\[\\"n])*",?)*)\})? '
                    r'([-+]?(?:\d+\.?\d*(?:[eE][-+]?\d+)?|Inf)|NaN)\Z')
COMMENT = re.compile(r"# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)\Z")


def parse(text):
    """{family: {"type", "help", "samples": [(name, labels, value)]}}; raises
    ValueError for a malformed line, a sample before its family's TYPE, a
    series twice, or a histogram whose buckets are not cumulative."""
    if not text.endswith("\n"):
        raise ValueError("no final line feed")
    families, seen = {}, set()
    for line in text[:-1].split("\n"):
        comment, sample = COMMENT.match(line), SAMPLE.match(line)
        if comment:
            family = families.setdefault(comment.group(2), {"type": None, "help": None, "samples": []})
            if comment.group(1) == "HELP":
                family["help"] = comment.group(3)
            elif comment.group(3) in ("counter", "gauge", "histogram") and not family["type"]:
                family["type"] = comment.group(3)
            else:
                raise ValueError("bad TYPE: %r" % line)
        elif sample:
            name = sample.group(1)
            labels = dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', sample.group(2) or ""))
            family = families.get(name) or families.get(re.sub(r"_(bucket|sum|count)\Z", "", name))
            if not family or not family["type"] or (name, tuple(sorted(labels.items()))) in seen:
                raise ValueError("sample without TYPE, or twice: %r" % line)
            seen.add((name, tuple(sorted(labels.items()))))
            family["samples"].append((name, labels, float(sample.group(3).replace("Inf", "inf"))))
        else:
            raise ValueError("bad line: %r" % line)
    for name, family in families.items():
        if family["type"] == "histogram":
            buckets = [(float(l["le"].replace("Inf", "inf")), v) for n, l, v in family["samples"] if n == name + "_bucket"]
            counts = [v for n, _, v in family["samples"] if n == name + "_count"]
            bounds, cumulative = [b for b, _ in buckets], [c for _, c in buckets]
            if (bounds != sorted(bounds) or cumulative != sorted(cumulative) or bounds[-1] != float("inf")
                    or counts != cumulative[-1:]):
                raise ValueError("bad histogram %s" % name)
    return families


def value(families, name, **labels):
    """The value of the sample of `name` with these labels; 0 when there is none."""
    return next((v for f in families.values() for n, l, v in f["samples"]
                 if n == name and all(l.get(k) == w for k, w in labels.items())), 0)
