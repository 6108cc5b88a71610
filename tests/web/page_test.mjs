#!/usr/bin/env node
// The web page in a headless browser: opens the samples (by drop and by the file picker),
// sets the controls through the page, saves the results and compares their pixels with what
// `veltrane stretch` and `veltrane apply` write for the command line the page shows.
//
//   node tests/web/page_test.mjs [--page DIR|URL] [--veltrane PATH] [--samples DIR]
//
// Defaults: build/web/page, build/release/bin/veltrane, samples/ (or VT_WEB_PAGE,
// VT_VELTRANE, VT_SAMPLES). The page is served by `veltrane serve` when that program has
// the command, else by a small server here with the same policy header. VT_WEB_SCREENSHOT=FILE
// also saves a 1280 x 800 picture of the page; VT_CHROMIUM names the browser
// (/usr/bin/chromium); playwright-core comes from web/node_modules (npm ci in web/) or
// VT_NODE_MODULES.
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import {readPng} from './png.mjs';
import {serve} from './server.mjs';
import {check, chromiumPath, difference, drop, finish, loadPlaywright, option, repo, run as runProgram,
    veltrane} from './harness.mjs';

const pageArg = option('--page', 'VT_WEB_PAGE', path.join(repo, 'build', 'web', 'page'));
const samples = path.resolve(option('--samples', 'VT_SAMPLES', path.join(repo, 'samples')));
const screenshot = process.env.VT_WEB_SCREENSHOT;
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'vt-web-'));

