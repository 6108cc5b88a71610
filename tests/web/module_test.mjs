// The module the page loads, under Node, against the native `veltrane`: for the bundled
// photographs and a synthetic image (and for pictures of black, grey and one-colour areas, the
// fits' main options), every control the page offers must give the bytes
// `veltrane stretch` writes for the same options; transforms must pass between the two both
// ways; refusals must leave the pixels as they were.
//
//   node tests/web/module_test.mjs --page build/web/page --veltrane build/release/bin/veltrane
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const arg = (name, fallback) => {
    const i = process.argv.indexOf(name);
    return i > 0 ? process.argv[i + 1] : fallback;
};
const pageDir = path.resolve(arg('--page', path.join(root, 'build/web/page')));
const veltrane = path.resolve(arg('--veltrane', path.join(root, 'build/release/bin/veltrane')));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vt-module-'));

const factory = createRequire(import.meta.url)(path.join(pageDir, 'veltrane.js'));
const M = await factory({ wasmBinary: fs.readFileSync(path.join(pageDir, 'veltrane.wasm')) });
const stretch = M.cwrap('vt_web_stretch', 'number', ['number', 'number', 'number', 'string']);
const apply = M.cwrap('vt_web_apply', 'number', ['number', 'number', 'number', 'string']);
const message = () => M.UTF8ToString(M._vt_web_message());
const transform = () => M.UTF8ToString(M._vt_web_transform());

let failures = 0;
const fail = (what) => {
    failures++;
    console.error('FAIL ' + what);
};

function readPpm(file) {
    const b = fs.readFileSync(file);
    const fields = [];
    let pos = 0;
    while (fields.length < 4) {
        while (/\s/.test(String.fromCharCode(b[pos]))) pos++;
        if (b[pos] === 0x23) { // a comment to the end of the line
            while (b[pos] !== 0x0a) pos++;
            continue;
        }
        const start = pos;
        while (!/\s/.test(String.fromCharCode(b[pos]))) pos++;
        fields.push(b.toString('latin1', start, pos));
    }
    if (fields[0] !== 'P6' || fields[3] !== '255') throw new Error(file + ': not an 8-bit P6 file');
    return { width: +fields[1], height: +fields[2], rgb: b.subarray(pos + 1) };
}

function writePpm(file, image) {
    fs.writeFileSync(file, Buffer.concat([Buffer.from(`P6\n${image.width} ${image.height}\n255\n`),
        Buffer.from(image.rgb)]));
}

// A synthetic image: smooth fields, hard edges and noise from a fixed generator, so that sums
// and components land on many values (and near rounding halves) on every run.
function synthetic(width, height) {
    const rgb = new Uint8Array(width * height * 3);
    let state = 12345;
    const next = () => (state = (Math.imul(state, 1664525) + 1013904223) >>> 0) >>> 24;
    for (let y = 0; y < height; y++)
        for (let x = 0; x < width; x++) {
            const i = 3 * (y * width + x);
            const edge = (x * 7 + y * 3) % 97 < 40 ? 60 : 0;
            rgb[i] = Math.min(255, (x * 255 / width + edge + (next() & 15)) | 0);
            rgb[i + 1] = Math.min(255, (0.6 * rgb[i] + y * 80 / height + (next() & 7)) | 0);
            rgb[i + 2] = Math.min(255, (0.3 * rgb[i] + 0.5 * rgb[i + 1] + (next() & 31)) | 0);
        }
    return { width, height, rgb };
}

// The alpha pattern that must survive: never 0, since fully transparent pixels take no part in
// the fit (the transparent test below sets them apart).
const alphaOf = (i) => ((i * 7) % 255) + 1;

// The image's colour as RGBA in the module's memory (alpha a pattern that must survive).
function upload(image) {
    const n = image.width * image.height;
    const p = M._malloc(n * 4);
    if (!p) throw new Error('no memory for the image');
    const heap = M.HEAPU8;
    for (let i = 0; i < n; i++) {
        heap[p + 4 * i] = image.rgb[3 * i];
        heap[p + 4 * i + 1] = image.rgb[3 * i + 1];
        heap[p + 4 * i + 2] = image.rgb[3 * i + 2];
        heap[p + 4 * i + 3] = alphaOf(i);
    }
    return p;
}

