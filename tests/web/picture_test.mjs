#!/usr/bin/env node
// The page's pictures in headless Chromium: a cut-out's every sample against `veltrane
// stretch` in each of the page's ways to decode, photographs stored turned (the page upright,
// its command line in the stored pixels), images larger than the browser holds, the small
// faults: two images opened at once, a 16-bit PNG, the engine's file missing, and saving
// while the engine works. The test images
// are made with NumPy and Pillow (pictures.py), which also turn and map them.
//
//   node tests/web/picture_test.mjs [--page DIR] [--veltrane PATH] [--python PYTHON]
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {readPng} from './png.mjs';
import {serve} from './server.mjs';
import {check, chromiumPath, difference, drop, finish, loadPlaywright, pageDir, python,
    readPngFile, run, veltrane, waitStatus} from './harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'vt-pictures-'));
const pictures = (...args) => run(python, [path.join(here, 'pictures.py'), ...args]).trim();
const picture = (name) => path.join(tmp, name);

// The page's ways to read an image, each forced by taking away what the ones before it use.
const WAYS = {
    webcodecs: null,
    webgl: () => {
        delete window.ImageDecoder;
    },
    canvas: () => {
        delete window.ImageDecoder;
        const get = OffscreenCanvas.prototype.getContext;
        OffscreenCanvas.prototype.getContext = function (kind, ...rest) {
            return kind === 'webgl2' ? null : get.call(this, kind, ...rest);
        };
    },
};

async function openPage(browser, url, way = 'webcodecs', options = {}) {
    const context = await browser.newContext({acceptDownloads: true, ...options});
    if (WAYS[way])
        await context.addInitScript(WAYS[way]);
    const page = await context.newPage();
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('version').textContent !== '');
    return {context, page};
}

let saves = 0;

// Opens `file` through the picker, waits for the page's result with the command line
// `command` (or any), and saves it.
async function stretched(page, file, command) {
    const name = path.basename(file);
    await page.setInputFiles('#file', file);
    await page.waitForFunction(([n, c]) => {
        const status = document.getElementById('status');
        return status.classList.contains('done') && status.textContent.startsWith(`Stretched ${n} `) &&
            document.getElementById('progress').hidden &&
            (!c || document.getElementById('command').textContent === c);
    }, [name, command]);
    const status = await page.textContent('#status');
    const note = await page.isVisible('#command-note') ? await page.textContent('#command-note')
        : '';
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#save-png')]);
    const saved = path.join(tmp, `saved-${++saves}-${download.suggestedFilename()}`);
    await download.saveAs(saved);
    return {saved, status, note};
}

function reference(file, args) {
    const out = path.join(tmp, `ref-${++saves}.png`);
    run(veltrane, ['stretch', file, out, ...args]);
    return out;
}

// 1. A cut-out: alpha 0 (random colours under it), a feathered rim of every alpha, and 255.
async function transparency(browser, url) {
    const file = picture('cutout.png');
    const ref = readPngFile(reference(file, ['--offset']));
    for (const way of Object.keys(WAYS)) {
        const {context, page} = await openPage(browser, url, way);
        const {saved, status} = await stretched(page, file);
        const throughCanvas = status.includes('read through its canvas');
        if (way === 'canvas') {
            check(throughCanvas && status.includes('transparent pixels'),
                `read through a canvas, the page says so: "${status}"`);
        } else {
            const d = difference(readPngFile(saved), ref);
            check(d.count === 0, `the cut-out read by ${way}: ${d.count} samples differ from ` +
                `veltrane stretch, by up to ${d.largest}, the first at ${d.first}`);
            check(!throughCanvas, `read by ${way}, the page claims a canvas: "${status}"`);
        }
        await context.close();
    }
}

