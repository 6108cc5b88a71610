// The before/after view: one canvas of the view's size draws the original left of the divider
// and the result right of it through one zoom and pan, so both sides always stay in step.
// Mouse, touch and keyboard move the divider, zoom and pan; in sample mode a drag draws the
// statistics rectangle in image pixels.
//
// No canvas of the image's size is made: each side is a picture (see `picture`), drawn from its
// overview (a copy of at most a few megapixels) while the view is no closer than the
// overview's pixels, and from the image's own RGBA bytes, a tile of the screen at a time,
// closer up. What each side shows is kept at the view's size, so that moving the divider or
// holding compare draws nothing again.

import {scratchCanvas} from './decode.js';

const MIN_SCALE = 1 / 64;
const MAX_SCALE = 64;
const PAN_STEP = 40;
const DIVIDER_STEP = 0.02;
const TILE = 256; // a side of the tiles drawn from the image's bytes

const clamp = (x, lo, hi) => Math.min(Math.max(x, lo), hi);

// What a side of the view shows, drawn over the image's width x height pixels: overview, a
// canvas whose pixels are each `factor` of the image's a side (1: the image itself), and
// pixels(), the image's own packed RGBA bytes, or null when there are none or they are away
// (in the worker) for now.
export function picture(width, height, overview, factor, pixels = () => null) {
    return {width, height, overview, factor, pixels};
}

// A canvas of {width, height, pixels} (packed RGBA: an ArrayBuffer or a typed array), or null
// when the browser gives none of that size.
export function overviewCanvas({width, height, pixels}) {
    try {
        const data = pixels instanceof ArrayBuffer ? new Uint8ClampedArray(pixels)
            : new Uint8ClampedArray(pixels.buffer, pixels.byteOffset, pixels.length);
        const canvas = scratchCanvas(width, height);
        const ctx = canvas.getContext('2d');
        if (!ctx)
            return null;
        ctx.putImageData(new ImageData(data, width, height), 0, 0);
        return canvas;
    } catch (e) {
        return null;
    }
}

// One side as last drawn, at the view's size.
class Layer {
    constructor() {
        this.canvas = scratchCanvas(1, 1);
        this.ctx = this.canvas.getContext('2d');
        this.source = null;
        this.key = '';
        this.exact = false; // drawn as closely as the picture allows (not waiting for its bytes)
    }
}

// A tile of the image's bytes, reduced k times a side, with one pixel more around it (the
// neighbours smoothing reads); reused.
class Tiles {
    constructor() {
        this.canvas = scratchCanvas(TILE + 2, TILE + 2);
        this.ctx = this.canvas.getContext('2d');
        this.data = new ImageData(TILE + 2, TILE + 2);
        this.words = new Uint32Array(this.data.data.buffer);
    }

    // Fills the tile whose first pixel is (u0, v0) of the image reduced k times (w x h of
    // them, plus the border): each pixel the image's own (k 1) or the mean of the 2 x 2 at its
    // square's centre.
    fill(rgba, width, height, k, u0, v0, w, h) {
        const words = this.words;
        const src = new Uint32Array(rgba.buffer, rgba.byteOffset, rgba.length >> 2);
        const cols = Math.ceil(width / k);
        const rows = Math.ceil(height / k);
        const half = k > 1 ? k / 2 - 1 : 0;
        for (let j = -1; j <= h; ++j) {
            const v = clamp(v0 + j, 0, rows - 1);
            const y = Math.min(height - 1, v * k + half);
            const y2 = Math.min(height - 1, y + 1);
            let o = (j + 1) * (TILE + 2);
            for (let i = -1; i <= w; ++i, ++o) {
                const u = clamp(u0 + i, 0, cols - 1);
                const x = Math.min(width - 1, u * k + half);
                if (k === 1) {
                    words[o] = src[y * width + x];
                    continue;
                }
                const x2 = Math.min(width - 1, x + 1);
                const a = (y * width + x) * 4;
                const b = (y * width + x2) * 4;
                const c = (y2 * width + x) * 4;
                const d = (y2 * width + x2) * 4;
                const p = this.data.data;
                const q = o * 4;
                for (let n = 0; n < 4; ++n)
                    p[q + n] = (rgba[a + n] + rgba[b + n] + rgba[c + n] + rgba[d + n] + 2) >> 2;
            }
        }
        this.ctx.putImageData(this.data, 0, 0, 0, 0, w + 2, h + 2);
    }
}

