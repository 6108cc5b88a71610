#!/usr/bin/python3
"""An independent check of `veltrane stretch`'s controls, from docs/controls.md alone.

Every formula of that page is computed again here in NumPy (float64, LAPACK's eigh) and each
output file of the program is compared with it. Integer outputs must agree to the unit; a pixel
whose exact value lies within HALF_EPS of a rounding half may round either way (one unit).
Float outputs must agree within FLOAT_TOL of the unit range: both sides compute in at least
double precision and store the nearest float, so they differ by an ulp or two (1.2e-7 at 1.0),
and a clip limit read from a stored float moves the map by as little again; 1e-6 leaves room
for that and is still fifteen times finer than a unit of a 16-bit sample.

usage: controls_check.py VELTRANE [SAMPLES_DIR]     (exit 77: NumPy, OpenCV or tifffile missing)
"""
import json, os, subprocess, sys, tempfile
from concurrent.futures import ThreadPoolExecutor

try:
    import numpy as np, cv2, tifffile
except ImportError as e:
    print(f"controls_check skipped: {e.name} is not installed (python3-numpy, python3-opencv, "
          "python3-tifffile)")
    sys.exit(77)

HALF_EPS, FLOAT_TOL = 1e-6, 1e-6
TOP = {np.dtype(np.uint8): 255.0, np.dtype(np.uint16): 65535.0, np.dtype(np.float32): 1.0}
# The library's constant colour transforms (rows act on red, green, blue; last column: constant).
SPACES = {
    "ycbcr": [[0.299, 0.587, 0.114, 0], [-0.16875, -0.33126, 0.5, 127.5],
              [0.5, -0.41869, -0.08131, 127.5]],
    "yiq": [[0.299, 0.587, 0.114, 0], [0.569, -0.275, -0.321, 127.5],
            [0.212, -0.523, 0.311, 127.5]],
}
USER_SPACE = [[0.5, 0.3, 0.2, 10], [-0.3, 0.6, -0.2, 90], [0.1, -0.4, 0.7, 40]]


def moments(x):
    """Mean and population covariance of the pixels x (N x n); exact sums for integers."""
    N = len(x)
    if x.dtype.kind == "u":
        xi = x.astype(np.int64)
        s1 = xi.sum(0)
        s2 = xi.T @ xi
        m = s1 / N
        C = np.array([[(N * int(s2[i, j]) - int(s1[i]) * int(s1[j])) / (N * N)
                       for j in range(len(s1))] for i in range(len(s1))])
        return m, C
    xd = x.astype(np.float64)
    m = xd.mean(0)
    return m, (xd - m).T @ (xd - m) / N


def fit(x, t, mom, method, basis, A, c, keep, tmean=None, tsigma=None):
    """The stretch F(x) = W x + k that the page defines, as (W, k); mom: moments(x)."""
    n = A.shape[0]
    F = [i for i in range(n) if i not in keep]
    m, C = mom
    mS, CS = A @ m + c, A @ C @ A.T
    sig = np.sqrt(np.maximum(np.diag(CS), 0))
    d = np.where(sig > 0, sig, 1.0)[F]  # a band without variance is not standardised
    B = CS[np.ix_(F, F)]
    if basis == "correlation":
        B = B / np.outer(d, d) * np.outer(sig[F] > 0, sig[F] > 0)
        np.fill_diagonal(B, 1.0)
    if method == "target":
        # Sample statistics (divided by N - 1); bands constant over the selection leave the
        # basis and pass with gain 1, as do components without variance.
        N = len(x)
        CT = CS * N / (N - 1)
        sg = np.sqrt(np.maximum(np.diag(CT), 0))
        st = sg if tsigma is None else np.broadcast_to(np.asarray(tsigma, float), (n,))
        mt = mS if tmean is None else np.broadcast_to(np.asarray(tmean, float), (n,))
        G = [i for i in F if sg[i] > 0]
        T = np.eye(n)
        if G:
            D = sg[G] if basis == "correlation" else np.ones(len(G))
            lam, V = np.linalg.eigh(CT[np.ix_(G, G)] / np.outer(D, D))
            scaled = lam > 1e-12 * lam.max()
            W = V[:, scaled] @ np.diag(lam[scaled] ** -0.5) @ V[:, scaled].T
            P = V[:, ~scaled] @ V[:, ~scaled].T
            Tp = np.diag(st[G]) @ W @ np.diag(1 / D)
            var = np.diag(Tp @ CT[np.ix_(G, G)] @ Tp.T)  # each row to its target deviation
            for r in range(len(G)):
                if var[r] > 0 and st[G[r]] > 0:
                    Tp[r] *= st[G[r]] / np.sqrt(var[r])
            T[np.ix_(G, G)] = Tp + np.diag(D) @ P @ np.diag(1 / D)
        G, g = np.eye(n), np.zeros(n)  # b_S = G S(x) + g
        G[np.ix_(F, F)] = T[np.ix_(F, F)]
        g[F] = mt[F] - T[np.ix_(F, F)] @ mS[F]
        Ai = np.linalg.inv(A)
        return Ai @ G @ A, Ai @ (G @ c + g - c)
    lam, V = np.linalg.eigh(B)
    U = np.zeros((n, len(F)))
    U[F, :] = V
    R = np.array(A, dtype=float)  # kept bands: row A_i, constant 0, unchanged
    k, D, e = np.zeros(n), np.ones(n), np.zeros(n)
    for j, row in zip(F, U.T @ A):
        pos, neg = row[row > 0].sum(), row[row < 0].sum()
        if method == "offset":
            s = np.abs(row).sum()
            R[j], k[j] = row / s, -t * neg / s
            p = x @ R[j] + k[j]
            lo, hi = p.min(), p.max()
            if hi - lo >= 1e-9:
                D[j], e[j] = t / (hi - lo), -lo * t / (hi - lo)
        else:  # scale only: about 0, inside the range the cube of colours gives the row
            R[j] = row
            p = x @ row
            lo, hi = p.min(), p.max()
            bounds = [t * pos / hi] if pos > 0 and hi > 0 else []
            bounds += [t * neg / lo] if neg < 0 and lo < 0 else []
            D[j] = min(bounds) if bounds else 1.0
    Ri = np.linalg.inv(R)
    return Ri @ np.diag(D) @ R, Ri @ (D * k + e - k)


