// A smaller copy of packed RGBA pixels, for drawing an image at a screen's sizes: each of its
// pixels is the average of a square of the image's, the colours weighted by alpha (so that the
// colours under transparent pixels do not show). At most OVERVIEW_AREA pixels, whatever the
// image's size: a large image is drawn from its overview until the view comes closer than the
// overview's pixels, and from the image's own pixels then (view.js).
//
// Both a classic script and a module: the page imports it, the worker loads it with
// importScripts, and both find it as self.vtOverview.
'use strict';

(() => {
    const OVERVIEW_AREA = 1 << 21;

    // How many of the image's pixels, a side, make one of the overview's.
    const factorFor = (width, height) =>
        Math.max(1, Math.ceil(Math.sqrt((width * height) / OVERVIEW_AREA)));

    // {width, height, factor, pixels: Uint8ClampedArray}; a copy of the pixels themselves when
    // the image is small enough.
    function reduce(rgba, width, height) {
        const f = factorFor(width, height);
        const ow = Math.ceil(width / f);
        const oh = Math.ceil(height / f);
        const out = new Uint8ClampedArray(ow * oh * 4);
        if (f === 1) {
            out.set(rgba);
            return {width, height, factor: 1, pixels: out};
        }
        const sums = new Float64Array(ow * 4); // red, green and blue times alpha; alpha
        for (let oy = 0; oy < oh; ++oy) {
            sums.fill(0);
            const y0 = oy * f;
            const y1 = Math.min(height, y0 + f);
            for (let y = y0; y < y1; ++y) {
                let i = y * width * 4;
                for (let ox = 0, x = 0; ox < ow; ++ox) {
                    const x1 = Math.min(width, x + f);
                    let r = 0, g = 0, b = 0, a = 0;
                    for (; x < x1; ++x, i += 4) {
                        const alpha = rgba[i + 3];
                        r += rgba[i] * alpha;
                        g += rgba[i + 1] * alpha;
                        b += rgba[i + 2] * alpha;
                        a += alpha;
                    }
                    const k = ox * 4;
                    sums[k] += r;
                    sums[k + 1] += g;
                    sums[k + 2] += b;
                    sums[k + 3] += a;
                }
            }
            for (let ox = 0, o = oy * ow * 4; ox < ow; ++ox, o += 4) {
                const k = ox * 4;
                const a = sums[k + 3];
                const count = (y1 - y0) * (Math.min(width, ox * f + f) - ox * f);
                if (a > 0) {
                    out[o] = sums[k] / a;
                    out[o + 1] = sums[k + 1] / a;
                    out[o + 2] = sums[k + 2] / a;
                }
                out[o + 3] = a / count;
            }
        }
        return {width: ow, height: oh, factor: f, pixels: out};
    }

    self.vtOverview = {factorFor, reduce};
})();
