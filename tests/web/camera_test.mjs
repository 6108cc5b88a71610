#!/usr/bin/env node
// The camera and the choosing by eye in headless Chromium, whose fake camera plays a made-up
// rock face (fake_camera.mjs):
// - the graphics processor's stretch against the engine's bytes (the module under Node);
// - the live view, through the engine and through the graphics processor, against the raw
//   frame: its bands' deviations larger and their correlations gone, as a stretch makes them;
//   switching cameras, and the shutter opening a still in the normal view;
// - a denied camera, an insecure page and a machine without a camera, each explained;
// - the sliders' previews and exact results (against `veltrane stretch`), hold to compare,
//   the histograms and the values under the pointer (against an independent PNG reader).
//
//   node tests/web/camera_test.mjs [--page DIR] [--veltrane PATH] [--samples DIR]
//
// VT_CAMERA_SCREENSHOT=FILE.jpg also saves the camera view for the documentation.
import {createRequire} from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fakeCamera, launch, rockFace, writeFakeCamera} from './fake_camera.mjs';
import {check, finish, loadPlaywright, option, pageDir, readPngFile, repo, run,
    veltrane} from './harness.mjs';
import {readPng} from './png.mjs';
import {serve} from './server.mjs';

const samples = path.resolve(option('--samples', 'VT_SAMPLES', path.join(repo, 'samples')));
const screenshot = process.env.VT_CAMERA_SCREENSHOT;
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'vt-camera-'));

// The engine's module under Node, from the page's folder.
async function loadModule() {
    const factory = createRequire(import.meta.url)(path.join(pageDir, 'veltrane.js'));
    return factory({wasmBinary: fs.readFileSync(path.join(pageDir, 'veltrane.wasm'))});
}

// Each band's standard deviation and the correlations of red-green, red-blue and green-blue
// of packed RGBA pixels.
function bandStatistics(rgba) {
    const n = rgba.length / 4;
    const mean = [0, 0, 0];
    for (let i = 0; i < rgba.length; i += 4)
        for (let b = 0; b < 3; ++b)
            mean[b] += rgba[i + b] / n;
    const c = [[0, 0, 0], [0, 0, 0], [0, 0, 0]];
    for (let i = 0; i < rgba.length; i += 4)
        for (let a = 0; a < 3; ++a)
            for (let b = a; b < 3; ++b)
                c[a][b] += ((rgba[i + a] - mean[a]) * (rgba[i + b] - mean[b])) / n;
    const sigma = [0, 1, 2].map((b) => Math.sqrt(c[b][b]));
    const correlation = [[0, 1], [0, 2], [1, 2]].map(([a, b]) =>
        c[a][b] / Math.max(1e-9, sigma[a] * sigma[b]));
    return {sigma, correlation};
}

async function newPage(browser, url, viewport = {width: 1280, height: 800}) {
    const context = await browser.newContext({viewport, acceptDownloads: true});
    const page = await context.newPage();
    page.problems = [];
    page.on('console', (m) => {
        if (m.type() === 'error')
            page.problems.push(m.text());
    });
    page.on('pageerror', (e) => page.problems.push(e.message));
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('version').textContent !== '');
    return page;
}

async function closePage(page, what) {
    check(page.problems.length === 0, `${what}: console errors: ${page.problems.join(' | ')}`);
    await page.context().close();
}

