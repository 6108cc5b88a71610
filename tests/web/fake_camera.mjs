// What Chromium's fake camera shows the page's tests and benchmark: a made-up rock face with
// faint ochre figures on it, the kind of picture the stretch is for, as a Y4M file that
// `--use-file-for-fake-video-capture=FILE` plays in a loop (4:2:0, BT.601 studio range, the
// fake camera's own conversion).
import fs from 'node:fs';
import {chromiumPath} from './harness.mjs';

// The flags that give the page a fake camera playing `y4m` (a file makes one camera), or
// without one, `devices` cameras of Chromium's own test pattern; granted without asking.
export const fakeCamera = (y4m, devices = 1) => [
    `--use-fake-device-for-media-stream=device-count=${devices}`,
    '--use-fake-ui-for-media-stream', ...(y4m ? [`--use-file-for-fake-video-capture=${y4m}`] : [])];

// Chromium with `args` besides the sandbox's.
export const launch = (chromium, args = []) =>
    chromium.launch({executablePath: chromiumPath, args: ['--no-sandbox', ...args]});

// A smooth noise of several scales, 0..1, the same for the same arguments.
function noise(width, height, seed) {
    const field = new Float32Array(width * height);
    let s = seed >>> 0;
    const random = () => {
        s = (Math.imul(s, 1664525) + 1013904223) >>> 0;
        return s / 4294967296;
    };
    let weight = 0.5;
    let total = 0;
    for (let cell = 96; cell >= 3; cell >>= 1) {
        const gw = Math.ceil(width / cell) + 2;
        const gh = Math.ceil(height / cell) + 2;
        const grid = Float32Array.from({length: gw * gh}, random);
        for (let y = 0; y < height; ++y) {
            const gy = y / cell;
            const y0 = Math.floor(gy);
            const fy = gy - y0;
            const sy = fy * fy * (3 - 2 * fy);
            for (let x = 0; x < width; ++x) {
                const gx = x / cell;
                const x0 = Math.floor(gx);
                const fx = gx - x0;
                const sx = fx * fx * (3 - 2 * fx);
                const a = grid[y0 * gw + x0] + (grid[y0 * gw + x0 + 1] - grid[y0 * gw + x0]) * sx;
                const b = grid[(y0 + 1) * gw + x0] +
                    (grid[(y0 + 1) * gw + x0 + 1] - grid[(y0 + 1) * gw + x0]) * sx;
                field[y * width + x] += weight * (a + (b - a) * sy);
            }
        }
        total += weight;
        weight *= 0.62;
    }
    for (let i = 0; i < field.length; ++i)
        field[i] /= total;
    return field;
}

// How much ochre lies at (u, v) in 0..1 of the picture: a hand, a few animals' strokes, dots.
function ochre(u, v) {
    const near = (cx, cy, rx, ry) => ((u - cx) / rx) ** 2 + ((v - cy) / ry) ** 2 < 1;
    const stroke = (x0, y0, x1, y1, w) => {
        const dx = x1 - x0;
        const dy = y1 - y0;
        const t = Math.max(0, Math.min(1, ((u - x0) * dx + (v - y0) * dy) / (dx * dx + dy * dy)));
        return Math.hypot(u - x0 - t * dx, (v - y0 - t * dy) * 0.5625) < w;
    };
    // A hand: palm and fingers.
    if (near(0.25, 0.58, 0.055, 0.11))
        return 1;
    for (const [x, a] of [[0.2, -0.25], [0.23, -0.08], [0.26, 0.05], [0.29, 0.2], [0.31, 0.7]])
        if (stroke(0.25 + (x - 0.25) * 0.4, 0.5, x + a * 0.05, a > 0.5 ? 0.52 : 0.3, 0.012))
            return 1;
    // An animal: body, neck, legs.
    if (near(0.62, 0.42, 0.11, 0.07))
        return 0.8;
    for (const s of [[0.71, 0.4, 0.78, 0.27], [0.56, 0.46, 0.55, 0.62], [0.6, 0.46, 0.61, 0.62],
        [0.66, 0.46, 0.65, 0.62], [0.69, 0.45, 0.7, 0.62], [0.52, 0.4, 0.47, 0.5]])
        if (stroke(...s, 0.008))
            return 0.8;
    // A row of dots.
    for (let k = 0; k < 7; ++k)
        if (near(0.45 + k * 0.05, 0.8, 0.012, 0.02))
            return 0.7;
    return 0;
}

// The rock face of width x height RGBA pixels: browns whose bands move together, the figures
// a few levels redder, the whole lit a little more on one side.
export function rockFace(width, height) {
    const grain = noise(width, height, 7);
    const stain = noise(width, height, 99);
    const rgba = new Uint8Array(width * height * 4);
    for (let y = 0; y < height; ++y)
        for (let x = 0; x < width; ++x) {
            const i = y * width + x;
            const light = 0.75 + 0.35 * (x / width) - 0.1 * (y / height);
            const g = grain[i];
            const paint = ochre(x / width, y / height) * (0.6 + 0.8 * stain[i]);
            const base = (70 + 120 * g) * light;
            rgba[4 * i] = Math.min(255, Math.round(base * 1.12 + 5 * paint));
            rgba[4 * i + 1] = Math.min(255, Math.round(base * 0.93 - 2.5 * paint));
            rgba[4 * i + 2] = Math.min(255, Math.round(base * 0.74 - 2 * paint + 10 * stain[i]));
            rgba[4 * i + 3] = 255;
        }
    return rgba;
}

// A Y4M file of `frames` frames at `fps` of the rock face, moving `step` pixels a frame
// across a wider face (the camera panning), so that the scene keeps changing.
export function writeFakeCamera(file, {width = 1280, height = 720, frames = 8, fps = 30,
    step = 6} = {}) {
    const wide = width + step * frames;
    const face = rockFace(wide, height);
    const out = fs.openSync(file, 'w');
    fs.writeSync(out, `YUV4MPEG2 W${width} H${height} F${fps}:1 Ip A1:1 C420jpeg\n`);
    const ySize = width * height;
    const cw = width >> 1;
    const ch = height >> 1;
    const frame = Buffer.alloc(ySize + 2 * cw * ch);
    const rgbAt = (x, y, shift) => {
        const i = 4 * (y * wide + x + shift);
        return [face[i], face[i + 1], face[i + 2]];
    };
    for (let f = 0; f < frames; ++f) {
        const shift = f * step;
        for (let y = 0; y < height; ++y)
            for (let x = 0; x < width; ++x) {
                const [r, g, b] = rgbAt(x, y, shift);
                frame[y * width + x] = Math.round(16 + 0.2568 * r + 0.5041 * g + 0.0979 * b);
            }
        for (let y = 0; y < ch; ++y)
            for (let x = 0; x < cw; ++x) {
                let r = 0;
                let g = 0;
                let b = 0;
                for (const [dx, dy] of [[0, 0], [1, 0], [0, 1], [1, 1]]) {
                    const p = rgbAt(2 * x + dx, 2 * y + dy, shift);
                    r += p[0] / 4;
                    g += p[1] / 4;
                    b += p[2] / 4;
                }
                frame[ySize + y * cw + x] = Math.round(128 - 0.1482 * r - 0.291 * g + 0.4392 * b);
                frame[ySize + cw * ch + y * cw + x] =
                    Math.round(128 + 0.4392 * r - 0.3678 * g - 0.0714 * b);
            }
        fs.writeSync(out, 'FRAME\n');
        fs.writeSync(out, frame);
    }
    fs.closeSync(out);
    return file;
}
