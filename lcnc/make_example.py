#!/usr/bin/env python3
"""Writes the simulator configuration as users get it: lcnc/sim without the test instruments.

    make_example.py SOURCE_DIR OUT_DIR

The tests measure firing at a standstill with the component fire_watch, which is built for
them and not installed; a user's copy of the simulator must load without it. Every file is
copied except the instrument's source and the test harness's stand-in display; in the HAL and
INI files every line that names the instrument goes, with the comment block just above it, and
a net keeps its other pins (and goes when none is left to connect).
"""
import re
import shutil
import sys
from pathlib import Path

TEST_ONLY_FILES = {"fire_watch.comp", "wait-display.sh"}
INSTRUMENT = re.compile(r"fire[_-]watch")
INSTRUMENT_PIN = re.compile(r"\s+(?:=>|<=|<=>)?\s*fire-watch\.[\w.-]+")


def without_instrument(lines):
    """The lines of a HAL or INI file without the instrument."""
    kept = []
    comment_block = []  # comment lines waiting for the line they describe

    def flush(keep):
        if keep:
            kept.extend(comment_block)
        comment_block.clear()

    for line in lines:
        text = line.strip()
        if text.startswith("#"):
            comment_block.append(line)
            continue
        if not INSTRUMENT.search(line):
            flush(not any(INSTRUMENT.search(c) for c in comment_block))
            kept.append(line)
            continue
        if text.startswith("net "):
            net = INSTRUMENT_PIN.sub("", line.rstrip("\n"))
            # "net NAME" alone, or with only an arrow left, connects nothing.
            if len(re.sub(r"(=>|<=|<=>)", " ", net).split()) > 2:
                flush(not any(INSTRUMENT.search(c) for c in comment_block))
                kept.append(net + "\n")
                continue
        flush(False)
    flush(not any(INSTRUMENT.search(c) for c in comment_block))
    return kept


def main(source, out):
    source, out = Path(source), Path(out)
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    for path in sorted(source.iterdir()):
        if not path.is_file() or path.name in TEST_ONLY_FILES:
            continue
        target = out / path.name
        if path.suffix in (".hal", ".ini"):
            with open(path, encoding="utf-8") as f:
                lines = without_instrument(f.readlines())
            with open(target, "w", encoding="utf-8") as f:
                f.writelines(lines)
            shutil.copymode(path, target)
        else:
            shutil.copy(path, target)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2].strip())
    sys.exit(main(sys.argv[1], sys.argv[2]))
