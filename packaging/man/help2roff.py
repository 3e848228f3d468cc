#!/usr/bin/env python3
"""Makes a program's manual page from its own --help and --version, so that the page says
what the program says.

    help2roff.py PROGRAM NAME OUT [--date YYYY-MM-DD] [--see-also NAME ...]

The help has the layout both programs print: a first line "name: what it does", a
"Usage:" line, sections headed "Options:" (or any "Title:" alone on a line) whose entries
are indented two spaces with the description after a run of blanks, and closing
paragraphs of the form "Title: text". A "Subcommands:" section gets each subcommand's
own --help as a part of its own.
"""
import argparse
import re
import subprocess
import sys


def run(args):
    r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    if r.returncode != 0:
        sys.exit("help2roff.py: %s exited with %d:\n%s" % (" ".join(args), r.returncode,
                                                           r.stdout.decode(errors="replace")))
    return r.stdout.decode("utf-8")


def esc(text):
    """Roff text: backslashes and minus signs escaped, no line starting a request."""
    t = text.replace("\\", "\\e").replace("-", "\\-")
    return re.sub(r"^([.'])", r"\\&\1", t, flags=re.M)


def parse(text):
    desc, usage, sections, closing = [], None, [], []
    cur = None
    for line in text.splitlines():
        if usage is None:
            if line.startswith("Usage:"):
                usage = line[len("Usage:"):].strip()
            elif line.strip():
                desc.append(line.strip())
            continue
        if not line.strip():
            continue
        head = re.match(r"^(\S[^:]*):\s*$", line)
        para = re.match(r"^(\S[^:]*):\s+(\S.*)$", line)
        if head:
            cur = (head.group(1), [])
            sections.append(cur)
        elif para:
            closing.append([para.group(1), para.group(2)])
            cur = None
        elif cur is not None and re.match(r"^  \S", line):
            parts = re.split(r"\s{2,}", line.strip(), maxsplit=1)
            cur[1].append([parts[0], parts[1] if len(parts) > 1 else ""])
        elif cur is not None and cur[1]:
            cur[1][-1][1] = (cur[1][-1][1] + " " + line.strip()).strip()
        elif closing:
            closing[-1][1] += " " + line.strip()
        else:
            sys.exit("help2roff.py: cannot place the help line %r" % line)
    if usage is None:
        sys.exit("help2roff.py: the help has no Usage: line")
    return " ".join(desc), usage, sections, closing


def entries(out, items):
    for name, text in items:
        # "-p,--port TEXT ..." : the option names in bold, the value's form in italics.
        names, _, value = name.partition(" ")
        # CLI11 marks a negated flag's value: "--no-auto-erase{false}".
        names = ", ".join(esc(re.sub(r"\{[^}]*\}$", "", n)) for n in names.split(","))
        out.append(".TP")
        out.append("\\fB%s\\fR%s" % (names, " \\fI%s\\fR" % esc(value) if value else ""))
        out.append(esc(text))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("name")
    ap.add_argument("out")
    ap.add_argument("--date", default="")
    ap.add_argument("--see-also", nargs="*", default=[])
    a = ap.parse_args()

    version = run([a.program, "--version"]).strip()
    desc, usage, sections, closing = parse(run([a.program, "--help"]))
    prefix = a.name + ": "
    summary = desc[len(prefix):] if desc.startswith(prefix) else desc
    # The NAME line is one short clause: up to the first semicolon or sentence end.
    short = re.split(r";|\.\s|\.$", summary, maxsplit=1)[0].strip()

    out = ['.TH "%s" 1 "%s" "%s" "User Commands"' % (a.name.upper(), a.date, esc(version))]
    out += [".SH NAME", "%s \\- %s" % (esc(a.name), esc(short))]
    # The usage line starts with the program as it was called: the name goes in its place.
    args = usage.split(" ", 1)[1] if " " in usage else ""
    out += [".SH SYNOPSIS", ".B %s" % esc(a.name), esc(args)]
    out += [".SH DESCRIPTION", esc(summary[0].upper() + summary[1:])]
    subcommands = []
    for title, items in sections:
        if title == "Subcommands":
            subcommands = items
            continue
        out.append(".SH " + esc(title.upper()))
        entries(out, items)
    if subcommands:
        out.append(".SH COMMANDS")
        for sub, text in subcommands:
            sdesc, susage, ssections, sclosing = parse(run([a.program, sub, "--help"]))
            susage = a.name + " " + susage.split(" ", 1)[1] if " " in susage else a.name
            out += [".SS " + esc(sub), esc(sdesc or text), ".PP", "\\fBUsage:\\fR " + esc(susage)]
            for title, items in ssections:
                items = [i for i in items if not i[0].startswith("-h,")]
                if items:
                    out += [".PP", "\\fI%s\\fR" % esc(title)]
                    entries(out, items)
            # A subcommand repeats its parent's closing paragraphs; they stand once, below.
            for title, text in sclosing:
                if [title, text] not in closing:
                    out += [".PP", "%s: %s" % (esc(title), esc(text))]
    for title, text in closing:
        out += [".SH " + esc(title.upper()), esc(text[0].upper() + text[1:])]
    if a.see_also:
        out.append(".SH SEE ALSO")
        out.append(",\n".join(".BR %s (1)" % esc(n) for n in a.see_also))
    with open(a.out, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
