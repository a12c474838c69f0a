#!/usr/bin/env python3
"""Counts the cases of a CTest JUnit report and lists why cases were skipped.

   windows-unit-summary.py report.xml
"""
import collections
import re
import sys
import xml.etree.ElementTree as ET

cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
total = passed = failed = 0
reasons = collections.Counter()
for case in cases:
    total += 1
    status = case.get("status", "")
    if case.find("skipped") is not None or status == "notrun" and "Skipped" in (case.findtext("system-out") or ""):
        out = case.findtext("system-out") or ""
        # GoogleTest prints "<file>:<line>: Skipped" and the reason on the next line.
        m = re.search(r": Skipped\s*\n(.*)", out)
        reasons[m.group(1).strip() if m and m.group(1).strip() else "(no reason given)"] += 1
    elif case.find("failure") is not None or case.find("error") is not None:
        failed += 1
    else:
        passed += 1
skipped = sum(reasons.values())
share = 100.0 * skipped / total if total else 0.0
print(f"{total} cases: {passed} passed, {failed} failed, {skipped} skipped ({share:.1f}%)")
for reason, n in reasons.most_common():
    print(f"  skipped {n}: {reason}")