// 1. The shader's map of a photograph and of the rock face against the engine's own
// application, for transforms of every kind the controls fit; and the matrix of an older
// file, whose plug-in pairing wrote it last band first, read the same way.
async function testShader(browser, url) {
    const M = await loadModule();
    const chelsea = readPngFile(path.join(samples, 'chelsea.png'));
    const pictures = [['chelsea.png', chelsea.rgba, chelsea.width, chelsea.height],
        ['the rock face', rockFace(320, 180), 320, 180]];
    const optionSets = [{offset: true}, {offset: false, pairing: 'direct'},
        {offset: true, basis: 'covariance', space: 'ycbcr', keep: [1], clip: [0.01, 0.01]},
        {target_mean: [120, 128, 130], target_sigma: [50, 50, 50]},
        {space: 'yiq', clip: [0.02, 0.005]}, {space: 'lab', keep: [1]}];
    const page = await newPage(browser, url);
    for (const [name, rgba, width, height] of pictures) {
        const p = M._malloc(rgba.length);
        const engine = (fn, text) => {
            M.HEAPU8.set(rgba, p);
            if (M.ccall(fn, 'number', ['number', 'number', 'number', 'string'],
                [p, width, height, text]) !== 0)
                throw new Error(M.UTF8ToString(M._vt_web_message()));
            return M.HEAPU8.slice(p, p + rgba.length);
        };
        const cases = [];
        for (const options of optionSets) {
            const exact = engine('vt_web_stretch', JSON.stringify(options));
            const transform = M.UTF8ToString(M._vt_web_transform());
            cases.push({what: `${name} ${JSON.stringify(options)}`, exact, transform});
            const doc = JSON.parse(transform);
            if (doc.pairing === 'plugin') {
                check(doc.version >= 3, 'the plug-in pairing writes version 3');
                const m = doc.matrix;
                const old = {...doc, version: 2, matrix: [2, 1, 0].map((r) =>
                    [m[r][2], m[r][1], m[r][0], m[r][3]])};
                const text = JSON.stringify(old);
                const applied = engine('vt_web_apply', text);
                check(applied.every((v, i) => v === exact[i]),
                    `${name}: the version-2 matrix reversed by hand gives the engine's bytes`);
                cases.push({what: `${name} version 2 ${JSON.stringify(options)}`, exact,
                    transform: text});
            }
        }
        M._free(p);
        const shown = await page.evaluate(async ({data, width, height, transforms}) => {
            const {GlStretch, affineMap} = await import('./live-gl.js');
            let gl;
            try {
                gl = new GlStretch(document.createElement('canvas'));
            } catch (e) {
                return null;
            }
            const pixels = Uint8ClampedArray.from(atob(data), (c) => c.charCodeAt(0));
            const image = new ImageData(pixels, width, height);
            return transforms.map((t) => {
                const map = affineMap(t);
                if (!map)
                    return null;
                gl.setMap(map);
                gl.draw(image, width, height);
                return Array.from(gl.read());
            });
        }, {data: Buffer.from(rgba).toString('base64'), width, height,
            transforms: cases.map((c) => c.transform)});
        if (!shown) {
            console.log('note: this Chromium has no WebGL 2; the shader is not tested');
            break;
        }
        cases.forEach(({what, exact, transform}, k) => {
            if (JSON.parse(transform).space === 'lab') {
                check(shown[k] === null, `${what}: lab is no affine map, the engine applies it`);
                return;
            }
            let differ = 0;
            let largest = 0;
            for (let i = 0; i < exact.length; ++i)
                if ((i & 3) !== 3 && shown[k][i] !== exact[i]) {
                    ++differ;
                    largest = Math.max(largest, Math.abs(shown[k][i] - exact[i]));
                }
            // Single precision may put a sum within about 1e-4 of a half on the other side.
            check(largest <= 1 && differ <= (exact.length * 3) / 4 / 1000,
                `${what}: the shader differs from the engine in ${differ} samples, by up to ` +
                `${largest}`);
        });
    }
    await closePage(page, 'the shader');
}

// The camera's picture as shown (or, with `raw`, while C holds the original), away from the
// tags on it.
async function cameraPixels(page, raw) {
    if (raw) {
        await page.keyboard.down('c');
        await page.waitForFunction(() => document.getElementById('camera').classList
            .contains('comparing'));
    }
    await page.waitForTimeout(200);
    const box = await page.locator('#camera').boundingBox();
    const png = await page.screenshot({clip: {x: box.x + 40, y: box.y + 50,
        width: box.width - 80, height: box.height - 70}});
    if (raw)
        await page.keyboard.up('c');
    return readPng(png).rgba;
}

const cameraShows = (page, frames) => page.waitForFunction((n) => {
    const panel = document.getElementById('camera');
    return panel.dataset.path && Number(panel.dataset.shown) >= n;
}, frames, {timeout: 60000});

