#!/usr/bin/python3
"""Reads a scrape in the Prometheus text format on standard input with the
prometheus_client parser and prints one sample a line, sorted:
    name{label="value",...} value
Exit 1 (with the parser's reason) when the text does not parse."""
import sys

from prometheus_client.parser import text_string_to_metric_families


def main():
    text = sys.stdin.read()
    try:
        lines = []
        for family in text_string_to_metric_families(text):
            for s in family.samples:
                labels = ",".join('%s="%s"' % (k, v) for k, v in sorted(s.labels.items()))
                lines.append("%s{%s} %r" % (s.name, labels, float(s.value)))
    except Exception as e:  # the parser raises ValueError and others on bad input
        print("unparsable: %s" % e, file=sys.stderr)
        return 1
    for line in sorted(lines):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
