// Choosing by eye: sliders beside the saturation and target fields that preview while they
// are dragged (a screen-sized copy of the image stretched in preview-worker.js) and give the
// exact image when let go; a hold-to-compare key and button; histograms of each band before
// and after; and the pixel values under the pointer. The sliders write the fields, so the
// command line shows every value they reach.

import {stretchPixels, warmUp, Latest} from './preview.js';
import {picture} from './view.js';

const SLIDERS = [
    // field id, range, where the slider rests while its field is empty, what it sets (its
    // accessible name carries the option)
    {id: 'clip', min: 0, max: 0.1, step: 0.001, digits: 3, rest: 0,
        name: 'Saturation, both ends (--clip)'},
    {id: 'target-mean', min: 0, max: 255, step: 1, digits: 0, rest: 128,
        name: 'Target mean of every band (--target-mean)'},
    {id: 'target-sigma', min: 0, max: 128, step: 1, digits: 0, rest: 50,
        name: 'Target standard deviation of every band (--target-sigma)'},
];
// How long a floating picture stays after the slider is let go: with the exact result on
// show, or at most (milliseconds).
const LANDING_SHOWN = 1200;
const LANDING_LATEST = 5000;
const HISTOGRAM_PIXELS = 1 << 20; // at most this many pixels counted for a histogram
const BAND_COLOURS = ['rgb(255, 64, 64)', 'rgb(64, 220, 64)', 'rgb(80, 120, 255)'];

// Each band's counts of the 256 levels over at most HISTOGRAM_PIXELS pixels of packed RGBA
// (every k-th pixel), leaving out fully transparent ones.
export function bandHistograms(rgba) {
    const counts = [new Uint32Array(256), new Uint32Array(256), new Uint32Array(256)];
    const pixels = rgba.length >> 2;
    const step = 4 * Math.max(1, Math.ceil(pixels / HISTOGRAM_PIXELS));
    for (let i = 0; i < rgba.length; i += step)
        if (rgba[i + 3] !== 0) {
            ++counts[0][rgba[i]];
            ++counts[1][rgba[i + 1]];
            ++counts[2][rgba[i + 2]];
        }
    return counts;
}