// The colour bands back from the module's memory; checks the alpha pattern.
function download(p, image, what) {
    const n = image.width * image.height;
    const heap = M.HEAPU8;
    const rgb = new Uint8Array(n * 3);
    let alpha = 0;
    for (let i = 0; i < n; i++) {
        rgb[3 * i] = heap[p + 4 * i];
        rgb[3 * i + 1] = heap[p + 4 * i + 1];
        rgb[3 * i + 2] = heap[p + 4 * i + 2];
        if (heap[p + 4 * i + 3] !== alphaOf(i)) alpha++;
    }
    if (alpha) fail(`${what}: ${alpha} alpha samples changed`);
    return rgb;
}

function differences(a, b) {
    let count = 0;
    for (let i = 0; i < a.length; i++) if (a[i] !== b[i]) count++;
    return count;
}

function nativeStretch(input, args, saved) {
    const out = path.join(work, 'native.ppm');
    execFileSync(veltrane, ['stretch', input, out, ...args,
        ...(saved ? ['--save-transform', saved] : [])], { stdio: ['ignore', 'ignore', 'inherit'] });
    return readPpm(out).rgb;
}

// The page's options and the command line that means the same.
const optionSets = [
    [{ offset: true }, ['--offset']],
    [{ offset: false }, ['--no-offset']],
    [{ offset: true, basis: 'covariance' }, ['--offset', '--basis', 'covariance']],
    [{ offset: false, pairing: 'direct' }, ['--no-offset', '--pairing', 'direct']],
    [{ offset: true, sample: [30, 20, 90, 40] }, ['--offset', '--sample', '30,20,90,40']],
    [{ offset: true, clip: [0.01, 0.01] }, ['--offset', '--clip', '0.01']],
    [{ offset: false, clip: [0.005, 0.02], basis: 'covariance' },
        ['--no-offset', '--clip', '0.005,0.02', '--basis', 'covariance']],
    [{ target_sigma: [50] }, ['--target-sigma', '50']],
    [{ target_mean: [100, 120, 140], target_sigma: [40, 50, 60] },
        ['--target-mean', '100,120,140', '--target-sigma', '40,50,60']],
    [{ offset: true, space: 'ycbcr', keep: [1] }, ['--offset', '--space', 'ycbcr', '--keep', '1']],
    [{ offset: false, space: 'yiq', clip: [0.01, 0.01] },
        ['--no-offset', '--space', 'yiq', '--clip', '0.01']],
    [{ target_sigma: [45], space: 'ycbcr', keep: [1], sample: [10, 10, 120, 60] },
        ['--target-sigma', '45', '--space', 'ycbcr', '--keep', '1', '--sample', '10,10,120,60']],
    [{ offset: true, space: 'lab', keep: [1] }, ['--offset', '--space', 'lab', '--keep', '1']],
    [{ target_sigma: [20], space: 'lab', clip: [0.01, 0.01] },
        ['--target-sigma', '20', '--space', 'lab', '--clip', '0.01']],
];

// Pictures where many pixels tie with a component's extreme or repeat the pixel that set it: a
// photograph in a black frame, a greyscale photograph as three bands, one colour.
function framed(image, margin) {
    const width = image.width + 2 * margin, height = image.height + 2 * margin;
    const rgb = new Uint8Array(width * height * 3);
    for (let y = 0; y < image.height; y++)
        rgb.set(image.rgb.subarray(3 * y * image.width, 3 * (y + 1) * image.width),
            3 * ((y + margin) * width + margin));
    return { width, height, rgb };
}
function grey(image) {
    const rgb = new Uint8Array(image.rgb.length);
    for (let i = 0; i < rgb.length; i += 3)
        rgb.fill(Math.round(0.299 * image.rgb[i] + 0.587 * image.rgb[i + 1] +
            0.114 * image.rgb[i + 2]), i, i + 3);
    return { width: image.width, height: image.height, rgb };
}
function uniform(width, height, colour) {
    const rgb = new Uint8Array(width * height * 3);
    for (let i = 0; i < rgb.length; i += 3) rgb.set(colour, i);
    return { width, height, rgb };
}

