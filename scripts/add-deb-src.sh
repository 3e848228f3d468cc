#!/usr/bin/env bash
# Makes `apt-get source` work: adds a deb-src entry for each Debian repository the machine
# already uses, with the same options (Signed-By and the like), so that the source is the
# one of the installed packages. Does nothing when the entries are already there; takes
# them back out when apt cannot read them. Output goes to stderr.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

srclist=/etc/apt/sources.list.d/quorvex-deb-src.sources
srclegacy=/etc/apt/sources.list.d/quorvex-deb-src.list
[ ! -f "$srclist" ] && [ ! -f "$srclegacy" ] || exit 0

stanzas=""
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && [ "$f" != "$srclist" ] || continue
  # deb822: each stanza of type deb on a Debian URI, again with type deb-src.
  stanzas+=$(awk 'BEGIN { RS = ""; FS = "\n" }
    {
      types = uris = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^Types:/) types = $i
        else if ($i ~ /^URIs:/) uris = $i
      }
      if (types !~ /[: ]deb( |$)/ || uris !~ /debian/) next
      for (i = 1; i <= NF; i++) print ($i ~ /^Types:/ ? "Types: deb-src" : $i)
      print ""
    }' "$f")$'\n'
done
lines=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
  awk '$1 == "deb" && $0 ~ /debian/ { sub(/^deb/, "deb-src"); print }' | sort -u || true)
if [ -z "${stanzas//$'\n'/}" ] && [ -z "$lines" ]; then
  echo "no Debian repository found in the apt sources" >&2
  exit 1
fi
[ -n "${stanzas//$'\n'/}" ] && printf '%s\n' "$stanzas" | $SUDO tee "$srclist" >/dev/null
[ -n "$lines" ] && printf '%s\n' "$lines" | $SUDO tee "$srclegacy" >/dev/null
# A list apt cannot read would break every apt command on the machine: take it back.
if ! $SUDO apt-get update -q >&2; then
  $SUDO rm -f "$srclist" "$srclegacy"
  echo "apt did not accept the deb-src entries; they were removed again" >&2
  exit 1
fi