def store(y, dtype, clamp=False):
    """What the program stores for the exact values y."""
    if dtype.kind == "u":
        return np.clip(np.rint(y), 0, TOP[dtype]).astype(dtype)
    return (np.clip(y, 0, 1) if clamp else y).astype(np.float32)


def limits(v, low, high):
    """The clip's limits of one band's stored values v: the (floor(low N) + 1)-th smallest and
    the (floor(high N) + 1)-th largest."""
    v = v[~np.isnan(v)].astype(np.float64)
    i, j = int(np.floor(low * len(v))), len(v) - 1 - int(np.floor(high * len(v)))
    return np.partition(v, (i, j))[[i, j]]


def clip_map(y, dtype, low, high):
    """The saturation after the stretch, on the exact values y (N x n). Integer limits are
    levels: their outer edges go to the outer edges of the range's end levels."""
    v, t, integer = store(y, dtype), TOP[dtype], dtype.kind == "u"
    out = y.copy()
    for b in range(y.shape[1]):
        L, H = limits(v[:, b], low, high)
        if not (np.isfinite(L) and np.isfinite(H) and H > L + integer):
            continue
        if integer:
            out[:, b] = (y[:, b] - L - 0.5) * (t - 1) / (H - L - 1) + 0.5
        else:
            out[:, b] = (y[:, b] - L) / (H - L)
    return out


failures = []


def compare(label, got, y, dtype, clamp):
    """got: the program's pixels (N x n); y: the oracle's exact values."""
    ref = store(y, dtype, clamp)
    if got.shape != ref.shape or got.dtype != ref.dtype:
        failures.append(f"{label}: output {got.shape} {got.dtype}, expected {ref.shape} "
                        f"{ref.dtype}")
        return
    if dtype.kind == "u":
        diff = got.astype(np.int32) - ref
        bad = diff != 0
        yb = y[bad]
        bad[bad] = (np.abs(diff[bad]) > 1) | (np.abs(yb - np.floor(yb) - 0.5) >= HALF_EPS)
    else:
        diff = got.astype(np.float64) - ref.astype(np.float64)
        bad = np.abs(diff) > FLOAT_TOL * np.maximum(1, np.abs(ref.astype(np.float64)))
    if bad.any():
        i, b = np.argwhere(bad)[0]
        failures.append(f"{label}: {bad.sum()} of {bad.size} samples differ (bands "
                        f"{sorted(set(np.nonzero(bad)[1].tolist()))}); first pixel {i} band {b}: "
                        f"program {got[i, b]}, oracle {ref[i, b]} (exact {y[i, b]!r}), "
                        f"largest difference {np.abs(diff).max()}")


