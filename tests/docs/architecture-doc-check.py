#!/usr/bin/env python3
"""Keeps docs/architecture.md honest: every source file of the program, its tools and its
benchmarks is placed in the document, and every file the document names exists.

A section whose heading names a folder in backticks ("## Engine (`src/engine`)") places the
files it names relative to that folder: `FFmpegModel.cpp`, `AudioOutputStage.*` (every file of
that stem), `AVCodecHlpr` (likewise), `make-test-media/Muxer.*`. A subsection without a folder
of its own belongs to its parent's. A name that starts with src/, tools/, bench/ or tests/ is a
path from the repository's top, wherever it stands. The engine's header keeps its own map of
the files its members are defined in; that map must name each of them too.
"""
import re
import subprocess
import sys
from pathlib import Path

SOURCE_SUFFIXES = (".cpp", ".h", ".c")
PLACED_TREES = ("src/", "tools/", "bench/")
TOP_FOLDERS = ("src/", "tools/", "bench/", "tests/", "docs/", "scripts/", "cmake/")
FILE_LIKE = re.compile(r"^[\w./-]+(\.(cpp|h|c)|\.\*)$")


def repository_files(root):
    listed = subprocess.run(["git", "ls-files"], cwd=root, capture_output=True, text=True)
    if listed.returncode == 0 and listed.stdout.strip():
        return {line for line in listed.stdout.splitlines() if (root / line).exists()}
    return {str(p.relative_to(root)) for p in root.rglob("*") if p.is_file() and ".git" not in p.parts}


def sections(document):
    """(folder or None, text) per section; subsections inherit their parent's folder."""
    folder_at_level = {}
    current_folder, lines, found = None, [], []
    for line in document.splitlines():
        heading = re.match(r"^(#+)\s+(.*)$", line)
        if heading:
            found.append((current_folder, "\n".join(lines)))
            lines = []
            level = len(heading.group(1))
            named = re.search(r"`((?:src|tools|bench|tests)(?:/[\w.-]+)*)/?`", heading.group(2))
            folder_at_level = {k: v for k, v in folder_at_level.items() if k < level}
            if named:
                folder_at_level[level] = named.group(1)
            current_folder = folder_at_level[max(folder_at_level)] if folder_at_level else None
            continue
        lines.append(line)
    found.append((current_folder, "\n".join(lines)))
    return found


def matches(name, files):
    """The repository files a name in the document stands for."""
    if name.endswith(".*"):
        stem = name[:-2]
        return {f for f in files if f.startswith(stem + ".") and "/" not in f[len(stem) + 1:]}
    if name in files:
        return {name}
    return {name + s for s in SOURCE_SUFFIXES if name + s in files}


def main():
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[2]
    document = (root / "docs" / "architecture.md").read_text(encoding="utf-8")
    files = repository_files(root)
    sources = {f for f in files if f.startswith(PLACED_TREES) and f.endswith(SOURCE_SUFFIXES)}
    basenames = {f.rsplit("/", 1)[-1] for f in files}

    placed, unknown = set(), []
    for folder, text in sections(document):
        for name in re.findall(r"`([^`\s]+)`", text):
            name = name.rstrip(",")
            if name.startswith(TOP_FOLDERS):
                found = matches(name, files)
            elif folder:
                found = matches(folder + "/" + name, files)
            else:
                found = set()
            placed |= found
            if found or not FILE_LIKE.match(name):
                continue
            # A file name outside its folder's section must still name a file that exists.
            if folder is None and not name.startswith(TOP_FOLDERS) and name in basenames:
                continue
            unknown.append(f"{name} (under {folder or 'no folder'})")

    # The engine's header maps the files its members are defined in.
    header = (root / "src" / "engine" / "FFmpeg.h").read_text(encoding="utf-8")
    unmapped = sorted(f for f in sources if re.match(r"src/engine/FFmpeg\w*\.cpp$", f)
                      and f.rsplit("/", 1)[-1] not in header)
    for name in unmapped:
        print(f"src/engine/FFmpeg.h does not map {name}")

    missing = sorted(sources - placed)
    for name in missing:
        print(f"docs/architecture.md does not place {name}")
    for name in unknown:
        print(f"docs/architecture.md names {name}, which does not exist")
    if missing or unknown or unmapped:
        return 1
    print(f"docs/architecture.md places all {len(sources)} source files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
