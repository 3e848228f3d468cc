#!/usr/bin/env python3
"""Puts the licence texts of what a package holds into its licenses folder.

    scripts/licenses.py STAGE LICENSES [--manifest FILE] [--style windows|debian]

STAGE is the package's tree as it will be shipped; LICENSES the folder to fill (made when
missing). Every library file in STAGE (.dll, .so, .so.N) must belong to a component of the
manifest (packaging/licenses/components.json), else this fails, naming the file; each
component whose libraries or programs are in STAGE brings its texts, and README.txt lists
what is included where. A text that is missing on this machine fails too, so a package
never ships without one.
"""
import argparse
import json
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def fail(msg):
    print("licenses.py: " + msg, file=sys.stderr)
    sys.exit(1)


def is_library(name):
    return name.lower().endswith(".dll") or re.search(r"\.so(\.\d+)*$", name) is not None


def shipped(stage):
    """Every file of the stage: its path relative to the stage, by its bare name."""
    found = {}
    for top, _dirs, files in os.walk(stage):
        for f in files:
            rel = os.path.relpath(os.path.join(top, f), stage)
            found.setdefault(f.lower(), []).append(rel)
    return found


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def text_of(source):
    """The bytes of one licence text, verbatim."""
    if isinstance(source, str):
        source = {"file": source}
    path = source["file"]
    if not os.path.isabs(path):
        path = os.path.join(ROOT, path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        fail("licence text %s cannot be read (%s)" % (path, e.strerror))
    if "from" not in source:
        return data
    # A part of a larger file: from the line that is "from" to the line that ends with "to".
    lines = data.split(b"\n")
    begin = source["from"].encode()
    end = source["to"].encode()
    try:
        first = next(i for i, l in enumerate(lines) if l.strip() == begin)
        last = next(i for i in range(first, len(lines)) if lines[i].rstrip().endswith(end))
    except StopIteration:
        fail("%s no longer holds the part from \"%s\" to \"%s\"" % (path, source["from"], source["to"]))
    return b"\n".join(lines[first:last + 1]) + b"\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("stage")
    ap.add_argument("licenses")
    ap.add_argument("--manifest", default=os.path.join(ROOT, "packaging/licenses/components.json"))
    ap.add_argument("--style", choices=["windows", "debian"], default="windows")
    a = ap.parse_args()
    with open(a.manifest, encoding="utf-8") as f:
        components = json.load(f)["components"]
    files = shipped(a.stage)
    known = {lib.lower(): c for c in components for lib in c.get("libraries", [])}

    unknown = sorted(p for name, paths in files.items() if is_library(name) and name not in known
                     for p in paths)
    if unknown:
        fail("no licence for %s: add the library to %s with its licence texts"
             % (", ".join(unknown), os.path.relpath(a.manifest, ROOT)))

    # The programs: the Windows package's .exe files, the Debian package's usr/bin.
    program_files = sorted(p for paths in files.values() for p in paths
                           if p.lower().endswith(".exe") or p.startswith("usr/bin/"))
    programs = {os.path.splitext(os.path.basename(p))[0] if p.lower().endswith(".exe")
                else os.path.basename(p) for p in program_files}
    included = []
    for c in components:
        libs = [p for lib in c.get("libraries", []) for p in files.get(lib.lower(), [])]
        progs = [p for p in c.get("built_into", []) if p in programs]
        # A library linked statically leaves its own text in the program: its markers.
        progs += [os.path.splitext(os.path.basename(p))[0] for p in program_files
                  if any(m.encode() in contents(os.path.join(a.stage, p))
                         for m in c.get("markers", []))]
        if libs or progs:
            included.append((c, sorted(libs), progs))

    os.makedirs(a.licenses, exist_ok=True)
    written = {}
    for c, _libs, _progs in included:
        for name, source in c["texts"].items():
            data = text_of(source)
            if name in written and written[name] != data:
                fail("two components bring different texts named %s" % name)
            written[name] = data
    for name, data in written.items():
        with open(os.path.join(a.licenses, name), "wb") as f:
            f.write(data)

    sep = "\\" if a.style == "windows" else "/"
    out = ["Licences of the other projects' code in this package", ""]
    out.append("Each part below is named with what of it this package holds and the files")
    out.append("of this folder that carry its licence.")
    for c, libs, progs in included:
        out.append("")
        out.append(c["name"])
        out.append("  licence:  " + c["licence"])
        if libs:
            out.append("  files:    " + ", ".join(l.replace(os.sep, sep) for l in libs))
        if progs:
            out.append("  built into: " + ", ".join(progs))
        out.append("  texts:    " + ", ".join(c["texts"]))
    text = "\n".join(out) + "\n"
    if a.style == "windows":
        text = text.replace("\n", "\r\n")
    with open(os.path.join(a.licenses, "README.txt"), "w", encoding="utf-8", newline="") as f:
        f.write(text)
    for c, _l, _p in included:
        print(c["id"])


if __name__ == "__main__":
    main()