// 2. The live view through each path, switching cameras, the shutter.
async function testCamera(browser, url) {
    for (const live of ['engine', 'gl']) {
        const page = await newPage(browser, `${url}?live=${live}`);
        await page.click('#camera-open');
        await cameraShows(page, 5);
        const panel = await page.evaluate(() => ({...document.getElementById('camera').dataset}));
        if (live === 'gl' && panel.path !== 'gl') {
            console.log('note: this Chromium has no WebGL 2; the live view took the engine');
            await closePage(page, 'the camera without WebGL');
            continue;
        }
        check(panel.path === live, `?live=${live} maps the frames there, not ${panel.path}`);
        if (screenshot && live === 'engine') {
            await page.waitForFunction(() =>
                /^\d+ frames\/s/.test(document.getElementById('camera-rate').textContent));
            await page.evaluate(() => document.activeElement.blur());
            await page.screenshot({path: screenshot, type: 'jpeg', quality: 60});
            console.log(`saved ${screenshot}`);
        }
        const shown = bandStatistics(await cameraPixels(page, false));
        const raw = bandStatistics(await cameraPixels(page, true));
        const text = (s) => `deviations ${s.sigma.map(Math.round).join(', ')}, correlations ` +
            s.correlation.map((c) => c.toFixed(2)).join(', ');
        const sum = (v) => v.reduce((a, b) => a + b);
        check(raw.correlation.every((c) => c > 0.9) &&
            shown.correlation.every((c) => Math.abs(c) < 0.6) &&
            sum(shown.sigma) > 2 * sum(raw.sigma),
        `${live}: the live view is stretched: raw ${text(raw)}; shown ${text(shown)}`);
        await page.waitForFunction(() =>
            /^\d+ frames\/s/.test(document.getElementById('camera-rate').textContent));

        if (live === 'engine') {
            // The shutter opens the still in the normal view, stretched by the engine.
            await page.click('#camera-shutter');
            await page.waitForFunction(() =>
                /^veltrane stretch camera-\S+\.(png|jpg) /.test(
                    document.getElementById('command').textContent) &&
                document.getElementById('status').classList.contains('done'));
            check(await page.isHidden('#camera') &&
                await page.evaluate(() => !document.getElementById('view').classList
                    .contains('empty')) &&
                (await page.textContent('#status')).includes('(1280 × 720)'),
            `the shutter opens a 1280 x 720 still: ${await page.textContent('#status')}`);
        }
        await closePage(page, `the camera through the ${live}`);
    }
}

// A second camera (of two), chosen in the list: its frames come instead.
async function testSwitch(browser, url) {
    const page = await newPage(browser, url);
    await page.click('#camera-open');
    await cameraShows(page, 3);
    await page.waitForSelector('#camera-choice-field:not([hidden])');
    const [first, second] = await page.evaluate(() =>
        [...document.querySelectorAll('#camera-choice option')].map((o) => o.value));
    const using = () => page.evaluate(() => document.getElementById('camera-video').srcObject
        .getVideoTracks()[0].getSettings().deviceId);
    check(await using() === first && second, 'the camera in use is the first of two listed');
    await page.selectOption('#camera-choice', second);
    await page.waitForFunction((id) => {
        const video = document.getElementById('camera-video');
        return video.srcObject && video.srcObject.getVideoTracks()[0].getSettings().deviceId === id;
    }, second);
    await cameraShows(page, 3);
    await closePage(page, 'switching cameras');
}

// 3. What the user reads when the camera cannot start.
async function refusal(browser, url, expected, what) {
    const page = await newPage(browser, url);
    await page.click('#camera-open');
    await page.waitForSelector('#camera-message:not([hidden])');
    const message = await page.textContent('#camera-message');
    check(message.includes(expected), `${what}: "${message}"`);
    check(await page.isDisabled('#camera-shutter'), `${what}: no shutter`);
    await page.click('#camera-close');
    check(await page.isVisible('#view'), `${what}: closing the camera brings the view back`);
    await closePage(page, what);
}

