#!/usr/bin/env python3
"""Checks that every test a document names exists, so the tables that say which test shows what
cannot drift from the suite. Usage: check_doc_tests.py BUILD_DIR DOC...

In a table row's last cell, `name_test` names an executable and `Suite.Case` (or `.Case`, of the
suite named last) a case: of the executable named before it in that cell, up to a `;`, or else of
any. A case of a parameterised suite matches whatever its instantiation prefix and parameter."""
import json, os, re, subprocess, sys

build, docs = sys.argv[1], sys.argv[2:]
listing = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                                    capture_output=True, text=True, check=True).stdout)
cases = {}  # executable name -> case names without instantiation prefix or parameter
for test in listing["tests"]:
    exe = os.path.basename(test.get("command", [""])[0])
    case = re.search(r"\w+\.\w+", test["name"])
    cases.setdefault(exe, set()).add(case.group(0) if case else test["name"])
everything = set().union(*cases.values())

faults = 0
for doc in docs:
    with open(doc, encoding="utf-8") as text:
        lines = text.readlines()
    suite = None
    for number, line in enumerate(lines, 1):
        if not line.startswith("|"):
            suite = None
            continue
        exe = None
        for token in re.findall(r";|`([^`]+)`", line.rstrip().rstrip("|").rsplit("|", 1)[-1]):
            if not token:
                exe = None
                continue
            if re.fullmatch(r"[a-z_]+_test", token):
                exe = token
                if exe not in cases:
                    print(f"{doc}:{number}: no test executable {exe}")
                    faults += 1
                continue
            match = re.fullmatch(r"(\w+Test)?\.(\w+)", token)
            if not match:
                continue
            suite = match.group(1) or suite
            case = f"{suite}.{match.group(2)}"
            if case not in cases.get(exe, everything):
                print(f"{doc}:{number}: no case {case}" + (f" in {exe}" if exe else ""))
                faults += 1
sys.exit(1 if faults else 0)
