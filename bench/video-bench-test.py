#!/usr/bin/env python3
"""The video benchmark must hand each program the thread count it claims to measure, and judge
the threaded runs against the one-thread runs of the same program. Stand-in programs in a
scratch build folder play the engine, the reference and make-test-media, and note every call,
so these run in moments.

With PELORIX_VIDEO_REFERENCE and PELORIX_TEST_MEDIA_DIR set (ctest sets both), the real
reference program is also checked on the test clips."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent / "video-bench"
BENCH_FILES = ("bench_720p_h264_aac.mp4", "bench_1080p_h264_aac.mp4")
THREADS = max(1, min(os.sysconf("SC_NPROCESSORS_ONLN"), 16))

FAKE_MAKER = """#!/bin/sh
[ "$1" = --bench ] && [ -n "$3" ] || exit 2
mkdir -p "$2" && head -c 300000 /dev/urandom > "$2/$3"
"""
# Every stand-in notes its arguments in calls.txt beside bin/, then reads them: threads is the
# -threads value ("" without one), in and out the files.
NOTE_CALL = 'echo "$(basename "$0") $*" >> "$(dirname "$0")/../calls.txt"\n'
REFERENCE_ARGS = NOTE_CALL + """threads=""
if [ "$1" = -threads ]; then threads="$2"; shift 2; fi
in="$1"; out="$2"
"""
ENGINE_ARGS = NOTE_CALL + """threads=""
while [ $# -gt 0 ]; do
  case "$1" in -threads) threads="$2"; shift;; -i) in="$2"; shift;; -o) out="$2"; shift;; esac
  shift