def synthetic(h, w, n, dtype, seed):
    """Correlated bands: smooth shapes plus noise, mixed, around the middle of the range."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w] / max(h, w)
    latent = [np.sin(6 * xx + k) * np.cos(4 * yy - k) + 0.4 * rng.standard_normal((h, w))
              for k in range(n)]
    mix = np.eye(n) + 0.6 * rng.random((n, n))
    bands = np.tensordot(np.stack(latent, -1), mix.T, 1)
    bands = (bands - bands.mean((0, 1))) / bands.std((0, 1))
    t = TOP[np.dtype(dtype)]
    img = t * (0.5 + (0.05 + 0.02 * np.arange(n)) * bands + 0.02 * np.arange(n))
    if dtype == np.float32:
        return img.astype(np.float32)
    return np.clip(np.rint(img), 0, t).astype(dtype)


def cases(n, t, tdir):
    """(label, veltrane options, oracle arguments) for every control on an n-band image."""
    mean1, sig1 = round(0.5 * t, 4), round(0.1 * t, 4)
    means = [round((0.4 + 0.05 * i) * t, 4) for i in range(n)]
    sigs = [round((0.1 + 0.02 * i) * t, 4) for i in range(n)]
    I, z = np.eye(n), np.zeros(n)
    spaces = [("", [], I, z, set())]
    if n == 3:
        matrix = np.array(USER_SPACE, float) * [1, 1, 1, t / 255]
        mfile = os.path.join(tdir, f"space{int(t)}.json")
        with open(mfile, "w") as f:
            json.dump({"matrix": matrix.tolist()}, f)
        spaces.append(("rgb", ["--space", "rgb"], I, z, set()))
        for name in ("ycbcr", "yiq"):
            M = np.array(SPACES[name])
            spaces.append((name, ["--space", name], M[:, :3], M[:, 3] * t / 255, set()))
        M = np.array(SPACES["ycbcr"])
        spaces.append(("ycbcr keep 1", ["--space", "ycbcr", "--keep", "1"], M[:, :3],
                       M[:, 3] * t / 255, {0}))
        spaces.append(("matrix", ["--matrix", mfile], matrix[:, :3], matrix[:, 3], set()))
        spaces.append(("keep 3", ["--keep", "3"], I, z, {2}))
    else:
        spaces.append(("keep 2,5", ["--keep", "2,5"], I, z, {1, 4}))
    for basis in ("correlation", "covariance"):
        for sname, sopts, A, c, keep in spaces:
            common = dict(basis=basis, A=A, c=c, keep=keep)
            label, opts = f"{basis} {sname}".strip(), ["--basis", basis] + sopts
            # A space or kept bands pair directly without being asked.
            pairing = [] if sopts else ["--pairing", "direct"]
            yield f"{label} offset", opts + ["--offset"] + pairing, dict(common, method="offset")
            yield f"{label} scale", opts + ["--no-offset"] + pairing, dict(common, method="scale")
            if sname == "rgb":
                continue
            # Each target alone leaves the other at the band's own value; with a space or kept
            # bands, the deviation in one basis and the means in the other.
            if not sname or basis == "correlation":
                yield f"{label} target sigma", opts + ["--target-sigma", str(sig1)], \
                    dict(common, method="target", tsigma=sig1)
            if not sname or basis == "covariance":
                yield f"{label} target mean", opts + ["--target-mean", ",".join(map(str, means))], \
                    dict(common, method="target", tmean=means)
            if not sname:
                yield f"{label} target both", opts + [
                    "--target-mean", str(mean1), "--target-sigma", ",".join(map(str, sigs))], \
                    dict(common, method="target", tmean=mean1, tsigma=sigs)


def run(veltrane, inp, out, opts):
    """The program's output as pixels (N x n), or the reason there is none."""
    r = subprocess.run([veltrane, "stretch", inp, out] + opts, capture_output=True, text=True)
    if r.returncode != 0:
        return f"veltrane stretch {os.path.basename(inp)} {' '.join(opts)}: exit " \
               f"{r.returncode}: {r.stderr.strip()}"
    got = tifffile.imread(out)
    os.remove(out)
    return got.reshape(-1, got.shape[-1])


def check_properties(name, x, dtype, label, sigma_kept, got):
    """The target method with a band's own mean (or deviation) keeps it, and decorrelates."""
    t, xin, out = TOP[dtype], x.astype(np.float64), got.astype(np.float64)
    stat, what = (np.std, "deviation") if sigma_kept else (np.mean, "mean")
    before, after = stat(xin, 0), stat(out, 0)
    # Rounding moves each sample by at most half a unit, and so each mean and deviation.
    tol = 0.5 if dtype.kind == "u" else 1e-6
    corr = np.corrcoef(out.T)[np.triu_indices(x.shape[1], 1)]
    if np.any(np.abs(after - before) > tol) or np.any(np.abs(corr) > 1e-3):
        failures.append(f"{name} {label}: band {what}s {before} became {after}; correlations "
                        f"{corr}; {np.mean((out <= 0) | (out >= t)):.3%} of samples at the ends")