export class CompareView {
    // elements: {view, canvas, divider}; callbacks: onZoom(scale), onSample([x, y, w, h]),
    // onSampleMode(on).
    constructor(elements, callbacks) {
        this.view = elements.view;
        this.canvas = elements.canvas;
        this.divider = elements.divider;
        this.callbacks = callbacks;
        this.ctx = this.canvas.getContext('2d');
        this.before = null;
        this.after = null;
        this.width = 0; // image size in pixels
        this.height = 0;
        this.scale = 1; // CSS pixels per image pixel
        this.tx = 0; // where the image's corner lies in the view, CSS pixels
        this.ty = 0;
        this.fitted = true; // follows the view's size until the user zooms or pans
        this.split = 0.5; // the divider, a fraction of the view's width
        this.sample = null;
        this.drawing = null; // the rectangle being dragged, image pixels
        this.sampleMode = false;
        this.pointers = new Map();
        this.gesture = null;
        this.frame = 0;
        this.comparing = false; // the original on both sides while a compare key is held
        this.layers = [new Layer(), new Layer()];
        this.tiles = null;

        new ResizeObserver(() => this.resize()).observe(this.view);
        this.view.addEventListener('pointerdown', (e) => this.pointerDown(e));
        this.view.addEventListener('pointermove', (e) => this.pointerMove(e));
        this.view.addEventListener('pointerup', (e) => this.pointerUp(e));
        this.view.addEventListener('pointercancel', (e) => this.pointerUp(e, true));
        this.view.addEventListener('wheel', (e) => this.wheel(e), {passive: false});
        this.view.addEventListener('keydown', (e) => this.viewKey(e));
        this.divider.addEventListener('keydown', (e) => this.dividerKey(e));
        this.resize();
    }

    get viewWidth() {
        return this.view.clientWidth;
    }

    get viewHeight() {
        return this.view.clientHeight;
    }

    // A new image (its size) and the pictures to show on each side (see `picture`; after may
    // be null); a new size fits it to the view.
    setImages(before, after, width, height) {
        const resized = width !== this.width || height !== this.height;
        this.before = before;
        this.after = after;
        this.width = width;
        this.height = height;
        this.view.classList.toggle('empty', !before);
        this.view.classList.toggle('has-result', !!after);
        if (resized)
            this.fit();
        this.redraw();
    }

    setAfter(after) {
        this.after = after;
        this.view.classList.toggle('has-result', !!after);
        this.redraw();
    }

    // Shows the original on both sides while `on` (hold to compare).
    setCompare(on) {
        this.comparing = on;
        this.view.classList.toggle('comparing', on);
        this.redraw();
    }

    setSample(rect) {
        this.sample = rect;
        this.redraw();
    }

    setSampleMode(on) {
        if (on === this.sampleMode)
            return;
        this.sampleMode = on;
        this.drawing = null;
        this.view.classList.toggle('sampling', on);
        this.callbacks.onSampleMode(on);
        this.redraw();
    }

    fit() {
        const w = this.viewWidth;
        const h = this.viewHeight;
        if (!this.width || !w || !h)
            return;
        this.scale = clamp(Math.min(w / this.width, h / this.height), MIN_SCALE, MAX_SCALE);
        this.tx = (w - this.width * this.scale) / 2;
        this.ty = (h - this.height * this.scale) / 2;
        this.fitted = true;
        this.changed();
    }

    // Zoom to `scale`, keeping the image point under (cx, cy) where it is.
    zoomTo(scale, cx = this.viewWidth / 2, cy = this.viewHeight / 2) {
        if (!this.width)
            return;
        const s = clamp(scale, MIN_SCALE, MAX_SCALE);
        this.tx = cx - ((cx - this.tx) * s) / this.scale;
        this.ty = cy - ((cy - this.ty) * s) / this.scale;
        this.scale = s;
        this.fitted = false;
        this.keepInView();
        this.changed();
    }

