#!/usr/bin/python3
"""How faithfully engravings reproduce pictures, classic and "Dithered (photo)", against the
anchor every peer program offers: the picture resampled by area onto the machine's own dot grid
(one dot per X step, one line per step-over) and dithered by Floyd-Steinberg (Pillow's
convert('1')).

Every engraving runs through host-sim with --trace; the dots are read back from the trace. The
dots of a line are blurred by a dot half a step-over wide and compared, cell by cell, with the
picture averaged over the same cells: cells one line high and one step-over wide (every line
judged alone), and cells of 4 lines and 4 step-overs (the picture seen from a little farther). Pictures: a chart of
all 256 gray levels in patches, and photos (the IJG test photo, scikit-image's camera man),
each engraved at about 1.7, 10, 37 and 195 X steps per picture column.

Usage: bench/dither_quality.py [--build DIR] [--keep DIR] [--quick]
Prints one table per picture kind and the targets; exits 1 when a target of the dithered mode
is not met.
"""

import argparse
import os
import shlex
import subprocess
import sys
import tempfile
import time

PACKAGES = {"numpy": "python3-numpy", "PIL": "python3-pil", "skimage": "python3-skimage"}


def ensure_packages():
    # numpy, Pillow and scikit-image come as Debian packages, for Debian's own Python: another
    # python3 first on the PATH would not see them.
    system_python = "/usr/bin/python3"
    if os.path.realpath(sys.executable) != os.path.realpath(system_python) and \
            os.access(system_python, os.X_OK):
        os.execv(system_python, [system_python] + sys.argv)
    missing = []
    for module, package in PACKAGES.items():
        try:
            __import__(module)
        except ImportError:
            missing.append(package)
    if missing:
        print("installing " + " ".join(missing), file=sys.stderr)
        subprocess.run(["apt-get", "install", "-y", "--no-install-recommends"] + missing,
                       check=True)


ensure_packages()

import numpy as np  # noqa: E402

np.seterr(invalid="ignore")
from PIL import Image  # noqa: E402
from skimage.metrics import structural_similarity  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
TESTDATA = os.path.join(SOURCE, "..", "shared", "testdata")

# name, steps per unit (X and Y), steps per picture column (the density), steps per line.
# Step-over 0.1 unit throughout: a cell of the comparison is 0.1 unit square.
DENSITIES = [
    ("1.7", 100.0, 1.7, 3400),
    ("10", 100.0, 10.0, 3400),
    ("37", 320.0, 37.0, 3700),
    ("195", 1000.0, 195.0, 7800),
]
STEP_OVER = 0.1
# The photos are compared line by line (cells of one line) and from a little farther (cells of
# 4 lines and 4 step-overs).
BLOCKS = (1, 4)
CHART_LINES_PER_PATCH = 48
CHART_STEPS = {"1.7": 6800, "10": 6400, "37": 5920, "195": 6240}


# ---- pictures ---------------------------------------------------------------------------------

def gray_of(rgb):
    """The plug-in's brightness of a colour picture: (306 R + 601 G + 117 B) >> 10."""
    rgb = np.asarray(rgb, dtype=np.int64)
    return ((306 * rgb[..., 0] + 601 * rgb[..., 1] + 117 * rgb[..., 2]) >> 10).astype(np.uint8)


def load_photo(name):
    if name == "testorig":
        image = Image.open(os.path.join(TESTDATA, "jpeg", "testorig.jpg")).convert("RGB")
        return gray_of(np.asarray(image))
    if name == "camera":
        import skimage.data
        return np.asarray(skimage.data.camera(), dtype=np.uint8)
    raise ValueError(name)


def resized(gray, columns, rows):
    return np.asarray(Image.fromarray(gray).resize((columns, rows), Image.LANCZOS))