const chelsea = readPpm(path.join(root, 'tests/data/chelsea.ppm'));
const rocket = readPpm(path.join(root, 'tests/data/rocket.ppm'));
const images = [
    ['chelsea', chelsea, optionSets],
    ['rocket', rocket, optionSets],
    ['synthetic', synthetic(203, 117), optionSets],
    ['framed rocket', framed(rocket, 120), [0, 1, 3, 5].map((i) => optionSets[i])],
    ['grey chelsea', grey(chelsea), [0, 1, 3, 5].map((i) => optionSets[i])],
    ['one colour', uniform(301, 200, [196, 120, 64]), [0, 1, 3, 5].map((i) => optionSets[i])],
];

for (const [name, image, sets] of images) {
    const input = path.join(work, name.replace(' ', '-') + '.ppm');
    writePpm(input, image);
    for (const [options, args] of sets) {
        const what = `${name} ${args.join(' ')}`;
        const p = upload(image);
        const rc = stretch(p, image.width, image.height, JSON.stringify(options));
        if (rc !== 0) {
            fail(`${what}: the module refused: ${message()}`);
            M._free(p);
            continue;
        }
        const page = download(p, image, what);
        const saved = path.join(work, 'native.json');
        const native = nativeStretch(input, args, saved);
        const d = differences(page, native);
        if (d) fail(`${what}: ${d} of ${page.length} samples differ from veltrane stretch`);
        // The module's transform applied by the native program, and the native one by the module.
        const mine = path.join(work, 'module.json');
        fs.writeFileSync(mine, transform());
        const out = path.join(work, 'applied.ppm');
        execFileSync(veltrane, ['apply', input, out, '--transform', mine]);
        if (differences(readPpm(out).rgb, native)) fail(`${what}: veltrane apply of the page's transform`);
        const q = upload(image);
        if (apply(q, image.width, image.height, fs.readFileSync(saved, 'utf8')) !== 0)
            fail(`${what}: the module refused the native transform: ${message()}`);
        else if (differences(download(q, image, what), native))
            fail(`${what}: the module's apply of the native transform`);
        M._free(q);
        M._free(p);
    }
}

// Fully transparent pixels take no part in the fit: the module's stretch of an image whose
// left columns are transparent (and garish) is veltrane stretch's with a mask of the others.
{
    const image = synthetic(203, 117);
    const input = path.join(work, 'transparent.ppm'), mask = path.join(work, 'showing.pgm');
    const showing = Buffer.alloc(image.width * image.height);
    for (let i = 0; i < showing.length; i++) {
        showing[i] = i % image.width < 40 ? 0 : 255;
        if (!showing[i]) image.rgb.set([255, (i * 13) & 255, 0], 3 * i);
    }
    writePpm(input, image);
    fs.writeFileSync(mask, Buffer.concat([Buffer.from(`P5\n${image.width} ${image.height}\n255\n`),
        showing]));
    for (const [options, args] of [optionSets[0], optionSets[7], optionSets[9]]) {
        const what = `transparent pixels, ${args.join(' ')}`;
        const p = upload(image);
        for (let i = 0; i < showing.length; i++) if (!showing[i]) M.HEAPU8[p + 4 * i + 3] = 0;
        if (stretch(p, image.width, image.height, JSON.stringify(options)) !== 0) {
            fail(`${what}: the module refused: ${message()}`);
        } else {
            const rgb = new Uint8Array(image.rgb.length);
            for (let i = 0; i < showing.length; i++)
                rgb.set(M.HEAPU8.subarray(p + 4 * i, p + 4 * i + 3), 3 * i);
            const d = differences(rgb, nativeStretch(input, [...args, '--mask', mask]));
            if (d) fail(`${what}: ${d} samples differ from veltrane stretch --mask`);
        }
        for (let i = 0; i < showing.length; i++) M.HEAPU8[p + 4 * i + 3] = 0;
        if (stretch(p, image.width, image.height, JSON.stringify(options)) !== 2 ||
            !/^no pixels selected/.test(message()))
            fail(`${what}: an image without a visible pixel was not refused: "${message()}"`);
        M._free(p);
    }
}