    zoomBy(factor, cx, cy) {
        this.zoomTo(this.scale * factor, cx, cy);
    }

    pan(dx, dy) {
        if (!this.width)
            return;
        this.tx += dx;
        this.ty += dy;
        this.fitted = false;
        this.keepInView();
        this.changed();
    }

    moveDivider(to) {
        this.split = clamp(to, 0, 1);
        const percent = Math.round(this.split * 100);
        this.divider.setAttribute('aria-valuenow', String(percent));
        this.divider.setAttribute('aria-valuetext', `${percent} % before`);
        this.redraw();
    }

    // At least a quarter of the view (or the whole image, when smaller) stays covered.
    keepInView() {
        const w = this.viewWidth;
        const h = this.viewHeight;
        const iw = this.width * this.scale;
        const ih = this.height * this.scale;
        const mx = Math.min(iw, w / 4);
        const my = Math.min(ih, h / 4);
        this.tx = clamp(this.tx, mx - iw, w - mx);
        this.ty = clamp(this.ty, my - ih, h - my);
    }

    changed() {
        this.callbacks.onZoom(this.scale);
        this.redraw();
    }

    resize() {
        const dpr = window.devicePixelRatio || 1;
        const w = Math.max(1, Math.round(this.viewWidth * dpr));
        const h = Math.max(1, Math.round(this.viewHeight * dpr));
        if (this.canvas.width !== w || this.canvas.height !== h) {
            this.canvas.width = w;
            this.canvas.height = h;
        }
        if (this.fitted)
            this.fit();
        else
            this.keepInView();
        this.redraw();
    }

    // The image pixel under a point of the view (CSS pixels), not rounded.
    toImage(x, y) {
        return [(x - this.tx) / this.scale, (y - this.ty) / this.scale];
    }

    local(e) {
        const r = this.view.getBoundingClientRect();
        return [e.clientX - r.left, e.clientY - r.top];
    }

    pointerDown(e) {
        if (!this.before || (e.pointerType === 'mouse' && e.button !== 0))
            return;
        const [x, y] = this.local(e);
        this.view.setPointerCapture(e.pointerId);
        this.pointers.set(e.pointerId, {x, y});
        if (this.divider.contains(e.target)) {
            this.gesture = {kind: 'divider'};
            this.divider.focus();
            e.preventDefault();
            return;
        }
        this.view.focus({preventScroll: true});
        if (this.pointers.size === 2) {
            // A second finger turns any gesture into a pinch; a half-drawn rectangle is dropped.
            const [a, b] = [...this.pointers.values()];
            this.drawing = null;
            this.gesture = {
                kind: 'pinch',
                distance: Math.hypot(a.x - b.x, a.y - b.y) || 1,
                scale: this.scale,
                mid: [(a.x + b.x) / 2, (a.y + b.y) / 2],
            };
        } else if (this.pointers.size === 1) {
            if (this.sampleMode) {
                const [ix, iy] = this.toImage(x, y);
                this.gesture = {kind: 'sample', from: [ix, iy]};
            } else {
                this.gesture = {kind: 'pan', x, y};
                this.view.classList.add('panning');
            }
        }
        e.preventDefault();
    }

    pointerMove(e) {
        if (!this.pointers.has(e.pointerId) || !this.gesture)
            return;
        const [x, y] = this.local(e);
        this.pointers.set(e.pointerId, {x, y});
        const g = this.gesture;
        if (g.kind === 'divider') {
            this.moveDivider(x / this.viewWidth);
        } else if (g.kind === 'pan') {
            this.pan(x - g.x, y - g.y);
            g.x = x;
            g.y = y;
        } else if (g.kind === 'pinch' && this.pointers.size === 2) {
            const [a, b] = [...this.pointers.values()];
            const mid = [(a.x + b.x) / 2, (a.y + b.y) / 2];
            const distance = Math.hypot(a.x - b.x, a.y - b.y) || 1;
            this.pan(mid[0] - g.mid[0], mid[1] - g.mid[1]);
            this.zoomTo((g.scale * distance) / g.distance, mid[0], mid[1]);
            g.mid = mid;
        } else if (g.kind === 'sample') {
            this.drawing = this.rectangle(g.from, this.toImage(x, y));
            this.redraw();
        }
    }