// 3. Photographs stored turned: the page works upright, its command line in stored pixels.
async function orientation(browser, url) {
    const upright = [3, 5, 10, 7]; // a rectangle inside the picture either way up
    for (const way of ['webcodecs', 'webgl']) {
        const {context, page} = await openPage(browser, url, way);
        await page.fill('#sample', upright.join(','));
        for (const name of ['1', '2', '3', '4', '5', '6', '7', '8', '3.jpg', '6.jpg']) {
            const file = picture(`turned-${name.includes('.') ? name : name + '.png'}`);
            const o = Number(name[0]);
            const base = path.basename(file).replace(/\.[^.]*$/, '');
            const stored = pictures('stored', file, upright.join(','));
            const command = `veltrane stretch ${path.basename(file)} ${base}-stretched.png ` +
                `--offset --sample ${stored}`;
            const {saved, note} = await stretched(page, file, command);
            check(o === 1 ? note === '' : note.includes(`orientation ${o}`),
                `${way}, ${path.basename(file)}: the command's note reads "${note}"`);
            const ref = reference(file, ['--offset', '--sample', stored]);
            if (file.endsWith('.png')) {
                // The command line's result keeps the orientation: Pillow turns it upright.
                const turned = path.join(tmp, `up-${saves}.png`);
                pictures('upright', ref, turned);
                const d = difference(readPngFile(saved), readPngFile(turned));
                check(d.count === 0, `${way}, ${path.basename(file)}: ${d.count} samples differ ` +
                    `from veltrane stretch's result turned upright, the first at ${d.first}`);
            }
        }
        await context.close();
    }
}

// 2. Images larger than the browser's canvases or the page's memory: refused with the limit,
// before decoding, never "damaged" nor an empty result.
async function sizes(browser, url) {
    const refused = async (page, name, ...expected) => {
        await page.setInputFiles('#file', picture(name));
        await page.waitForFunction(() => document.getElementById('status').classList
            .contains('error'));
        const status = await page.textContent('#status');
        check(expected.every((e) => status.includes(e)) && !status.includes('damaged'),
            `${name}: "${status}" should say ${expected.join(', ')}`);
        check(await page.evaluate(() => document.getElementById('view').classList
            .contains('empty')), `${name}: no picture on show`);
    };
    let {context, page} = await openPage(browser, url);
    // The limits the page knows are this browser's: canvases at them keep their pixels, and
    // one a row or a column beyond them are left blank.
    const limits = await page.evaluate(async () => {
        const {knownCanvasLimits} = await import('./decode.js');
        const keeps = (w, h) => {
            const canvas = new OffscreenCanvas(w, h);
            const ctx = canvas.getContext('2d', {willReadFrequently: true});
            ctx.fillStyle = '#fff';
            ctx.fillRect(w - 1, h - 1, 1, 1);
            const kept = ctx.getImageData(w - 1, h - 1, 1, 1).data[3] === 255;
            canvas.width = canvas.height = 1;
            return kept;
        };
        const {side, area} = knownCanvasLimits();
        const rows = Math.floor(area / side);
        return {side, area, at: keeps(side, rows) && keeps(1, side),
            beyond: [keeps(side, rows + 1), keeps(side + 1, 1), keeps(16384, 16385)]};
    });
    check(limits.at && limits.beyond.every((k) => !k),
        `Chromium's canvases against the page's limits: ${JSON.stringify(limits)}`);
    await refused(page, 'over-canvas.png', '16500 × 16500', '272 megapixels',
        'at most 268 megapixels');
    await refused(page, 'huge.png', '30000 × 30000', '900 megapixels', '3434 MB of memory');
    await context.close();
    // A browser whose limits the page does not know: its canvas is probed at the image's size.
    ({context, page} = await openPage(browser, url, 'webcodecs', {userAgent:
        'Mozilla/5.0 (X11; Linux x86_64; rv:140.0) Gecko/20100101 Firefox/140.0'}));
    await refused(page, 'over-canvas.png', '16500 × 16500', 'leaves a canvas of that size blank');
    await context.close();
}

