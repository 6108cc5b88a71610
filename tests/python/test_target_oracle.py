"""The target method against a NumPy implementation of its definition, written here from the
formulas alone (docs/controls.md): sample statistics (divided by N - 1), the whitening
T = Sigma_t V Lambda^(-1/2) V' Sigma^(-1) (correlation basis) or Sigma_t V Lambda^(-1/2) V'
(covariance basis), each row then rescaled by sigma_t / sqrt((T C T')_rr), and bands constant
over the selection or components without variance passed with gain 1. Degenerate pictures
(grey ones stored as three bands, constant and duplicated bands) are where it matters; the
edges of real data the module refuses (empty selections) are checked beside it."""

import pickle

import numpy as np
import pytest

vt = pytest.importorskip("veltrane")


def oracle(x, basis, tmean=None, tsigma=None):
    """The target map (T, k) of the selected pixels x (N x n): b = T a + k."""
    n = x.shape[1]
    m = x.mean(0)
    C = (x - m).T @ (x - m) / (len(x) - 1)
    sig = np.sqrt(np.diag(C))
    st = sig if tsigma is None else np.broadcast_to(np.asarray(tsigma, float), (n,))
    mt = m if tmean is None else np.broadcast_to(np.asarray(tmean, float), (n,))
    G = [b for b in range(n) if np.ptp(x[:, b]) > 0]  # constant bands pass with gain 1
    T = np.eye(n)
    if G:
        D = sig[G] if basis == "correlation" else np.ones(len(G))
        lam, V = np.linalg.eigh(C[np.ix_(G, G)] / np.outer(D, D))
        kept = lam > 1e-12 * lam.max()
        W = V[:, kept] @ np.diag(lam[kept] ** -0.5) @ V[:, kept].T
        P = V[:, ~kept] @ V[:, ~kept].T  # components without variance: gain 1
        Tp = np.diag(st[G]) @ W @ np.diag(1 / D)
        var = np.diag(Tp @ C[np.ix_(G, G)] @ Tp.T)
        for r in range(len(G)):
            if var[r] > 0 and st[G[r]] > 0:
                Tp[r] *= st[G[r]] / np.sqrt(var[r])
        T[np.ix_(G, G)] = Tp + np.diag(D) @ P @ np.diag(1 / D)
    return T, mt - T @ m


def mapped(img, T, k):
    return img.astype(np.float64) @ T.T + k


def correlated(h, w, n, seed):
    rng = np.random.RandomState(seed)
    mix = rng.normal(size=(n, n))
    return np.clip(0.5 + rng.normal(size=(h, w, n)) @ mix.T / 8, 0, 1).astype(np.float32)


@pytest.mark.parametrize("basis", ["correlation", "covariance"])
def test_ordinary_pictures_meet_the_oracle(basis):
    img = correlated(40, 30, 3, 1)
    # The bands' own means (the deviations their own) and targets of every band.
    own = tuple(img.reshape(-1, 3).astype(np.float64).mean(0))
    for tmean, tsigma in [(own, None), ((0.4, 0.5, 0.6), 0.1)]:
        T, k = oracle(img.reshape(-1, 3).astype(np.float64), basis, tmean, tsigma)
        out = vt.stretch(img, basis=basis, target_mean=tmean, target_sigma=tsigma)
        np.testing.assert_allclose(out, mapped(img, T, k), atol=2e-6)


@pytest.mark.parametrize("basis", ["correlation", "covariance"])
def test_grey_pictures_keep_their_deviation(basis):
    rng = np.random.RandomState(2)
    grey = np.repeat(rng.uniform(0.1, 0.9, (32, 48, 1)), 3, axis=2).astype(np.float32)
    x = grey.reshape(-1, 3).astype(np.float64)
    own = tuple(x.mean(0))  # the default targets: each band's own mean and deviation
    T, k = oracle(x, basis, tmean=own)
    out = vt.stretch(grey, basis=basis, target_mean=own)
    np.testing.assert_allclose(out, mapped(grey, T, k), atol=2e-6)
    # Each band at its own deviation, not that over the square root of three.
    got = out.reshape(-1, 3).astype(np.float64).std(0, ddof=1)
    np.testing.assert_allclose(got, x.std(0, ddof=1), rtol=1e-5)
    # 16-bit samples: rounded outputs within one unit of the oracle.
    grey16 = (grey * 60000).astype(np.uint16)
    T, k = oracle(grey16.reshape(-1, 3).astype(np.float64), basis, tsigma=9000)
    out16 = vt.stretch(grey16, basis=basis, target_sigma=9000)
    want = np.clip(np.rint(mapped(grey16, T, k)), 0, 65535)
    assert np.abs(out16.astype(np.float64) - want).max() <= 1


@pytest.mark.parametrize("basis", ["correlation", "covariance"])
def test_constant_and_duplicated_bands_pass_with_gain_one(basis):
    img = correlated(30, 40, 4, 3)
    img[:, :30, 1] = 0.25  # constant over the sample rectangle, varying beyond it
    img[:, :, 3] = img[:, :, 0]  # a copy of band 0
    sel = img[:, :30].reshape(-1, 4).astype(np.float64)
    T, k = oracle(sel, basis, tmean=0.5, tsigma=0.125)
    out = vt.stretch(img, basis=basis, target_mean=0.5, target_sigma=0.125, sample=(0, 0, 30, 30))
    np.testing.assert_allclose(out, mapped(img, T, k), atol=2e-6)
    assert abs(T[1, 1] - 1) < 1e-12 and np.abs(np.delete(T[1], 1)).max() < 1e-12
    got = out[:, :30].reshape(-1, 4).astype(np.float64)
    np.testing.assert_allclose(got[:, [0, 2, 3]].std(0, ddof=1), 0.125, rtol=1e-5)


def test_empty_selections_are_value_errors():
    img = correlated(10, 12, 3, 4)
    with pytest.raises(ValueError, match=r"^no pixels selected \(sample 0,0,0,0\)"):
        vt.stretch(img, sample=(0, 0, 0, 0))
    with pytest.raises(ValueError, match=r"^no pixels selected \(mask\)"):
        vt.fit(img, mask=np.zeros((10, 12), np.uint8), target_sigma=0.1)
    with pytest.raises(ValueError, match=r"^no pixels selected"):
        vt.fit(vt.statistics(img, sample=(0, 0, 0, 0)), target_sigma=0.1)


def test_transforms_carry_their_nodata_value():
    img = correlated(10, 12, 3, 5)
    img[0] = np.float32(0.1)
    t = vt.fit(img, nodata=0.1, offset=True)
    assert t.nodata == float(np.float32(0.1))
    for back in (vt.Transform.from_json(t.to_json()), pickle.loads(pickle.dumps(t))):
        assert back.nodata == t.nodata
    out = t.apply(img)  # the transform's own value unless told another
    assert np.array_equal(out[0], img[0])
    assert '"version": 3' in t.to_json()