done
"""
# Far faster with threads, and well behind the engine either way, so that a loaded machine
# cannot turn the verdicts: a second of starting the stand-ins on a busy machine still leaves
# every ratio on its side of the targets.
REFERENCES = {
    "scales": REFERENCE_ARGS + 'if [ -n "$threads" ]; then sleep 0.45; else sleep 2.4; fi\n'
              'cp "$in" "$out"\n',
    "flat": REFERENCE_ARGS + 'sleep 0.5\ncp "$in" "$out"\n',
    "fails with threads": REFERENCE_ARGS + '[ -z "$threads" ] || exit 1\ncp "$in" "$out"\n',
}
ENGINES = {
    "scales": ENGINE_ARGS + 'if [ -n "$threads" ]; then sleep 0.2; else sleep 1.6; fi\n'
              'cp "$in" "$out"\n',
    "ignores threads": ENGINE_ARGS + 'sleep 0.3\ncp "$in" "$out"\n',
    # Touches 150 MB when threaded, so its peak grows far beyond the one-thread run's.
    "hungry with threads": ENGINE_ARGS + 'if [ -n "$threads" ]; then sleep 0.2; '
                           "python3 -c 'b = b\"x\" * (150 << 20)'; else sleep 1.6; fi\n"
                           'cp "$in" "$out"\n',
    "fails with threads": ENGINE_ARGS + 'if [ -n "$threads" ]; then '
                          'echo "pelorix-transcode: out of threads" >&2; exit 1; fi\n'
                          'cp "$in" "$out"\n',
}
# A table row: program, threads, seconds, cpu seconds, peak MB, output MB[, speed-up].
ROW = r"^{program}\s+{threads}\s+\d+\.\d{{3}}\s+\d+\.\d{{3}}\s+\d+\.\d\s+\d+\.\d{speed_up}$"
THREADED = re.escape(f"0 ({THREADS})")


def row(program: str, threaded: bool) -> re.Pattern:
    return re.compile(ROW.format(program=program, threads=THREADED if threaded else "1",
                                 speed_up=r"\s+\d+\.\d\dx" if threaded else ""), re.M)


def write_program(path: Path, body: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(body if body.startswith("#!") else "#!/bin/sh\n" + body)
    path.chmod(0o755)


class BenchScript(unittest.TestCase):
    def setUp(self):
        self.build = Path(tempfile.mkdtemp(prefix="video-bench-test-"))
        self.addCleanup(shutil.rmtree, self.build)
        write_program(self.build / "bin" / "make-test-media", FAKE_MAKER)
        self.with_programs("scales", "scales")

    def with_programs(self, reference: str, engine: str) -> None:
        write_program(self.build / "bin" / "pelorix-video-reference", REFERENCES[reference])
        write_program(self.build / "bin" / "pelorix-transcode", ENGINES[engine])

    def bench(self) -> subprocess.CompletedProcess:
        return subprocess.run([str(SCRIPT), "--runs", "1", str(self.build)],
                              capture_output=True, text=True, timeout=120)

    def calls(self) -> list:
        return (self.build / "calls.txt").read_text().splitlines()

    @unittest.skipUnless(THREADS > 1, "one processor online: no threaded runs to compare")
    def test_each_clip_runs_with_one_thread_and_with_automatic_threads(self):
        result = self.bench()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for name in BENCH_FILES:
            self.assertTrue((self.build / "bench-media" / name).is_file(), name)
            self.assertIn(f"video: {name}", result.stdout)
        for program in ("pelorix-video-reference", "pelorix-transcode"):
            for threaded in (False, True):
                self.assertEqual(len(row(program, threaded).findall(result.stdout)), 2,
                                 f"{program} threaded={threaded}:\n{result.stdout}")
        # The engine is asked for automatic threads before its input; the reference is given
        # the count the engine comes to, and neither hears of threads in a one-thread run.
        calls = self.calls()
        engine = [call for call in calls if call.startswith("pelorix-transcode ")]
        reference = [call for call in calls if call.startswith("pelorix-video-reference ")]
        self.assertEqual(len(engine), 4)
        self.assertEqual(len(reference), 4)
        self.assertEqual(sum("pelorix-transcode -q -threads 0 -i " in call for call in engine), 2)
        self.assertEqual(sum(f"pelorix-video-reference -threads {THREADS} " in call
                             for call in reference), 2)
        self.assertEqual(sum("-threads" not in call for call in engine + reference), 4)
        for verdict in ("speed-up engine", r"memory   engine \d+ threads"):
            self.assertEqual(len(re.findall(verdict + r".*PASS$", result.stdout, re.M)), 2)
        self.assertNotIn("FAIL", result.stdout)
        self.assertFalse((self.build / "bench-out").exists())

    @unittest.skipUnless(THREADS > 1, "one processor online: no threaded runs to compare")
    def test_threaded_targets_are_the_engines_own(self):
        cases = {
            # Neither speeds up, so the engine keeps pace with the reference and still fails.
            ("flat", "ignores threads"): [r"speed-up engine .*FAIL", r"time .*PASS"],
            ("scales", "hungry with threads"): [r"memory   engine \d+ threads/1 thread .*FAIL"],
        }
        for (reference, engine), expected in cases.items():
            with self.subTest(engine):
                self.with_programs(reference, engine)
                result = self.bench()
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                for pattern in expected:
                    self.assertRegex(result.stdout, re.compile(pattern, re.M))

    @unittest.skipUnless(THREADS > 1, "one processor online: no threaded runs to compare")
    def test_threaded_run_that_goes_wrong(self):
        with self.subTest("engine: a failure, with the one-thread comparison still judged"):
            self.with_programs("scales", "fails with threads")
            result = self.bench()
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertIn(f"pelorix-transcode (0 ({THREADS}) threads) failed (exit status 1)",
                          result.stdout)
            self.assertIn("out of threads", result.stdout)
            self.assertEqual(len(re.findall(r"^memory   engine-reference .*PASS$",
                                            result.stdout, re.M)), 2)
            self.assertNotRegex(result.stdout, re.compile(r"^speed-up", re.M))
        with self.subTest("reference: the benchmark cannot run"):
            self.with_programs("fails with threads", "scales")
            result = self.bench()
            self.assertEqual(result.returncode, 2)
            self.assertIn(f"pelorix-video-reference (0 ({THREADS}) threads) failed",
                          result.stderr)
            self.assertFalse((self.build / "bench-out").exists())

    def test_missing_engine_still_reports_the_reference_and_fails(self):
        os.remove(self.build / "bin" / "pelorix-transcode")
        result = self.bench()
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout.count("pelorix-transcode not available yet"), 2)
        self.assertEqual(len(row("pelorix-video-reference", THREADS > 1).findall(result.stdout)),
                         2)


@unittest.skipUnless(os.environ.get("PELORIX_VIDEO_REFERENCE")
                     and os.environ.get("PELORIX_TEST_MEDIA_DIR"),
                     "PELORIX_VIDEO_REFERENCE and PELORIX_TEST_MEDIA_DIR not set")
class ReferenceProgram(unittest.TestCase):
    def setUp(self):
        self.program = os.environ["PELORIX_VIDEO_REFERENCE"]
        self.source = Path(os.environ["PELORIX_TEST_MEDIA_DIR"]) / "h264_aac.mp4"
        self.scratch = Path(tempfile.mkdtemp(prefix="video-reference-test-"))
        self.addCleanup(shutil.rmtree, self.scratch)

    def convert(self, *arguments: str) -> subprocess.CompletedProcess:
        return subprocess.run([self.program, *arguments], capture_output=True, text=True,
                              timeout=120)

    def test_threads_convert_every_picture(self):
        pictures = {}
        for threads in ("1", "0", "3"):
            with self.subTest(threads=threads):
                target = self.scratch / f"threads-{threads}.avi"
                result = self.convert("-threads", threads, str(self.source), str(target))
                self.assertEqual(result.returncode, 0, result.stderr)
                header = target.read_bytes()[:52]
                self.assertEqual((header[:4], header[8:12], header[24:28]),
                                 (b"RIFF", b"AVI ", b"avih"))
                pictures[threads] = int.from_bytes(header[48:52], "little")  # dwTotalFrames
        # Frame threads hold pictures back; a conversion that did not drain them comes out
        # short of the one-thread count (2 s at 25 fps, and what the encoder adds).
        self.assertGreaterEqual(pictures["1"], 50)
        self.assertEqual(pictures, dict.fromkeys(("1", "0", "3"), pictures["1"]))

    def test_refuses_a_count_that_is_not_one(self):
        for arguments in (["-threads", "two"], ["-threads", "-1"], ["-threads", "2x"],
                          ["-threads", ""], ["-threads"]):
            with self.subTest(arguments):
                target = self.scratch / "refused.avi"
                result = self.convert(*arguments, str(self.source), str(target))
                self.assertEqual(result.returncode, 2)
                self.assertIn("usage:", result.stderr)
                self.assertFalse(target.exists())


if __name__ == "__main__":
    unittest.main()