// 4. Two images opened at once, a 16-bit PNG, the engine's file missing.
async function smallFaults(browser, url) {
    let {context, page} = await openPage(browser, url);
    // The slow image first: it finishes decoding after the quick one, which must stay.
    await drop(page, fs.readFileSync(picture('slow.png')), 'slow.png', 'image/png');
    await drop(page, fs.readFileSync(picture('quick.png')), 'quick.png', 'image/png');
    await waitStatus(page, 'Stretched ', 'done');
    await page.waitForTimeout(2000);
    const status = await page.textContent('#status');
    check(status.startsWith('Stretched quick.png') &&
        (await page.textContent('#command')).includes('quick.png'),
        `opened slow.png then quick.png at once, the page shows "${status}"`);

    const {status: deep} = await stretched(page, picture('deep.png'));
    check(deep.includes('16-bit'), `a 16-bit PNG: the page says "${deep}"`);
    await context.close();

    context = await browser.newContext();
    page = await context.newPage();
    await page.route('**/veltrane.wasm', (route) => route.fulfill({status: 404, body: ''}));
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('status').classList
        .contains('error'));
    const missing = await page.textContent('#status');
    check(missing.includes('could not be loaded') &&
        !/Aborted|RuntimeError|fetch|wasm|instantiate/i.test(missing),
        `the engine's file missing, the page says "${missing}"`);
    await context.close();
}

// 5. A larger image: the result's bytes go to the engine with each request and come back
// (handed over, not copied), so a save begun while they are away waits for them and writes
// the newest result; and the view draws the image's own bytes when close to it.
async function savingWhileWorking(browser, url) {
    const file = picture('slow.png');
    const {context, page} = await openPage(browser, url);
    await page.setInputFiles('#file', file);
    await waitStatus(page, 'Stretched slow.png', 'done');
    const [download] = await Promise.all([page.waitForEvent('download'), page.evaluate(() => {
        const field = document.getElementById('clip');
        field.value = '0.05';
        field.dispatchEvent(new Event('change', {bubbles: true}));
        // The request goes out at the next task, the save a moment later.
        setTimeout(() => document.getElementById('save-png').click(), 20);
    })]);
    const saved = path.join(tmp, `while-working-${++saves}.png`);
    await download.saveAs(saved);
    const d = difference(readPngFile(saved),
        readPngFile(reference(file, ['--offset', '--clip', '0.05'])));
    check(d.count === 0, `saved while the engine had the result: ${d.count} samples differ ` +
        `from veltrane stretch --offset --clip 0.05, the first at ${d.first}`);

    // Closer than its overview, the view draws the image's own bytes, tile by tile: under the
    // pointer, the pixel the readout reads from them.
    await page.focus('#view');
    await page.keyboard.press('1');
    for (let i = 0; i < 6; ++i)
        await page.keyboard.press('+');
    const box = await page.locator('#view').boundingBox();
    for (const [fx, fy] of [[0.1, 0.2], [0.3, 0.55], [0.45, 0.85]]) {
        const x = Math.floor(box.x + box.width * fx);
        const y = Math.floor(box.y + box.height * fy);
        await page.mouse.move(x + 0.5, y + 0.5);
        await page.waitForTimeout(100);
        const readout = await page.textContent('#readout');
        const m = /before (\d+) (\d+) (\d+)/.exec(readout);
        const shown = readPng(await page.screenshot({clip: {x, y, width: 1, height: 1}})).rgba;
        check(m && [1, 2, 3].every((k, b) => Math.abs(Number(m[k]) - shown[b]) <= 1),
            `the view shows ${shown.slice(0, 3).join(' ')} where the readout says "${readout}"`);
    }
    await context.close();
}

const main = async () => {
    pictures('make', tmp);
    const {chromium} = loadPlaywright();
    const server = await serve(pageDir);
    const browser = await chromium.launch({executablePath: chromiumPath, args: ['--no-sandbox']});
    try {
        await transparency(browser, server.url);
        await orientation(browser, server.url);
        await sizes(browser, server.url);
        await smallFaults(browser, server.url);
        await savingWhileWorking(browser, server.url);
    } finally {
        await browser.close();
        await server.close();
    }
};

finish(main(), () => fs.rmSync(tmp, {recursive: true, force: true}));
