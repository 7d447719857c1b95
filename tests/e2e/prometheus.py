"""A reader of the Prometheus text format (0.0.4) that refuses the lines a Prometheus server would refuse. How the page
is laid out (TYPE before samples, each series once, cumulative buckets ending at +Inf, the final line feed) is the
renderer's own: tst_zeltohttpserver rendersExpositionFormat; here what the server declares in it."""

import re

SAMPLE = re.compile(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{((?:[a-zA-Z_]\w*="(?:[^"\\\n]|\\[\\"n])*",?)*)\})? '
                    r'([-+]?(?:\d+\.?\d*(?:[eE][-+]?\d+)?|Inf)|NaN)\Z')
COMMENT = re.compile(r"# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)\Z")


def parse(text):
    """{family: {"type", "help", "samples": [(name, labels, value)]}}; raises ValueError for a malformed line, a
    sample of no family, a type of none of the three, or a histogram whose bounds are not in order."""
    families = {}
    for line in text.splitlines():
        comment, sample = COMMENT.match(line), SAMPLE.match(line)
        if comment:
            family = families.setdefault(comment.group(2), {"type": None, "help": None, "samples": []})
            family[comment.group(1).lower()] = comment.group(3)
        elif sample:
            name = sample.group(1)
            family = families.get(name) or families.get(re.sub(r"_(bucket|sum|count)\Z", "", name))
            if not family:
                raise ValueError("sample of no family: %r" % line)
            labels = dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', sample.group(2) or ""))
            family["samples"].append((name, labels, float(sample.group(3).replace("Inf", "inf"))))
        else:
            raise ValueError("bad line: %r" % line)
    for name, family in families.items():
        bounds = [float(l["le"].replace("Inf", "inf")) for n, l, _ in family["samples"] if n == name + "_bucket"]
        if family["type"] not in ("counter", "gauge", "histogram") or bounds != sorted(bounds):
            raise ValueError("bad family %s: type %r, bounds %r" % (name, family["type"], bounds))
    return families


def value(families, name, **labels):
    """The value of the sample of `name` with these labels; 0 when there is none."""
    return next((v for f in families.values() for n, l, v in f["samples"]
                 if n == name and all(l.get(k) == w for k, w in labels.items())), 0)