export function installTune(page) {
    const $ = (id) => document.getElementById(id);
    const el = {
        view: $('view'),
        histogram: $('histogram'),
        readout: $('readout'),
        form: $('controls'),
    };
    if (!el.histogram)
        return;
    $('tune').hidden = false;
    $('compare').hidden = false;

    const tune = {
        dragging: false, // a slider is held: its changes preview
        preview: null, // the preview on show: {canvas, pixels, scale}
        proxy: null, // the screen-sized copy: {serial, width, height, scale, pixels}
        before: null, // histograms of the image
        after: null, // histograms of the result on show
        comparing: false,
    };
    const previewing = new Latest();

    // ---- Sliders

    const number = (text) => {
        const first = Number(String(text).split(',')[0].trim());
        return String(text).trim() !== '' && Number.isFinite(first) ? first : null;
    };

    for (const range of SLIDERS) {
        const field = $(range.id);
        if (!field)
            continue;
        const slider = document.createElement('input');
        Object.assign(slider, {type: 'range', id: `${range.id}-slider`, min: String(range.min),
            max: String(range.max), step: String(range.step), className: 'slider'});
        slider.setAttribute('aria-label', range.name);
        field.after(slider);
        const follow = () => {
            const value = number(field.value);
            slider.value = String(value === null ? range.rest : value);
            slider.disabled = field.disabled;
        };
        follow();
        field.addEventListener('input', follow);
        // The page enables the target's fields with the method: the sliders follow them.
        new MutationObserver(follow).observe(field, {attributes: true,
            attributeFilter: ['disabled']});
        el.form.addEventListener('reset-fields', follow);
        slider.addEventListener('pointerdown', () => floatPicture(slider));
        slider.addEventListener('input', () => {
            field.value = String(Number(Number(slider.value).toFixed(range.digits)));
            tune.dragging = true;
            floatPicture(slider);
            preview();
        });
        // Letting go (or a key's step) ends in the page's own change: the exact image.
        slider.addEventListener('change', letGo);
        slider.addEventListener('pointerup', letGo);
    }
    // Reset writes the fields without events: the sliders follow the next frame.
    $('reset')?.addEventListener('click', () => requestAnimationFrame(() =>
        el.form.dispatchEvent(new Event('reset-fields'))));

    // When the slider comes back to the values of the result the page holds, the page has
    // nothing to compute: that result comes back instead of the preview.
    function letGo() {
        tune.dragging = false;
        if (floating) {
            clearTimeout(floating.timer);
            floating.timer = setTimeout(land, LANDING_LATEST);
        }
        const settings = page.settings();
        if (tune.preview && settings.options && page.after() &&
            JSON.stringify(settings.options) === page.lastRequest()) {
            tune.preview = null;
            page.view.setAfter(page.after());
        }
    }

    // On a narrow screen the controls lie below the picture: while a slider is held, the
    // picture (or the camera) floats over the half of the screen away from the slider, and
    // lands once the exact result has shown a moment. A spacer keeps the page from moving.
    const narrow = window.matchMedia('(max-width: 860px)');
    let floating = null; // {target, spacer, timer}

    function floatPicture(slider) {
        const target = document.body.classList.contains('camera-on') ? $('camera') : el.view;
        if (floating || !narrow.matches || !target)
            return;
        const r = target.getBoundingClientRect();
        if (r.top >= 0 && r.bottom <= window.innerHeight)
            return; // in sight already
        const spacer = document.createElement('div');
        spacer.style.height = `${r.height}px`;
        target.before(spacer);
        const lower = slider.getBoundingClientRect().top > window.innerHeight / 2;
        target.classList.add('floating', lower ? 'floating-top' : 'floating-bottom');
        floating = {target, spacer, timer: 0};
    }

    function land() {
        if (!floating)
            return;
        clearTimeout(floating.timer);
        floating.target.classList.remove('floating', 'floating-top', 'floating-bottom');
        floating.spacer.remove();
        floating = null;
    }

    // The image at about the view's size in device pixels (the image itself when smaller).
    function proxyOf(image) {
        const canvas = page.view.canvas;
        const scale = Math.min(1, canvas.width / image.width, canvas.height / image.height);
        const width = Math.max(1, Math.round(image.width * scale));
        const height = Math.max(1, Math.round(image.height * scale));
        if (tune.proxy && tune.proxy.serial === image.serial && tune.proxy.width === width &&
            tune.proxy.height === height)
            return tune.proxy;
        // The image's own bytes when it is no larger (and they are here), else its overview
        // drawn at that size.
        let pixels = scale === 1 && image.pixels ? image.pixels.slice() : null;
        if (!pixels) {
            const copy = new OffscreenCanvas(width, height);
            const ctx = copy.getContext('2d', {willReadFrequently: true});
            ctx.imageSmoothingQuality = 'high';
            ctx.drawImage(image.picture.overview, 0, 0, width, height);
            pixels = ctx.getImageData(0, 0, width, height).data;
        }
        tune.proxy = {serial: image.serial, width, height, scale: width / image.width, pixels};
        return tune.proxy;
    }

    // The controls' stretch of the screen-sized copy, shown in place of the result until the
    // slider is let go.
    function preview() {
        const settings = page.settings();
        if (!settings.options)
            return;
        page.showCommand(settings.args);
        const image = page.image();
        if (!image || page.transform())
            return;
        warmUp();
        const serial = image.serial;
        previewing.run(async () => {
            if (!tune.dragging || page.image() !== image)
                return;
            const proxy = proxyOf(image);
            const options = {...settings.options};
            if (options.sample) {
                // The rectangle in the copy's pixels, at least one of them.
                const [x, y, w, h] = options.sample.map((v) => v * proxy.scale);
                const x0 = Math.min(proxy.width - 1, Math.floor(x));
                const y0 = Math.min(proxy.height - 1, Math.floor(y));
                options.sample = [x0, y0, Math.max(1, Math.min(proxy.width - x0, Math.round(w))),
                    Math.max(1, Math.min(proxy.height - y0, Math.round(h)))];
            }
            let answer;
            try {
                answer = await stretchPixels(proxy.width, proxy.height, proxy.pixels.slice(),
                    options);
            } catch (e) {
                return; // the exact stretch on letting go says what is wrong
            }
            if (!tune.dragging || page.image() === null || page.image().serial !== serial)
                return;
            const pixels = new Uint8ClampedArray(answer.pixels);
            const canvas = tune.preview && tune.preview.canvas.width === proxy.width &&
                tune.preview.canvas.height === proxy.height
                ? tune.preview.canvas : new OffscreenCanvas(proxy.width, proxy.height);
            canvas.getContext('2d').putImageData(new ImageData(pixels, proxy.width, proxy.height),
                0, 0);
            tune.preview = {canvas, pixels, scale: proxy.scale, width: proxy.width};
            page.view.setAfter(picture(image.width, image.height, canvas,
                image.width / proxy.width));
            tune.after = bandHistograms(pixels);
            drawHistograms();
            page.say(`Preview at ${proxy.width} × ${proxy.height} in ` +
                `${Math.round(answer.milliseconds)} ms; the whole image follows when you let go.`);
        });
    }

    // ---- Histograms

    function drawHistograms() {
        const canvas = el.histogram;
        const ratio = window.devicePixelRatio || 1;
        const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
        const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
        if (canvas.width !== width || canvas.height !== height) {
            canvas.width = width;
            canvas.height = height;
        }
        const ctx = canvas.getContext('2d');
        ctx.globalCompositeOperation = 'source-over';
        ctx.fillStyle = '#111';
        ctx.fillRect(0, 0, width, height);
        const half = Math.floor(height / 2);
        ctx.fillStyle = '#444';
        ctx.fillRect(0, half, width, 1);
        // Additive: where the bands' bars overlap they add up towards white.
        ctx.globalCompositeOperation = 'lighter';
        [[tune.before, 0], [tune.after, half + 1]].forEach(([counts, top]) => {
            if (!counts)
                return;
            const room = half - 2;
            // The tallest bar away from the ends sets the scale: levels 0 and 255 gather what
            // the saturation or the range's edge piles there.
            let highest = 1;
            for (const band of counts)
                for (let v = 1; v < 255; ++v)
                    highest = Math.max(highest, band[v]);
            counts.forEach((band, b) => {
                ctx.fillStyle = BAND_COLOURS[b];
                for (let v = 0; v < 256; ++v) {
                    const bar = Math.min(room, Math.round((band[v] / highest) * room));
                    if (bar > 0) {
                        const x0 = Math.floor((v * width) / 256);
                        const x1 = Math.max(x0 + 1, Math.floor(((v + 1) * width) / 256));
                        ctx.fillRect(x0, top + room + 1 - bar, x1 - x0, bar);
                    }
                }
            });
        });
    }

    page.onImage = () => {
        const image = page.image();
        tune.proxy = null;
        tune.preview = null;
        tune.before = image.pixels ? bandHistograms(image.pixels) : null;
        tune.after = null;
        drawHistograms();
        el.readout.textContent = 'Point at the image to read its values.';
    };
    page.onResult = (pixels) => {
        if (floating && !tune.dragging) {
            clearTimeout(floating.timer);
            floating.timer = setTimeout(land, LANDING_SHOWN);
        }
        tune.preview = null;
        tune.after = bandHistograms(pixels);
        drawHistograms();
    };
    new ResizeObserver(drawHistograms).observe(el.histogram);
    // An image opened (and its result shown) before this part of the page loaded.
    if (page.image()) {
        page.onImage();
        if (page.afterPixels())
            page.onResult(page.afterPixels());
    }

    // ---- The values under the pointer

    const triple = (p, i) => `${p[i]} ${p[i + 1]} ${p[i + 2]}`;

    function readAt(e) {
        const image = page.image();
        if (!image)
            return;
        const r = el.view.getBoundingClientRect();
        const [fx, fy] = page.view.toImage(e.clientX - r.left, e.clientY - r.top);
        const x = Math.floor(fx);
        const y = Math.floor(fy);
        if (x < 0 || y < 0 || x >= image.width || y >= image.height) {
            el.readout.textContent = 'Point at the image to read its values.';
            return;
        }
        // The bytes are away while the engine works on them.
        const before = image.pixels ? triple(image.pixels, 4 * (y * image.width + x)) : '…';
        let after = 'not yet';
        const p = tune.preview;
        if (p) {
            const px = Math.min(p.width - 1, Math.floor(x * p.scale));
            const py = Math.floor(y * p.scale);
            after = `${triple(p.pixels, 4 * (py * p.width + px))} (preview)`;
        } else {
            const pixels = page.afterPixels();
            if (pixels)
                after = triple(pixels, 4 * (y * image.width + x));
            else if (page.after())
                after = '…';
        }
        el.readout.textContent = `x ${x}, y ${y}: before ${before}, after ${after}`;
    }

    let pointed = null;
    el.view.addEventListener('pointermove', (e) => {
        if (!pointed)
            requestAnimationFrame(() => {
                readAt(pointed);
                pointed = null;
            });
        pointed = e;
    });

    // ---- Hold to compare: a key (C) or a button shows the original while held

    function compare(on) {
        if (on === tune.comparing)
            return;
        tune.comparing = on;
        page.view.setCompare(on);
        for (const b of document.querySelectorAll('[data-compare]'))
            b.setAttribute('aria-pressed', on ? 'true' : 'false');
        document.dispatchEvent(new CustomEvent('vt-compare', {detail: on}));
    }

    const typing = (e) => e.target.closest && e.target.closest('input, select, textarea');
    document.addEventListener('keydown', (e) => {
        if ((e.key === 'c' || e.key === 'C') && !e.ctrlKey && !e.metaKey && !e.altKey &&
            !typing(e)) {
            compare(true);
            e.preventDefault();
        }
    });
    document.addEventListener('keyup', (e) => {
        if (e.key === 'c' || e.key === 'C')
            compare(false);
    });
    window.addEventListener('blur', () => compare(false));
    for (const button of document.querySelectorAll('[data-compare]')) {
        button.addEventListener('pointerdown', (e) => {
            button.setPointerCapture(e.pointerId);
            compare(true);
            e.preventDefault();
        });
        for (const end of ['pointerup', 'pointercancel', 'lostpointercapture'])
            button.addEventListener(end, () => compare(false));
        button.addEventListener('keydown', (e) => {
            if (e.key === ' ' || e.key === 'Enter') {
                if (!e.repeat)
                    compare(true);
                e.preventDefault();
            }
        });
        button.addEventListener('keyup', (e) => {
            if (e.key === ' ' || e.key === 'Enter')
                compare(false);
        });
        button.addEventListener('click', (e) => e.preventDefault());
        button.addEventListener('contextmenu', (e) => e.preventDefault());
    }
}
