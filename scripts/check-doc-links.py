#!/usr/bin/env python3
"""Fails when a relative link in README.md or docs/*.md names a file that
does not exist. Links to web pages and to anchors alone are not looked at."""
import pathlib
import re
import sys

LINK = re.compile(r'\]\(([^)\s]+)(?:\s+"[^"]*")?\)')
repo = pathlib.Path(__file__).resolve().parent.parent
broken = []
for page in [repo / "README.md", *sorted((repo / "docs").glob("*.md"))]:
    in_code = False
    for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
        if line.lstrip().startswith("```"):
            in_code = not in_code
        if in_code:
            continue
        for target in LINK.findall(line):
            path = target.split("#", 1)[0]
            if not path or re.match(r"[a-z][a-z0-9+.-]*:", path):
                continue
            if not (page.parent / path).exists():
                broken.append(f"{page.relative_to(repo)}:{number}: {target}")
for link in broken:
    print(f"check-doc-links: no such file: {link}", file=sys.stderr)
sys.exit(1 if broken else 0)