// Refusals: a reason, and the pixels as they were.
const image = images[2][1];
const refusals = [
    [{ offset: true, sample: [190, 0, 50, 10] }, /outside|rectangle/i],
    [{ offset: true, clip: [0.6, 0.5] }, /--clip/],
    [{ space: 'hsv' }, /--space/],
    [{ keep: [1, 2, 3] }, /every band/],
    [{ target_sigma: [-1] }, /at least 0/],
    [{ basis: 7 }, /./],
    [{ offset: true, sample: [3, 3, 0, 0] }, /^no pixels selected \(sample 3,3,0,0\)/],
    [{ target_sigma: [30], sample: [5, 5, 0, 4] }, /^no pixels selected/],
];
for (const [options, reason] of refusals) {
    const p = upload(image);
    const rc = stretch(p, image.width, image.height, JSON.stringify(options));
    const what = 'refusal of ' + JSON.stringify(options);
    if (rc !== 2 || !reason.test(message())) fail(`${what}: rc ${rc}, "${message()}"`);
    if (differences(download(p, image, what), image.rgb)) fail(`${what}: the pixels changed`);
    M._free(p);
}
// The cross-face cases, which the engine's suite runs on the command line's text and JSON:
// accepted or refused alike, with the same message; options the page does not offer are
// refused by name.
const crossFace = JSON.parse(fs.readFileSync(path.join(root, 'tests/data/option_cases.json')));
const caseImage = synthetic(64, 48);
for (const c of crossFace.cases) {
    const p = upload(caseImage);
    const rc = stretch(p, 64, 48, JSON.stringify(c.options));
    const what = 'cross-face case ' + JSON.stringify(c.options);
    const offered = c.web !== false;
    const key = Object.keys(c.options)[0];
    const expected = !offered ? `--${key} is not taken here` : c.refused;
    if (expected === undefined) {
        if (rc !== 0) fail(`${what}: refused: "${message()}"`);
    } else if (rc !== 2 || !message().includes(expected)) {
        fail(`${what}: rc ${rc}, "${message()}", expected "${expected}"`);
    }
    M._free(p);
}
// The page's settings make only options the module's table offers, under its keys.
const table = JSON.parse(M.UTF8ToString(M._vt_web_options()));
const offered = new Set(table.filter((row) => row.offered).map((row) => row.key));
// options.js is a browser module of its own: imported from its text.
const { readSettings } = await import('data:text/javascript,' +
    encodeURIComponent(fs.readFileSync(path.join(root, 'web/page/options.js'), 'utf8')));
for (const fields of [{}, { method: 'target', targetSigma: '40' }, { method: 'no-offset',
    basis: 'covariance', keep: '1', clip: '0.01', sample: '0,0,10,10', space: 'ycbcr' }]) {
    const settings = readSettings(fields, 64, 48);
    for (const key of Object.keys(settings.options ?? {}))
        if (!offered.has(key)) fail(`the page's option ${key} is not in the module's table`);
}
for (const text of ['', '{', '{"format":"veltrane-transform","version":99}']) {
    const p = upload(image);
    if (apply(p, image.width, image.height, text) !== 2 || !message())
        fail(`apply of ${JSON.stringify(text)} was not refused with a reason`);
    if (differences(download(p, image, 'bad transform'), image.rgb)) fail('a bad transform changed pixels');
    M._free(p);
}
if (stretch(0, 0, 0, '{}') !== 2) fail('an image without pixels was not refused');
// More memory than the module may have: malloc says no instead of aborting.
if (M._malloc(3 * 1024 * 1024 * 1024) !== 0) fail('a 3 GiB allocation did not fail');

fs.rmSync(work, { recursive: true, force: true });
if (failures) {
    console.error(`${failures} failures`);
    process.exit(1);
}
console.log(`module: ${images.reduce((n, image) => n + image[2].length, 0)} stretches of ` +
    `${images.length} images equal veltrane ` +
    `stretch, transforms pass both ways, ${refusals.length + 4} refusals keep the pixels, ` +
    `${crossFace.cases.length} cross-face cases`);