def chart(columns, rows):
    """All 256 gray levels in a 16 x 16 grid of patches, level 16 * row + column from the top."""
    levels = np.arange(256, dtype=np.uint8).reshape(16, 16)
    xs = np.minimum(np.arange(columns) * 16 // columns, 15)
    ys = np.minimum(np.arange(rows) * 16 // rows, 15)
    return levels[ys][:, xs]


# ---- engraving through host-sim ---------------------------------------------------------------

class Engraving:
    """One host-sim run: geometry, the command, and the dots read back from its trace."""

    def __init__(self, picture_path, columns, rows, steps_per_unit, steps, dither):
        self.steps = steps
        self.steps_per_unit = steps_per_unit
        self.width = steps / steps_per_unit
        self.height = self.width * rows / columns
        self.columns, self.rows = columns, rows
        self.dither = dither
        self.picture_path = picture_path

    def command(self, host_sim, trace):
        number = lambda value: format(value, ".12g")  # noqa: E731
        args = [host_sim, "engrave", self.picture_path, "--width", number(self.width),
                "--height", number(self.height), "--stepover", number(STEP_OVER),
                "--steps-per-unit-x", number(self.steps_per_unit),
                "--steps-per-unit-y", number(self.steps_per_unit), "--trace", trace]
        if self.dither:
            args.append("--dither")
        return args

    def run(self, host_sim, work):
        trace = os.path.join(work, "trace.txt")
        result = subprocess.run(self.command(host_sim, trace), capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError("host-sim failed: " + result.stdout + result.stderr)
        self.dots = read_trace_dots(trace, self.steps)
        os.remove(trace)
        return self.dots


def read_trace_dots(trace, steps):
    """The fired steps of each raster line as a lines x steps array, indexed by X from 0: a
    reverse line's step j lies at X position steps - 1 - j."""
    lines = []
    with open(trace) as text:
        for line in text:
            if not line.startswith("bits\t"):
                continue
            fields = line.rstrip("\n").split("\t")
            row = np.zeros(steps, dtype=np.uint8)
            if len(fields) > 2 and fields[2]:
                for span in fields[2].split(","):
                    first, last = span.split("-")
                    first, last = int(first), int(last)
                    if first < steps:
                        row[first:min(last, steps - 1) + 1] = 1
            if int(fields[1]) % 2 == 1:
                row = row[::-1]
            lines.append(row)
    return np.array(lines)


def scan_ys(height, step_over):
    """The Y of every raster line: repeated addition from 0 while below the height."""
    ys, y = [], 0.0
    while y < height:
        ys.append(y)
        y = y + step_over
    return np.array(ys)


# ---- the picture on the dot grid --------------------------------------------------------------

def area_matrix(edges, count):
    """Weights that average `count` unit cells over each interval [edges[i], edges[i + 1]),
    clipped to [0, count); an interval outside gives a zero row."""
    weights = np.zeros((len(edges) - 1, count))
    for i in range(len(edges) - 1):
        low, high = max(edges[i], 0.0), min(edges[i + 1], float(count))
        if high <= low:
            continue
        for cell in range(int(np.floor(low)), int(np.ceil(high))):
            weights[i, cell] = min(high, cell + 1) - max(low, cell)
        weights[i] /= weights[i].sum()
    return weights


def picture_on_grid(gray, engraving, lines):
    """The picture's brightness (0..1) averaged over every dot's area: line k's band of rows
    from its Y for one step-over, step j's share of the columns."""
    rows, columns = gray.shape
    ys = scan_ys(engraving.height, STEP_OVER)[:lines]
    band_edges = []
    row_weights = np.zeros((lines, rows))
    for k, y in enumerate(ys):
        low = y / engraving.height * rows
        high = (y + STEP_OVER) / engraving.height * rows
        row_weights[k] = area_matrix([low, high], rows)[0]
        band_edges.append((low, high))
    bottom_up = gray[::-1].astype(np.float64) / 255.0  # row 0 is the bottom row
    bands = row_weights @ bottom_up  # lines x columns
    column_edges = np.arange(engraving.steps + 1) * columns / engraving.steps
    # Step j's columns by cumulative sums, exact for fractional edges.
    cumulative = np.concatenate([np.zeros((lines, 1)), np.cumsum(bands, axis=1)], axis=1)
    whole = np.minimum(np.floor(column_edges).astype(int), columns - 1)
    fraction = column_edges - whole
    at_edge = cumulative[:, whole] + fraction * bands[:, whole]
    steps_per_column = engraving.steps / columns
    return np.diff(at_edge, axis=1) * steps_per_column


def floyd_steinberg(grid):
    """The anchor: the grid (0..1) as 8-bit gray dithered by Pillow's Floyd-Steinberg."""
    image = Image.fromarray(np.clip(np.rint(grid * 255.0), 0, 255).astype(np.uint8))
    return (np.asarray(image.convert("1"), dtype=np.uint8) > 0).astype(np.uint8)


# ---- comparison -------------------------------------------------------------------------------

def blur_rows(values, fwhm_steps):
    """Each line blurred along X by a Gaussian dot of this full width at half maximum."""
    sigma = fwhm_steps / 2.3548
    radius = int(np.ceil(3 * sigma))
    kernel = np.exp(-0.5 * (np.arange(-radius, radius + 1) / sigma) ** 2)
    kernel /= kernel.sum()
    padded = np.pad(values.astype(np.float64), ((0, 0), (radius, radius)), mode="edge")
    out = np.zeros(values.shape)
    for i, weight in enumerate(kernel):
        out += weight * padded[:, i:i + values.shape[1]]
    return out


def cells(values, cell_steps):
    lines, steps = values.shape
    count = steps // cell_steps
    return values[:, :count * cell_steps].reshape(lines, count, cell_steps).mean(axis=2)


def compare(dots, reference, steps_per_unit, block=1):
    """Mean error, bias, structural similarity and the error of every line (or band of `block`
    lines), on cells `block` lines high and `block` step-overs wide, after blurring by a dot
    half a step-over wide. Block 1 judges every line alone; block 4 (0.4 unit) is the picture
    seen from a little farther, where an error handed to the next line cancels as it does for
    the eye."""
    cell_steps = max(1, int(round(STEP_OVER * steps_per_unit)))
    fwhm = STEP_OVER * steps_per_unit / 2.0
    ours = cells(blur_rows(dots, fwhm), cell_steps * block)
    truth = cells(blur_rows(reference, fwhm), cell_steps * block)
    lines = ours.shape[0] // block * block
    ours = ours[:lines].reshape(lines // block, block, -1).mean(axis=1)
    truth = truth[:lines].reshape(lines // block, block, -1).mean(axis=1)
    error = ours - truth
    ssim = structural_similarity(ours, truth, data_range=1.0)
    return {"mean": float(np.abs(error).mean()), "bias": float(error.mean()), "ssim": ssim,
            "lines": np.abs(error).mean(axis=1)}


def patch_lines(engraving, lines, patch_row):
    """The lines whose whole band lies in this row of patches (counted from the top), less two
    at each edge."""
    ys = scan_ys(engraving.height, STEP_OVER)[:lines]
    top = engraving.height * (16 - patch_row) / 16
    bottom = engraving.height * (15 - patch_row) / 16
    return np.nonzero((ys >= bottom) & (ys + STEP_OVER <= top))[0][2:-2]


def patch_steps(steps, patch_column):
    margin = max(3, steps // 16 // 10)
    return (int(np.ceil(steps * patch_column / 16)) + margin,
            int(np.floor(steps * (patch_column + 1) / 16)) - margin)


def chart_tones(dots, engraving):
    """The fired fraction inside each patch, by level."""
    tones = np.zeros(256)
    for patch_row in range(16):
        inside = patch_lines(engraving, dots.shape[0], patch_row)
        for patch_column in range(16):
            first, last = patch_steps(dots.shape[1], patch_column)
            tones[16 * patch_row + patch_column] = dots[inside][:, first:last].mean()
    return tones


def stripes(dots, engraving):
    """How much more often than by chance a dot has a dot at the same X on the next line or
    the one after it (the next in the same direction), over the patches from 3 % to 50 % tone:
    about 1 for unrelated lines, below 1 when lines stagger their dots, far above 1 for
    vertical stripes. Nan when those patches fire nothing."""
    worst = []
    for lag in (1, 2):
        ratios = []
        for level in range(256):
            tone = level / 255.0
            if not 0.03 <= tone <= 0.5:
                continue
            inside = patch_lines(engraving, dots.shape[0], level // 16)
            first, last = patch_steps(dots.shape[1], level % 16)
            patch = dots[inside][:, first:last].astype(np.float64)
            fired = patch[:-lag].sum()
            if fired > 0:
                ratios.append((patch[:-lag] * patch[lag:]).sum() / fired / tone)
        worst.append(np.mean(ratios) if ratios else float("nan"))
    return float(max(worst))


def chart_figures(tones, dots, engraving):
    error = tones - np.arange(256) / 255.0
    visible = int(np.sum(np.diff(tones) > 0))
    return {"mean": float(np.abs(error).mean()), "max": float(np.abs(error).max()),
            "bias": float(error.mean()), "visible": visible, "stripes": stripes(dots, engraving)}


# ---- the runs ---------------------------------------------------------------------------------

def run_chart(host_sim, work, density, quick):
    name, per_unit, per_column, _ = density
    steps = CHART_STEPS[name] // (2 if quick else 1)
    columns = int(round(steps / per_column))
    lines_total = 16 * CHART_LINES_PER_PATCH // (2 if quick else 1)
    rows = 160
    gray = chart(columns, rows)
    path = os.path.join(work, "chart-%s.png" % name)
    Image.fromarray(gray).save(path)
    results = {}
    for dither in (False, True):
        engraving = Engraving(path, columns, rows, per_unit, steps, dither)
        # The height that gives the chart its lines: rows scaled as the raster needs.
        engraving.height = lines_total * STEP_OVER
        dots = engraving.run(host_sim, work)
        results["dithered" if dither else "classic"] = chart_figures(chart_tones(dots, engraving),
                                                                     dots, engraving)
        if "anchor" not in results:
            anchor = floyd_steinberg(picture_on_grid(gray, engraving, dots.shape[0]))
            results["anchor"] = chart_figures(chart_tones(anchor, engraving), anchor, engraving)
        results.setdefault("command", " ".join(shlex.quote(a) for a in engraving.command(
            host_sim, "TRACE")))
    return results


def run_photo(host_sim, work, photo, density, quick):
    name, per_unit, per_column, steps = density
    if quick:
        steps //= 2
    source = load_photo(photo)
    columns = int(round(steps / per_column))
    rows = max(1, int(round(columns * source.shape[0] / source.shape[1])))
    gray = resized(source, columns, rows)
    path = os.path.join(work, "%s-%s.png" % (photo, name))
    Image.fromarray(gray).save(path)
    results = {}
    reference = None
    for dither in (False, True):
        engraving = Engraving(path, columns, rows, per_unit, steps, dither)
        dots = engraving.run(host_sim, work)
        if reference is None:
            reference = picture_on_grid(gray, engraving, dots.shape[0])
            anchor = floyd_steinberg(reference)
            for block in BLOCKS:
                results[("anchor", block)] = compare(anchor, reference, per_unit, block)
        for block in BLOCKS:
            results[("dithered" if dither else "classic", block)] = compare(
                dots, reference, per_unit, block)
        results.setdefault("command", " ".join(shlex.quote(a) for a in engraving.command(
            host_sim, "TRACE")))
    return results


def line_verdict(ours, anchor):
    """Line by line: the share of lines whose error is at most the anchor's, and the worst
    line's error against the anchor's worst line."""
    share = float(np.mean(ours["lines"] <= anchor["lines"] + 1e-12))
    return share, float(ours["lines"].max()), float(anchor["lines"].max())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--keep", help="keep the pictures in this folder")
    parser.add_argument("--quick", action="store_true", help="half-size engravings")
    args = parser.parse_args()
    host_sim = os.path.join(args.build, "host-sim")
    if not os.access(host_sim, os.X_OK):
        sys.exit("no host-sim in %s: build first" % args.build)
    work = args.keep or tempfile.mkdtemp(prefix="dither-quality-")
    os.makedirs(work, exist_ok=True)
    started = time.time()
    print("command: " + " ".join(shlex.quote(a) for a in [sys.argv[0]] + sys.argv[1:]))
    failures = []

    print("\nChart of 256 gray levels (patch tone: fired fraction inside each patch)")
    print("%-8s %-9s %10s %10s %10s %9s %8s" % ("steps/col", "mode", "mean err", "max err",
                                                 "bias", "visible", "stripes"))
    for density in DENSITIES:
        results = run_chart(host_sim, work, density, args.quick)
        for mode in ("anchor", "classic", "dithered"):
            r = results[mode]
            stripe = "-" if np.isnan(r["stripes"]) else "%.2f" % r["stripes"]
            print("%-8s %-9s %10.5f %10.5f %+10.5f %5d/255 %8s" % (
                density[0], "FS anchor" if mode == "anchor" else mode, r["mean"], r["max"],
                r["bias"], r["visible"], stripe))
        d = results["dithered"]
        if d["mean"] > 0.002 or d["max"] > 0.012 or abs(d["bias"]) > 0.001 or d["visible"] < 235:
            failures.append("chart at %s steps per column" % density[0])
        print("         %s" % results["command"])

    print("\nPhotos (dots blurred half a step-over; cells of 1 line and 1 step-over, and of 4)")
    print("%-9s %-8s %-5s %-9s %10s %10s %8s %12s %10s" % (
        "photo", "steps/col", "cell", "mode", "mean err", "bias", "SSIM", "lines <= FS",
        "worst line"))
    for photo in ("testorig", "camera"):
        for density in DENSITIES:
            results = run_photo(host_sim, work, photo, density, args.quick)
            for block in BLOCKS:
                anchor = results[("anchor", block)]
                for mode in ("anchor", "classic", "dithered"):
                    r = results[(mode, block)]
                    share, worst, _ = line_verdict(r, anchor)
                    print("%-9s %-8s %-5s %-9s %10.5f %+10.5f %8.4f %12s %10.5f" % (
                        photo, density[0], "%dx%d" % (block, block),
                        "FS anchor" if mode == "anchor" else mode, r["mean"], r["bias"],
                        r["ssim"], "-" if mode == "anchor" else "%.0f%%" % (100 * share), worst))
                d = results[("dithered", block)]
                _, worst, anchor_worst = line_verdict(d, anchor)
                if (d["mean"] > 1.15 * anchor["mean"] or d["ssim"] < anchor["ssim"] - 0.01
                        or worst > anchor_worst):
                    failures.append("%s at %s steps per column, cells of %d" % (
                        photo, density[0], block))
            print("         %s" % results["command"])

    print("\ntargets (dithered): chart mean <= 0.002, max <= 0.012, |bias| <= 0.001, visible >= 235;"
          "\nphotos, both cell sizes: mean <= 1.15 x FS, SSIM >= FS - 0.01, worst line (band)"
          " <= FS's worst")
    print("%s (%.0f s)" % ("all met" if not failures else "NOT MET: " + "; ".join(failures),
                           time.time() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