// 4. Choosing by eye, on a phone's screen: the view is smaller than chelsea.png, so the
// previews are of a smaller copy.
async function testTune(browser, url) {
    const page = await newPage(browser, url, {width: 390, height: 844});
    const chelsea = path.join(samples, 'chelsea.png');
    const waitDone = (args) => page.waitForFunction((text) =>
        document.getElementById('command').textContent === text &&
        document.getElementById('progress').hidden &&
        document.getElementById('status').classList.contains('done'),
    `veltrane stretch chelsea.png chelsea-stretched.png ${args}`);
    const reference = (args) => {
        const file = path.join(tmp, `ref-${args.replace(/\W+/g, '_')}.png`);
        run(veltrane, ['stretch', chelsea, file, ...args.split(' ')]);
        return readPngFile(file);
    };
    await page.setInputFiles('#file', chelsea);
    await waitDone('--offset');

    // The histograms: both halves drawn.
    const lit = await page.evaluate(() => {
        const c = document.getElementById('histogram');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        const count = [0, 0];
        for (let i = 0; i < d.length; i += 4)
            if (d[i] + d[i + 1] + d[i + 2] > 200)
                ++count[(i >> 2) / c.width < c.height / 2 ? 0 : 1];
        return count;
    });
    check(lit[0] > 50 && lit[1] > 50, `the histograms are drawn: ${lit.join(' and ')} bright pixels`);

    // The values under the pointer: chelsea's pixel, and the command line's.
    await page.locator('#view').scrollIntoViewIfNeeded();
    await page.click('#zoom-fit');
    const box = await page.locator('#view').boundingBox();
    const scale = Math.min(box.width / 451, box.height / 300);
    const at = (x, y) => [box.x + (box.width - 451 * scale) / 2 + (x + 0.5) * scale,
        box.y + (box.height - 300 * scale) / 2 + (y + 0.5) * scale];
    await page.mouse.move(...at(200, 150));
    await page.waitForFunction(() =>
        /^x \d+, y \d+:/.test(document.getElementById('readout').textContent));
    const readout = await page.textContent('#readout');
    const m = /^x (\d+), y (\d+): before (\d+) (\d+) (\d+), after (\d+) (\d+) (\d+)$/.exec(readout);
    if (check(m, `the readout reads "${readout}"`)) {
        const [x, y] = [Number(m[1]), Number(m[2])];
        const i = 4 * (y * 451 + x);
        const original = readPngFile(chelsea).rgba;
        const after = reference('--offset').rgba;
        check(Math.abs(x - 200) <= 1 && Math.abs(y - 150) <= 1 &&
            [3, 4, 5].every((k, b) => Number(m[k]) === original[i + b]) &&
            [6, 7, 8].every((k, b) => Number(m[k]) === after[i + b]),
        `the readout "${readout}" holds chelsea.png's pixel and veltrane stretch's`);
    }

    // Hold to compare: the original on the whole view, by key and by button.
    const middle = async () => {
        await page.waitForTimeout(100);
        return readPng(await page.screenshot({clip: {x: box.x + box.width * 0.25,
            y: box.y + box.height * 0.25, width: box.width / 2, height: box.height / 2}})).rgba;
    };
    const same = (a, b) => a.length === b.length && a.every((v, i) => v === b[i]);
    await page.focus('#divider');
    await page.keyboard.press('End');
    const before = await middle();
    await page.keyboard.press('Home');
    const stretched = await middle();
    await page.keyboard.down('c');
    const held = await middle();
    await page.keyboard.up('c');
    check(!same(before, stretched) && same(held, before) && same(await middle(), stretched),
        'holding C shows the original, letting go the result');
    const button = page.locator('#compare');
    const b = await button.boundingBox();
    await page.mouse.move(b.x + b.width / 2, b.y + b.height / 2);
    await page.mouse.down();
    check(await button.getAttribute('aria-pressed') === 'true' && same(await middle(), before),
        'holding the compare button shows the original');
    await page.mouse.up();
    check(await button.getAttribute('aria-pressed') === 'false', 'letting go of the button');

    // The saturation slider: dragged, a preview of a smaller copy and the command line in
    // step; let go, the exact stretch of what the command line says.
    const slider = page.locator('#clip-slider');
    await slider.scrollIntoViewIfNeeded();
    const s = await slider.boundingBox();
    await page.mouse.move(s.x + 8, s.y + s.height / 2);
    await page.mouse.down();
    await page.mouse.move(s.x + s.width * 0.2, s.y + s.height / 2, {steps: 4});
    await page.mouse.move(s.x + s.width * 0.3, s.y + s.height / 2, {steps: 4});
    await page.waitForFunction(() =>
        document.getElementById('status').textContent.startsWith('Preview at'));
    // On a phone the slider lies below the picture, which floats into sight while it is held.
    check(await page.evaluate(() => {
        const view = document.getElementById('view');
        const r = view.getBoundingClientRect();
        return view.classList.contains('floating') && r.top >= 0 && r.bottom <= innerHeight &&
            r.height > 200;
    }), 'the picture floats into sight while the slider is held');
    const clip = await page.inputValue('#clip');
    check(Number(clip) > 0.01 && Number(clip) < 0.05 &&
        (await page.textContent('#command')).endsWith(`--clip ${clip}`) &&
        /^Preview at \d+ × \d+/.test(await page.textContent('#status')) &&
        !(await page.textContent('#status')).startsWith('Preview at 451 × 300'),
    `while dragged: --clip ${clip}, "${await page.textContent('#status')}"`);
    await page.mouse.up();
    const released = await page.inputValue('#clip');
    const clipArgs = `--offset --clip ${released}`;
    await waitDone(clipArgs);
    await page.waitForFunction(() =>
        !document.getElementById('view').classList.contains('floating'));
    const [file] = await Promise.all([page.waitForEvent('download'), page.click('#save-png')]);
    const saved = path.join(tmp, 'saved.png');
    await file.saveAs(saved);
    const want = reference(clipArgs).rgba;
    check(same(readPngFile(saved).rgba, want),
        `let go, the page's PNG equals veltrane stretch ${clipArgs}`);

    // The target's sliders wait for the target method, then step with the arrow keys.
    check(await page.isDisabled('#target-sigma-slider'), 'the target slider waits for its method');
    await page.check('input[name=method][value=target]');
    await page.waitForFunction(() => !document.getElementById('target-sigma-slider').disabled);
    await page.focus('#target-sigma-slider');
    await page.keyboard.press('ArrowRight');
    // (waitDone fails the test unless the page gets there.)
    await waitDone(`--target-sigma 51 --clip ${released}`);
    await closePage(page, 'choosing by eye');
}

