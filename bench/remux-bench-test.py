#!/usr/bin/env python3
"""The remux benchmark must never pass off a missing or failed engine run as a result, and must
measure each program's memory on its own. Stand-in programs in a scratch build folder play
the engine, the reference and make-test-media, so these run in moments.

With PELORIX_REMUX_REFERENCE and PELORIX_TEST_MEDIA_DIR set (ctest sets both), the real
reference program is also checked on the test clips."""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent / "remux-bench"

FAKE_MAKER = """#!/bin/sh
[ "$1" = --bench ] || exit 2
mkdir -p "$2" && head -c 400000 /dev/urandom > "$2/bench_h264_aac.mp4"
"""
FAKE_REFERENCE = '#!/bin/sh\ncp "$1" "$2"\n'
# The engine stand-ins take the driver's arguments: -q -i INPUT NAME=VALUE... -o OUTPUT.
ENGINE_ARGS = """while [ $# -gt 0 ]; do
  case "$1" in -i) in="$2"; shift;; -o) out="$2"; shift;; esac; shift
done
"""
ENGINES = {
    "copies": ENGINE_ARGS + 'cp "$in" "$out"\n',
    "fails": 'echo "pelorix-transcode: the output cannot be opened" >&2\nexit 1\n',
    "writes nothing": "exit 0\n",
    "writes half": ENGINE_ARGS + 'head -c 200000 "$in" > "$out"\n',
    # Touches 120 MB before copying, so its peak is far above the reference's.
    "hungry": ENGINE_ARGS + "python3 -c 'b = b\"x\" * (120 << 20)'\n" + 'cp "$in" "$out"\n',
}
# A table row: program, seconds, cpu seconds, peak MB (captured), output MB.
ROW_NUMBERS = r"\s+\d+\.\d{3}\s+\d+\.\d{3}\s+(\d+\.\d)\s"
REFERENCE_ROW = re.compile(r"^pelorix-remux-reference" + ROW_NUMBERS, re.M)
ENGINE_ROW = re.compile(r"^pelorix-transcode" + ROW_NUMBERS, re.M)


def write_program(path: Path, body: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(body if body.startswith("#!") else "#!/bin/sh\n" + body)
    path.chmod(0o755)


class BenchScript(unittest.TestCase):
    def setUp(self):
        self.build = Path(tempfile.mkdtemp(prefix="remux-bench-test-"))
        self.addCleanup(shutil.rmtree, self.build)
        write_program(self.build / "bin" / "make-test-media", FAKE_MAKER)
        write_program(self.build / "bin" / "pelorix-remux-reference", FAKE_REFERENCE)

    def with_engine(self, kind: str) -> None:
        write_program(self.build / "bin" / "pelorix-transcode", ENGINES[kind])

    def bench(self, *options: str) -> subprocess.CompletedProcess:
        return subprocess.run([str(SCRIPT), "--runs", "1", *options, str(self.build)],
                              capture_output=True, text=True, timeout=60)

    def test_missing_engine_still_reports_the_reference_and_fails(self):
        result = self.bench()
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("pelorix-transcode not available yet", result.stdout)
        self.assertRegex(result.stdout, REFERENCE_ROW)
        # The bench file was made on demand; the outputs are gone again.
        self.assertTrue((self.build / "bench-media" / "bench_h264_aac.mp4").is_file())
        self.assertFalse((self.build / "bench-out").exists())

    def test_engine_run_that_goes_wrong_is_a_failure(self):
        cases = {
            # The engine's own message is passed on.
            "fails": ["failed (exit status 1)", "the output cannot be opened"],
            "writes nothing": ["reported success but wrote no output"],
        }
        for kind, expected in cases.items():
            with self.subTest(kind):
                self.with_engine(kind)
                # An output left from an earlier run must not count for this one.
                (self.build / "bench-out").mkdir(exist_ok=True)
                (self.build / "bench-out" / "engine.mkv").write_bytes(b"old" * 1000)
                result = self.bench()
                self.assertEqual(result.returncode, 1, result.stdout)
                for text in expected:
                    self.assertIn(text, result.stdout)
                self.assertRegex(result.stdout, REFERENCE_ROW)
                self.assertNotIn("PASS", result.stdout)

    def test_engine_output_far_from_the_reference_fails(self):
        self.with_engine("writes half")
        result = self.bench()
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stdout, r"output .*did not do the same work\s+FAIL")

    def test_peak_memory_is_each_programs_own(self):
        # Two runs each, in alternating order: the reference also runs after the hungry engine,
        # and must not be charged with its peak.
        self.with_engine("hungry")
        result = self.bench("--runs", "2")
        self.assertEqual(result.returncode, 1, result.stderr)
        reference_mb = float(REFERENCE_ROW.search(result.stdout).group(1))
        engine_mb = float(ENGINE_ROW.search(result.stdout).group(1))
        self.assertLess(reference_mb, 60.0)
        self.assertGreater(engine_mb, 120.0)
        self.assertRegex(result.stdout, r"memory .*FAIL")

    def test_successful_runs_leave_no_output_behind(self):
        self.with_engine("copies")
        result = self.bench("--runs", "2")
        self.assertRegex(result.stdout, ENGINE_ROW)
        self.assertRegex(result.stdout, r"memory .*PASS")
        self.assertFalse((self.build / "bench-out").exists())

    def test_benchmark_that_cannot_run_exits_2(self):
        with self.subTest("reference fails"):
            write_program(self.build / "bin" / "pelorix-remux-reference", "exit 1\n")
            result = self.bench()
            self.assertEqual(result.returncode, 2)
            self.assertIn("pelorix-remux-reference failed", result.stderr)
        with self.subTest("bench file cannot be made"):
            write_program(self.build / "bin" / "make-test-media", "echo no encoder >&2\nexit 1\n")
            shutil.rmtree(self.build / "bench-media", ignore_errors=True)
            result = self.bench()
            self.assertEqual(result.returncode, 2)
            self.assertIn("did not make", result.stderr)
            self.assertIn("no encoder", result.stderr)