    pointerUp(e, cancelled = false) {
        if (!this.pointers.delete(e.pointerId))
            return;
        const g = this.gesture;
        if (g && g.kind === 'sample' && !cancelled) {
            const rect = this.drawing;
            this.drawing = null;
            if (rect && rect[2] >= 1 && rect[3] >= 1)
                this.callbacks.onSample(rect);
            this.redraw();
        }
        if (this.pointers.size === 0) {
            this.gesture = null;
            this.drawing = null;
            this.view.classList.remove('panning');
        } else if (this.pointers.size === 1 && g && g.kind === 'pinch') {
            // One finger left after a pinch pans from where it is.
            const [p] = [...this.pointers.values()];
            this.gesture = {kind: 'pan', x: p.x, y: p.y};
        }
    }

    // The whole pixels between two image points, within the image: [x, y, w, h].
    rectangle(a, b) {
        const x0 = clamp(Math.floor(Math.min(a[0], b[0])), 0, this.width);
        const y0 = clamp(Math.floor(Math.min(a[1], b[1])), 0, this.height);
        const x1 = clamp(Math.ceil(Math.max(a[0], b[0])), 0, this.width);
        const y1 = clamp(Math.ceil(Math.max(a[1], b[1])), 0, this.height);
        return [x0, y0, x1 - x0, y1 - y0];
    }

    wheel(e) {
        if (!this.before)
            return;
        e.preventDefault();
        const [x, y] = this.local(e);
        // Pixels, lines or pages of scrolling: about 1.2 times a notch of a mouse wheel.
        const unit = e.deltaMode === 1 ? 33 : e.deltaMode === 2 ? 400 : 1;
        this.zoomBy(Math.exp((-e.deltaY * unit) / 550), x, y);
    }

    viewKey(e) {
        if (e.target !== this.view || !this.before || e.altKey || e.ctrlKey || e.metaKey)
            return;
        const step = e.shiftKey ? PAN_STEP * 4 : PAN_STEP;
        const moves = {ArrowLeft: [step, 0], ArrowRight: [-step, 0], ArrowUp: [0, step], ArrowDown: [0, -step]};
        const move = moves[e.key];
        if (!move)
            return;
        this.pan(move[0], move[1]);
        e.preventDefault();
    }

    dividerKey(e) {
        const step = e.shiftKey ? DIVIDER_STEP * 5 : DIVIDER_STEP;
        const to = {
            ArrowLeft: this.split - step,
            ArrowDown: this.split - step,
            ArrowRight: this.split + step,
            ArrowUp: this.split + step,
            PageDown: this.split - 0.1,
            PageUp: this.split + 0.1,
            Home: 0,
            End: 1,
        }[e.key];
        if (to === undefined)
            return;
        this.moveDivider(to);
        e.preventDefault();
        e.stopPropagation();
    }

    redraw() {
        if (!this.frame)
            this.frame = requestAnimationFrame(() => {
                this.frame = 0;
                this.draw();
            });
    }