const main = async () => {
    const {chromium} = loadPlaywright();
    if (!fs.existsSync(path.join(pageDir, 'veltrane.wasm')))
        throw new Error(`${pageDir} has no veltrane.wasm: build the web page first (--page DIR)`);
    const server = await serve(pageDir);
    const y4m = writeFakeCamera(path.join(tmp, 'rock.y4m'), {frames: 4});
    try {
        const browser = await launch(chromium, fakeCamera(y4m, 2));
        try {
            await testShader(browser, server.url);
            await testCamera(browser, server.url);
            await testTune(browser, server.url);
        } finally {
            await browser.close();
        }
        // Refused, on a page that is not secure (an address other than this machine's own
        // names, over http), and without any camera.
        const port = new URL(server.url).port;
        const refusing = await launch(chromium, ['--use-fake-device-for-media-stream',
            '--use-fake-ui-for-media-stream=deny', '--host-resolver-rules=MAP field.test 127.0.0.1']);
        try {
            await refusal(refusing, server.url, 'it was refused', 'a refused camera');
            await refusal(refusing, `http://field.test:${port}/`, 'only on a secure page',
                'an insecure page');
        } finally {
            await refusing.close();
        }
        const two = await launch(chromium, fakeCamera(null, 2));
        try {
            await testSwitch(two, server.url);
        } finally {
            await two.close();
        }
        const bare = await launch(chromium);
        try {
            await refusal(bare, server.url, 'No camera was found', 'no camera');
        } finally {
            await bare.close();
        }
    } finally {
        await server.close();
    }
};

finish(main(), () => fs.rmSync(tmp, {recursive: true, force: true}));