@unittest.skipUnless(os.environ.get("PELORIX_REMUX_REFERENCE")
                     and os.environ.get("PELORIX_TEST_MEDIA_DIR"),
                     "PELORIX_REMUX_REFERENCE and PELORIX_TEST_MEDIA_DIR not set")
class ReferenceProgram(unittest.TestCase):
    def setUp(self):
        self.program = os.environ["PELORIX_REMUX_REFERENCE"]
        self.media = Path(os.environ["PELORIX_TEST_MEDIA_DIR"])
        self.scratch = Path(tempfile.mkdtemp(prefix="remux-reference-test-"))
        self.addCleanup(shutil.rmtree, self.scratch)

    def remux(self, source: Path, target: Path) -> subprocess.CompletedProcess:
        return subprocess.run([self.program, str(source), str(target)], capture_output=True,
                              text=True, timeout=60)

    def test_copies_a_clip_into_matroska(self):
        target = self.scratch / "out.mkv"
        result = self.remux(self.media / "h264_aac.mp4", target)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(target.read_bytes()[:4], b"\x1a\x45\xdf\xa3")  # EBML header

    def test_failure_removes_only_what_it_began(self):
        with self.subTest("unreadable input: an existing output stays"):
            target = self.scratch / "existing.mkv"
            target.write_bytes(b"keep me")
            result = self.remux(self.media / "garbage.bin", target)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(target.read_bytes(), b"keep me")
        with self.subTest("header refused: the begun output is removed"):
            # MP4 takes no SubRip stream, so the header fails after the file was created.
            target = self.scratch / "multi.mp4"
            result = self.remux(self.media / "multi.mkv", target)
            self.assertEqual(result.returncode, 1)
            self.assertIn("writing the header", result.stderr)
            self.assertFalse(target.exists())

    def test_refuses_to_write_over_its_input(self):
        source = self.scratch / "clip.mkv"
        shutil.copy(self.media / "multi.mkv", source)
        before = hashlib.sha256(source.read_bytes()).digest()
        result = self.remux(source, self.scratch / "." / "clip.mkv")
        self.assertEqual(result.returncode, 1)
        self.assertIn("is the input itself", result.stderr)
        self.assertEqual(hashlib.sha256(source.read_bytes()).digest(), before)


if __name__ == "__main__":
    unittest.main()