def check_clip_ends(label, got, plain, low, high, dtype):
    """More than the fraction LOW (HIGH) of each band ends at the bottom (top) of the range:
    the pixels stored at or beyond the limits of the unclipped output. Float outputs map the
    exact values, within an ulp of the stored ones, and so end within a little of the ends."""
    t, integer, N = TOP[dtype], dtype.kind == "u", len(got)
    for b in range(got.shape[1]):
        L, H = limits(plain[:, b], low, high)
        if H > L + integer:
            slack = 0 if integer else FLOAT_TOL / (H - L)
            bottom, top = np.sum(got[:, b] <= slack), np.sum(got[:, b] >= t - slack)
            if bottom <= low * N or top <= high * N:
                failures.append(f"{label}: band {b} (limits {L}, {H} without the clip) has "
                                f"{bottom} pixels at the bottom and {top} at the top, of {N}")


def images(samples, tdir):
    """The bundled 8-bit colour samples, as stored, and three synthetic TIFFs (name, file, pixels)."""
    for f in sorted(os.listdir(samples)):
        if f.lower().endswith((".png", ".jpg", ".jpeg")):
            bgr = cv2.imread(os.path.join(samples, f), cv2.IMREAD_UNCHANGED)  # not turned upright
            if bgr is not None and bgr.ndim == 3 and bgr.shape[2] == 3:
                yield f, os.path.join(samples, f), bgr[:, :, ::-1]
    for name, h, w, n, dtype, seed in [("rgb16.tif", 90, 120, 3, np.uint16, 1),
                                       ("six8.tif", 80, 100, 6, np.uint8, 2),
                                       ("rgbf.tif", 70, 110, 3, np.float32, 3)]:
        img = synthetic(h, w, n, dtype, seed)
        if name == "six8.tif":
            img[:, :, 3] = 77  # a band without variance: passed unstretched
        path = os.path.join(tdir, name)
        tifffile.imwrite(path, img, photometric="rgb" if n == 3 else "minisblack",
                         planarconfig="contig")
        yield name, path, img


def main():
    veltrane = sys.argv[1]
    samples = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "samples")
    clips = [(0, 0), (0.01, 0.01), (0.003, 0.02), (0.05, 0)]
    with tempfile.TemporaryDirectory() as tdir, ThreadPoolExecutor(2) as pool:
        # Each case twice, without and with one of the clips in turn; two programs at a time.
        jobs = []
        for name, path, img in images(samples, tdir):
            for i, (label, opts, args) in enumerate(cases(img.shape[2], TOP[img.dtype], tdir)):
                low, high = clips[i % len(clips)]
                clip = ["--clip", f"{low}" if low == high else f"{low},{high}"]
                runs = [pool.submit(run, veltrane, path, os.path.join(tdir, f"{len(jobs)}{k}.tif"),
                                    o) for k, o in enumerate([opts, opts + clip])]
                jobs.append((name, img, label, opts, args, (low, high), runs))
        mom = {}
        for name, img, label, opts, args, (low, high), runs in jobs:
            dtype, n, t = img.dtype, img.shape[2], TOP[img.dtype]
            x = img.reshape(-1, n)
            if name not in mom:
                mom[name] = moments(x)
            W, k = fit(x, t, mom[name], **args)
            y = x.astype(np.float64) @ W.T + k
            plain, clipped = (r.result() for r in runs)
            for got in (plain, clipped):
                if isinstance(got, str):
                    failures.append(got)
            if not isinstance(plain, str):
                compare(f"{name} {label}", plain, y, dtype, False)
                # One target given, the other the band's own; on the synthetic colours, where
                # little clamps.
                one_target = ("tmean" in args) != ("tsigma" in args)
                plain_space = np.array_equal(args["A"], np.eye(n)) and not args["keep"]
                if name.startswith("rgb") and plain_space and one_target:
                    check_properties(name, x, dtype, label, "tmean" in args, plain)
            if not isinstance(clipped, str):
                clip = f"--clip {low}" if low == high else f"--clip {low},{high}"
                compare(f"{name} {label} {clip}", clipped, clip_map(y, dtype, low, high), dtype,
                        True)
                if not isinstance(plain, str):
                    check_clip_ends(f"{name} {label} {clip}", clipped, plain, low, high, dtype)
    for f in failures:
        print("FAIL", f)
    print(f"controls_check: {2 * len(jobs)} outputs of veltrane stretch checked, "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