// `veltrane serve` when the program has it, else the test's own server.
async function startServer() {
    if (/^https?:\/\//.test(pageArg))
        return {url: pageArg, close: async () => {}, by: 'the given address'};
    const root = path.resolve(pageArg);
    if (!fs.existsSync(path.join(root, 'veltrane.wasm')))
        throw new Error(`${root} has no veltrane.wasm: build the web page first (--page DIR)`);
    if (fs.existsSync(veltrane)) {
        const child = spawn(veltrane, ['serve', '--port', '0', '--root', root],
            {stdio: ['ignore', 'pipe', 'pipe']});
        const url = await new Promise((resolve) => {
            const lines = readline.createInterface({input: child.stdout});
            lines.once('line', (line) => {
                const m = /Serving the page at (http:\/\/\S+)/.exec(line);
                resolve(m ? m[1] : null);
            });
            child.once('exit', () => resolve(null));
            child.once('error', () => resolve(null));
        });
        if (url)
            return {url, close: async () => child.kill(), by: 'veltrane serve'};
        child.kill();
    }
    const own = await serve(root);
    return {...own, by: 'the test’s own server'};
}

const run = (args) => runProgram(veltrane, args);

function samePixels(fileA, fileB, what) {
    const d = difference(readPng(fs.readFileSync(fileA)), readPng(fs.readFileSync(fileB)));
    return check(d.count === 0, `${what}: ${d.count} samples differ, the first at ${d.first}`);
}

const main = async () => {
    const {chromium} = loadPlaywright();
    const server = await startServer();
    console.log(`page at ${server.url} (${server.by})`);
    const browser = await chromium.launch({
        executablePath: chromiumPath,
        args: ['--no-sandbox'],
    });
    try {
        await testPage(browser, server.url);
    } finally {
        await browser.close();
        await server.close();
    }
};

async function testPage(browser, url) {
    const context = await browser.newContext({viewport: {width: 1280, height: 800},
        acceptDownloads: true});
    const page = await context.newPage();
    const problems = [];
    page.on('console', (m) => {
        if (m.type() === 'error')
            problems.push(m.text());
    });
    page.on('pageerror', (e) => problems.push(e.message));

    // 1. The page loads and its engine starts, without a console error.
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('version').textContent !== '');
    check(problems.length === 0, `console errors on load: ${problems.join(' | ')}`);

    const command = () => page.textContent('#command');
    // Waits until the page shows the result of `args` for image `name`.
    const settle = async (name, args) => {
        const base = name.replace(/\.[^.]*$/, '');
        const expected = `veltrane stretch ${name} ${base}-stretched.png ${args}`;
        await waitCommand(expected);
        return expected;
    };
    const waitCommand = (expected) => page.waitForFunction((text) =>
        document.getElementById('command').textContent === text &&
        document.getElementById('progress').hidden &&
        document.getElementById('status').classList.contains('done'), expected);
    const download = async (button, name) => {
        const [file] = await Promise.all([page.waitForEvent('download'), page.click(button)]);
        check(file.suggestedFilename() === name,
            `${button} saves ${file.suggestedFilename()}, not ${name}`);
        const to = path.join(tmp, `${Date.now()}-${name}`);
        await file.saveAs(to);
        return to;
    };
    let cases = 0;
    // Saves the page's PNG of image `name` and compares it with `veltrane stretch input
    // ref.png args`.
    const compare = async (input, args, name = path.basename(input)) => {
        const saved = await download('#save-png', name.replace(/\.[^.]*$/, '') + '-stretched.png');
        const ref = path.join(tmp, `ref-${++cases}.png`);
        run(['stretch', input, ref, ...args.split(' ')]);
        samePixels(saved, ref, `${name} ${args}: the page against veltrane stretch`);
        return saved;
    };

    // 2. chelsea.png dropped on the view: a DataTransfer built in the page from its bytes.
    const chelsea = path.join(samples, 'chelsea.png');
    await drop(page, fs.readFileSync(chelsea), 'chelsea.png', 'image/png');

    // 3 and 4. Settings through the page; each saved PNG against the command line it shows.
    await settle('chelsea.png', '--offset');
    await compare(chelsea, '--offset');

    await page.check('input[name=method][value=no-offset]');
    await settle('chelsea.png', '--no-offset');
    await compare(chelsea, '--no-offset');

    await page.selectOption('#basis', 'covariance');
    await page.selectOption('#space', 'ycbcr');
    await page.fill('#keep', '1');
    await page.fill('#clip', '0.01');
    const mixed = '--no-offset --basis covariance --space ycbcr --keep 1 --clip 0.01';
    const mixedCommand = await settle('chelsea.png', mixed);
    const mixedPng = await compare(chelsea, mixed);

    // The transform saved, loaded back and applied gives the same pixels, and veltrane
    // apply reads the file the page saved.
    const transform = await download('#save-transform', 'chelsea.json');
    const transformFile = path.join(tmp, 'chelsea.json');
    fs.copyFileSync(transform, transformFile);
    await page.setInputFiles('#transform-file', transformFile);
    await waitCommand('veltrane apply chelsea.png chelsea-stretched.png --transform chelsea.json');
    check(await page.isVisible('#transform-notice') &&
        await page.evaluate(() => document.getElementById('engine').disabled),
        'a loaded transform shows its notice and holds the controls');
    const applied = await download('#save-png', 'chelsea-stretched.png');
    samePixels(applied, mixedPng, 'the loaded transform against the stretch that saved it');
    const refApplied = path.join(tmp, 'ref-apply.png');
    run(['apply', chelsea, refApplied, '--transform', transformFile]);
    samePixels(applied, refApplied, 'the loaded transform against veltrane apply');
    await page.click('#transform-stop');
    await waitCommand(mixedCommand);

    // Files the page cannot use: a clear message, and the result stays.
    const refused = async (what, message, act) => {
        await act();
        await page.waitForFunction((m) => document.getElementById('status').textContent.includes(m),
            message);
        check(await command() === mixedCommand &&
            !await page.evaluate(() => document.getElementById('engine').disabled),
            `${what}: the result and the controls stay`);
    };
    await refused('a damaged image', 'could not be decoded',
        () => drop(page, Buffer.from('no picture here'), 'notes.png', 'image/png'));
    await refused('a JSON file of another kind', 'not a saved transform',
        () => page.setInputFiles('#transform-file', {name: 'other.json',
            mimeType: 'application/json', buffer: Buffer.from('{"matrix": []}')}));
    const wide = {...JSON.parse(fs.readFileSync(transformFile, 'utf8')), type: 'uint16'};
    await refused('a transform of 16-bit images', 'cannot be applied',
        () => page.setInputFiles('#transform-file', {name: 'wide.json',
            mimeType: 'application/json', buffer: Buffer.from(JSON.stringify(wide))}));

    // Fields the engine cannot take are marked, and the result stays as it was.
    for (const [field, text, message] of [['#clip', '0.6,0.5', 'below 1'],
        ['#keep', '1,2,3', 'nothing to stretch'], ['#sample', '400,10,100,10', 'inside the image'],
        ['#keep', 'x', 'band numbers']]) {
        await page.fill(field, text);
        await page.waitForFunction((id) =>
            document.getElementById(`${id}-error`).textContent !== '', field.slice(1));
        const error = await page.textContent(`${field}-error`);
        check(error.includes(message) && await page.getAttribute(field, 'aria-invalid') === 'true',
            `${field} '${text}' shows "${error}"`);
        check(await command() === mixedCommand, `${field} '${text}' leaves the command as it was`);
        await page.fill(field, field === '#keep' ? '1' : field === '#clip' ? '0.01' : '');
        await page.waitForFunction((id) =>
            document.getElementById(`${id}-error`).textContent === '', field.slice(1));
    }

    // The target method: choosing it starts from a deviation of 50.
    await page.click('#reset');
    await settle('chelsea.png', '--offset');
    await page.check('input[name=method][value=target]');
    check(await page.inputValue('#target-sigma') === '50', 'the target starts from sigma 50');
    await page.fill('#target-mean', '120, 128,130');
    const target = '--target-mean 120,128,130 --target-sigma 50';
    await settle('chelsea.png', target);
    await compare(chelsea, target);

    // A sample rectangle drawn with the mouse, the bands paired directly.
    await page.click('#reset');
    await page.selectOption('#pairing', 'direct');
    await settle('chelsea.png', '--offset --pairing direct');
    await page.click('#zoom-fit');
    await page.click('#sample-mode');
    await page.evaluate(() => window.scrollTo(0, 0));
    const box = await page.locator('#view').boundingBox();
    const scale = Math.min(box.width / 451, box.height / 300);
    const at = (x, y) => [box.x + (box.width - 451 * scale) / 2 + x * scale,
        box.y + (box.height - 300 * scale) / 2 + y * scale];
    await page.mouse.move(...at(130.5, 85.5));
    await page.mouse.down();
    await page.mouse.move(...at(250, 120), {steps: 4});
    await page.mouse.move(...at(349.5, 164.5), {steps: 4});
    await page.mouse.up();
    const drawn = (await page.inputValue('#sample')).split(',').map(Number);
    check(drawn.length === 4 && [130, 85, 220, 80].every((v, i) => Math.abs(drawn[i] - v) <= 2),
        `the rectangle dragged over 130,85 to 350,165 reads ${drawn.join(',')}`);
    check(await page.getAttribute('#sample-mode', 'aria-pressed') === 'false',
        'sample mode ends with the rectangle');
    const sampled = `--offset --pairing direct --sample ${drawn.join(',')}`;
    await settle('chelsea.png', sampled);
    await compare(chelsea, sampled);

    // 5. A JPEG through the file picker. The browser's decoder may differ from libvips' (an
    // identity transform through veltrane apply gives the latter's pixels); then the page's
    // results are compared with veltrane on the browser's own decoded pixels.
    const rocket = path.join(samples, 'rocket.jpg');
    const browserRocket = path.join(tmp, 'rocket-browser.png');
    fs.writeFileSync(browserRocket, Buffer.from(await page.evaluate(async (data) => {
        const bytes = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
        const bitmap = await createImageBitmap(new Blob([bytes]),
            {colorSpaceConversion: 'none', premultiplyAlpha: 'none'});
        const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
        canvas.getContext('2d').drawImage(bitmap, 0, 0);
        const png = new Uint8Array(await (await canvas.convertToBlob({type: 'image/png'}))
            .arrayBuffer());
        let text = '';
        for (let i = 0; i < png.length; i += 0x8000)
            text += String.fromCharCode(...png.subarray(i, i + 0x8000));
        return btoa(text);
    }, fs.readFileSync(rocket).toString('base64')), 'base64'));
    const identity = path.join(tmp, 'identity.json');
    const zeros = [0, 0, 0];
    fs.writeFileSync(identity, JSON.stringify({format: 'veltrane-transform', version: 1, bands: 3,
        type: 'uint8', method: 'offset', basis: 'correlation', pairing: 'direct', order: [0, 1, 2],
        matrix: [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]],
        statistics: {format: 'veltrane-statistics', version: 1, bands: 3, type: 'uint8', count: 0,
            sums: zeros, products: [zeros, [0, 0], [0]], lowest: zeros, highest: zeros}}));
    const vipsRocket = path.join(tmp, 'rocket-vips.png');
    run(['apply', rocket, vipsRocket, '--transform', identity]);
    const decoders = difference(readPng(fs.readFileSync(browserRocket)),
        readPng(fs.readFileSync(vipsRocket)));
    const rocketInput = decoders.count === 0 ? rocket : browserRocket;
    if (decoders.count !== 0)
        console.log(`note: the browser decodes rocket.jpg differently from libvips: ` +
            `${decoders.count} samples differ, by up to ${decoders.largest} levels; the page ` +
            'is compared with veltrane on the browser\'s decoded pixels');
    await page.click('#reset');
    await page.setInputFiles('#file', rocket);
    await settle('rocket.jpg', '--offset');
    await compare(rocketInput, '--offset', 'rocket.jpg');
    await page.fill('#sample', '100,50,300,200');
    await page.selectOption('#space', 'yiq');
    await page.fill('#clip', '0.02');
    const rocketArgs = '--offset --sample 100,50,300,200 --space yiq --clip 0.02';
    await settle('rocket.jpg', rocketArgs);
    await compare(rocketInput, rocketArgs, 'rocket.jpg');
    await page.selectOption('#space', 'lab');
    await page.fill('#keep', '1');
    const labArgs = '--offset --sample 100,50,300,200 --space lab --keep 1 --clip 0.02';
    await settle('rocket.jpg', labArgs);
    await compare(rocketInput, labArgs, 'rocket.jpg');

    // 6. The keyboard: Tab reaches the divider, arrows move it; keys zoom the view.
    await page.click('#reset');
    await page.setInputFiles('#file', chelsea);
    await settle('chelsea.png', '--offset');
    await page.evaluate(() => document.activeElement && document.activeElement.blur());
    let tabs = 0;
    while (tabs < 30 && await page.evaluate(() => document.activeElement.id) !== 'divider') {
        await page.keyboard.press('Tab');
        ++tabs;
    }
    check(tabs < 30, 'Tab reaches the divider');
    const before = Number(await page.getAttribute('#divider', 'aria-valuenow'));
    for (let i = 0; i < 3; ++i)
        await page.keyboard.press('ArrowLeft');
    await page.keyboard.press('Shift+ArrowRight');
    check(Number(await page.getAttribute('#divider', 'aria-valuenow')) === before - 6 + 10,
        `the arrows move the divider from ${before} to ${before + 4}, not ` +
        `${await page.getAttribute('#divider', 'aria-valuenow')}`);
    const zoom = await page.textContent('#zoom-level');
    await page.focus('#view');
    await page.keyboard.press('+');
    check(await page.textContent('#zoom-level') !== zoom, '+ zooms in');
    await page.keyboard.press('0');
    check(await page.textContent('#zoom-level') === zoom, '0 fits the image again');

    // The screenshot for the documentation, with the divider in the middle.
    if (screenshot) {
        await page.click('#divider');
        await page.keyboard.press('Home');
        for (let i = 0; i < 5; ++i)
            await page.keyboard.press('PageUp');
        await page.click('#zoom-fit');
        await page.evaluate(() => document.activeElement.blur());
        await page.screenshot({path: screenshot});
        console.log(`saved ${screenshot}`);
    }

    // A phone's screen: no sideways scrolling, every control inside the width, in the tab
    // order and at least 40 pixels to touch.
    await page.setViewportSize({width: 390, height: 844});
    await page.check('input[name=method][value=target]');
    const narrow = await page.evaluate(() => {
        const out = {overflow: document.documentElement.scrollWidth, bad: []};
        const controls = document.querySelectorAll(
            'button, select, input:not([type=file]), a.button, #divider, #view');
        for (const c of controls) {
            if (c.closest('[hidden]'))
                continue;
            c.scrollIntoView({block: 'center'});
            const target = c.type === 'radio' ? c.closest('label') : c;
            const r = target.getBoundingClientRect();
            const name = c.id || c.value || c.textContent.trim();
            if (c.tabIndex < 0)
                out.bad.push(`${name} out of the tab order`);
            if (r.left < 0 || r.right > window.innerWidth || r.width === 0)
                out.bad.push(`${name} at ${Math.round(r.left)}..${Math.round(r.right)}`);
            if (r.height < 40)
                out.bad.push(`${name} ${Math.round(r.height)} pixels high`);
        }
        return out;
    });
    check(narrow.overflow <= 390, `390 pixels wide, the page is ${narrow.overflow} wide`);
    check(narrow.bad.length === 0, `on a phone's screen: ${narrow.bad.join('; ')}`);

    // Offline once loaded: the kept copies bring the page and its engine back.
    const kept = await page.evaluate(() => Promise.race([
        navigator.serviceWorker.ready.then(() => true),
        new Promise((resolve) => setTimeout(() => resolve(false), 20000))]));
    if (check(kept, 'the page keeps its files for offline use (a service worker)')) {
        await context.setOffline(true);
        await page.reload();
        await page.waitForFunction(() => document.getElementById('version').textContent !== '');
        await context.setOffline(false);
    }

    // The help page, in the same style and under the same policy.
    await page.goto(new URL('help.html', url).href);
    check((await page.textContent('h1')).includes('help') &&
        await page.locator('a[href="index.html"]').count() === 1, 'the help page links back');

    check(problems.length === 0, `console errors: ${problems.join(' | ')}`);
}

finish(main(), () => fs.rmSync(tmp, {recursive: true, force: true}));