    // Draws `source` on the layer as the view now stands, unless it is drawn so already.
    render(layer, source) {
        const {canvas} = this;
        const dpr = canvas.width / Math.max(1, this.viewWidth);
        const key = [canvas.width, canvas.height, this.scale, this.tx, this.ty].join();
        const pixels = source.pixels();
        if (layer.source === source && layer.key === key && (layer.exact || !pixels))
            return;
        if (layer.canvas.width !== canvas.width || layer.canvas.height !== canvas.height) {
            layer.canvas.width = canvas.width;
            layer.canvas.height = canvas.height;
        }
        layer.source = source;
        layer.key = key;
        const ctx = layer.ctx;
        ctx.setTransform(1, 0, 0, 1, 0, 0);
        ctx.clearRect(0, 0, layer.canvas.width, layer.canvas.height);
        // Smooth when the image is reduced or a little enlarged; whole pixels from 3 times up.
        ctx.imageSmoothingEnabled = this.scale < 3;
        ctx.imageSmoothingQuality = 'high';
        const d = dpr * this.scale; // device pixels a pixel of the image
        const close = source.factor > 1 && d * source.factor > 1;
        layer.exact = !close || !!pixels;
        if (!close || !pixels) {
            ctx.setTransform(d, 0, 0, d, dpr * this.tx, dpr * this.ty);
            ctx.drawImage(source.overview, 0, 0, source.width, source.height);
            return;
        }
        // Closer than the overview: the visible part of the image from its bytes, reduced k
        // times a side (k a power of two, at most the view's reduction), tile by tile.
        let k = 1;
        while (k * 2 * d <= 1)
            k *= 2;
        const {width, height} = source;
        const x0 = clamp(Math.floor(-this.tx / this.scale), 0, width);
        const y0 = clamp(Math.floor(-this.ty / this.scale), 0, height);
        const x1 = clamp(Math.ceil((this.viewWidth - this.tx) / this.scale), 0, width);
        const y1 = clamp(Math.ceil((this.viewHeight - this.ty) / this.scale), 0, height);
        if (x1 <= x0 || y1 <= y0)
            return;
        if (!this.tiles)
            this.tiles = new Tiles();
        ctx.save();
        ctx.setTransform(d * k, 0, 0, d * k, dpr * this.tx, dpr * this.ty);
        ctx.beginPath();
        ctx.rect(0, 0, width / k, height / k);
        ctx.clip();
        const u1 = Math.ceil(x1 / k);
        const v1 = Math.ceil(y1 / k);
        for (let v = Math.floor(y0 / k); v < v1; v += TILE)
            for (let u = Math.floor(x0 / k); u < u1; u += TILE) {
                const w = Math.min(TILE, u1 - u);
                const h = Math.min(TILE, v1 - v);
                this.tiles.fill(pixels, width, height, k, u, v, w, h);
                ctx.drawImage(this.tiles.canvas, 1, 1, w, h, u, v, w, h);
            }
        ctx.restore();
    }

    draw() {
        const ctx = this.ctx;
        const dpr = this.canvas.width / Math.max(1, this.viewWidth);
        const w = this.viewWidth;
        const split = Math.round(this.split * w);
        this.divider.style.left = `${split}px`;
        ctx.setTransform(1, 0, 0, 1, 0, 0);
        ctx.clearRect(0, 0, this.canvas.width, this.canvas.height);
        if (!this.before)
            return;
        const after = this.comparing ? this.before : this.after || this.before;
        this.render(this.layers[0], this.before);
        if (after !== this.before)
            this.render(this.layers[1], after);
        const sides = [[this.layers[0], 0, split],
            [after === this.before ? this.layers[0] : this.layers[1], split, w]];
        for (const [layer, x0, x1] of sides) {
            if (x1 <= x0)
                continue;
            const a = Math.round(x0 * dpr);
            const b = Math.min(this.canvas.width, Math.round(x1 * dpr));
            if (b > a)
                ctx.drawImage(layer.canvas, a, 0, b - a, this.canvas.height, a, 0, b - a,
                    this.canvas.height);
        }
        const rect = this.drawing || this.sample;
        if (rect) {
            ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
            const x = this.tx + rect[0] * this.scale;
            const y = this.ty + rect[1] * this.scale;
            const rw = rect[2] * this.scale;
            const rh = rect[3] * this.scale;
            ctx.lineWidth = 2;
            ctx.setLineDash([]);
            ctx.strokeStyle = 'rgba(0, 0, 0, 0.85)';
            ctx.strokeRect(x, y, rw, rh);
            ctx.setLineDash([6, 4]);
            ctx.strokeStyle = '#ffd21f';
            ctx.strokeRect(x, y, rw, rh);
        }
    }
}
