#!/usr/bin/env python3
"""scripts/licenses.py on small package trees made here: the texts of each component found
are copied verbatim (a part of a file exactly from its first to its last line), README.txt
says what is included where, and a library without a licence, or a text missing on the
machine, fails the package with the file named.

    licenses_test.py SCRIPT
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = sys.argv[1]


def touch(path, data=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Licenses(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.src = os.path.join(self.dir, "src")
        touch(os.path.join(self.src, "LIB-A"), b"licence of A\n")
        touch(os.path.join(self.src, "big"),
              b"intro\n\nTHE EXCEPTION\n\nkeep this\nand the end line.\n\nafter\n")
        touch(os.path.join(self.src, "HDR"), b"header-only licence\n")
        self.manifest = {"components": [
            {"id": "A", "name": "Library A", "licence": "A licence", "libraries": ["liba.dll"],
             "texts": {"A.txt": os.path.join(self.src, "LIB-A"),
                       "EXC.txt": {"file": os.path.join(self.src, "big"),
                                   "from": "THE EXCEPTION", "to": "the end line."}}},
            {"id": "H", "name": "Header library", "licence": "H licence",
             "built_into": ["tool"], "texts": {"H.txt": os.path.join(self.src, "HDR")}},
            {"id": "Z", "name": "Not shipped", "licence": "Z", "libraries": ["z.dll"],
             "texts": {"Z.txt": os.path.join(self.src, "missing")}},
        ]}

    def tearDown(self):
        self.tmp.cleanup()

    def run_script(self, stage, style="windows"):
        m = os.path.join(self.dir, "manifest.json")
        with open(m, "w") as f:
            json.dump(self.manifest, f)
        out = os.path.join(self.dir, "out", "licenses")
        r = subprocess.run([sys.executable, SCRIPT, stage, out, "--manifest", m, "--style", style],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30)
        return r, out

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_found_components_bring_their_texts(self):
        stage = os.path.join(self.dir, "zip")
        touch(os.path.join(stage, "app.exe"))
        touch(os.path.join(stage, "plugins", "LibA.DLL"))
        touch(os.path.join(stage, "tool.exe"))
        r, out = self.run_script(stage)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), ["A", "H"])
        self.assertEqual(self.read(os.path.join(out, "A.txt")), b"licence of A\n")
        self.assertEqual(self.read(os.path.join(out, "EXC.txt")),
                         b"THE EXCEPTION\n\nkeep this\nand the end line.\n")
        self.assertEqual(self.read(os.path.join(out, "H.txt")), b"header-only licence\n")
        self.assertFalse(os.path.exists(os.path.join(out, "Z.txt")), "Z is not in the package")
        readme = self.read(os.path.join(out, "README.txt")).decode()
        self.assertIn("Library A\r\n", readme)
        self.assertIn("plugins\\LibA.DLL", readme)
        self.assertIn("built into: tool", readme)
        self.assertNotIn("Not shipped", readme)

    def test_statically_linked_library_found_by_its_marker(self):
        self.manifest["components"][2]["texts"] = {"Z.txt": os.path.join(self.src, "HDR")}
        self.manifest["components"][2]["markers"] = [" zlib-ish 1."]
        stage = os.path.join(self.dir, "static")
        touch(os.path.join(stage, "app.exe"), b"MZ... zlib-ish 1.2.13 Copyright ...")
        touch(os.path.join(stage, "other.exe"), b"MZ nothing of it")
        # A DLL carrying the marker is its own component's, not a sign of static linking.
        touch(os.path.join(stage, "liba.dll"), b"MZ zlib-ish 1.2")
        r, out = self.run_script(stage)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), ["A", "Z"])
        readme = self.read(os.path.join(out, "README.txt")).decode()
        self.assertIn("built into: app\r\n", readme)

    def test_debian_tree_programs_in_usr_bin(self):
        stage = os.path.join(self.dir, "deb")
        touch(os.path.join(stage, "usr", "bin", "tool"))
        touch(os.path.join(stage, "usr", "share", "bash-completion", "completions", "other"))
        r, out = self.run_script(stage, "debian")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), ["H"])
        self.assertNotIn(b"\r\n", self.read(os.path.join(out, "README.txt")))

    def test_a_library_without_licence_fails(self):
        for lib in ["zlib1.dll", os.path.join("usr", "lib", "libfoo.so.1")]:
            with self.subTest(lib=lib):
                stage = os.path.join(self.dir, "bad-" + os.path.basename(lib))
                touch(os.path.join(stage, "liba.dll"))
                touch(os.path.join(stage, lib))
                r, _ = self.run_script(stage)
                self.assertEqual(r.returncode, 1)
                self.assertIn("no licence for " + lib, r.stderr)

    def test_a_missing_text_fails(self):
        stage = os.path.join(self.dir, "z")
        touch(os.path.join(stage, "z.dll"))
        r, _ = self.run_script(stage)
        self.assertEqual(r.returncode, 1)
        self.assertIn(os.path.join(self.src, "missing"), r.stderr)

    def test_a_part_no_longer_found_fails(self):
        self.manifest["components"][0]["texts"]["EXC.txt"]["to"] = "a line that is not there"
        stage = os.path.join(self.dir, "part")
        touch(os.path.join(stage, "liba.dll"))
        r, _ = self.run_script(stage)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no longer holds the part", r.stderr)

    def test_the_real_manifest_covers_this_machine(self):
        # Every text the project's own manifest names is on this machine, and each part is
        # found: the packages will not fail for want of one.
        real = os.path.join(os.path.dirname(os.path.dirname(SCRIPT)),
                            "packaging", "licenses", "components.json")
        with open(real) as f:
            comps = json.load(f)["components"]
        stage = os.path.join(self.dir, "all")
        for c in comps:
            for lib in c.get("libraries", [])[:1]:
                touch(os.path.join(stage, lib))
            for p in c.get("built_into", []):
                touch(os.path.join(stage, p + ".exe"))
        out = os.path.join(self.dir, "real")
        r = subprocess.run([sys.executable, SCRIPT, stage, out], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(r.stdout.split("\n")) - 1, len(comps))
        exc = self.read(os.path.join(out, "GCC-RUNTIME-LIBRARY-EXCEPTION-3.1.txt")).decode()
        self.assertTrue(exc.startswith("GCC RUNTIME LIBRARY EXCEPTION\n\nVersion 3.1"), exc[:80])
        self.assertTrue(exc.rstrip().endswith("requirements of the license of GCC."))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
