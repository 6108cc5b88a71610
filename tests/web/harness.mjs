// What the page's browser tests share: options, playwright-core, Chromium, checks, running
// `veltrane`, comparing PNGs and dropping files on the page.
import {execFileSync} from 'node:child_process';
import {createRequire} from 'node:module';
import fs from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {readPng} from './png.mjs';

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');

export function option(name, env, fallback) {
    const i = process.argv.indexOf(name);
    if (i > 0 && i + 1 < process.argv.length)
        return process.argv[i + 1];
    return process.env[env] || fallback;
}

export const pageDir = path.resolve(option('--page', 'VT_WEB_PAGE',
    path.join(repo, 'build', 'web', 'page')));
export const veltrane = path.resolve(option('--veltrane', 'VT_VELTRANE',
    path.join(repo, 'build', 'release', 'bin', 'veltrane')));
export const python = option('--python', 'VT_PYTHON', '/usr/bin/python3');

export function loadPlaywright() {
    const places = [path.join(repo, 'web', 'package.json')];
    if (process.env.VT_NODE_MODULES)
        places.unshift(path.join(path.resolve(process.env.VT_NODE_MODULES), '..', 'package.json'));
    for (const place of places) {
        try {
            return createRequire(place)('playwright-core');
        } catch (e) {
            // the next place
        }
    }
    throw new Error('playwright-core is missing: run `npm ci` in web/ (scripts/setup does), ' +
        'or set VT_NODE_MODULES to a node_modules folder that has it');
}

export const chromiumPath = process.env.VT_CHROMIUM || '/usr/bin/chromium';

// Counts checks; `finish` prints the tally and sets the exit code.
export const tally = {passed: 0, failures: []};

export function check(ok, what) {
    if (ok) {
        ++tally.passed;
    } else {
        tally.failures.push(what);
        console.error(`FAIL: ${what}`);
    }
    return ok;
}

export function finish(promise, cleanup = () => {}) {
    promise.catch((e) => {
        tally.failures.push(e.message);
        console.error(`FAIL: ${e.stack || e.message}`);
    }).finally(() => {
        cleanup();
        console.log(`${tally.passed} passed, ${tally.failures.length} failed`);
        process.exitCode = tally.failures.length ? 1 : 0;
    });
}

export function run(program, args) {
    try {
        return execFileSync(program, args, {stdio: ['ignore', 'pipe', 'pipe']}).toString();
    } catch (e) {
        throw new Error(`${path.basename(program)} ${args.join(' ')} failed: ${e.stderr}`);
    }
}

// How many samples differ (alpha too), by how much at most, and the first of them; `only`
// (pixel index => bool) limits the count to some pixels.
export function difference(a, b, only = () => true) {
    if (a.width !== b.width || a.height !== b.height)
        return {count: Infinity, first: `sizes ${a.width}x${a.height} and ${b.width}x${b.height}`};
    let count = 0;
    let largest = 0;
    let first = '';
    for (let i = 0; i < a.rgba.length; ++i)
        if (a.rgba[i] !== b.rgba[i] && only(i >> 2)) {
            largest = Math.max(largest, Math.abs(a.rgba[i] - b.rgba[i]));
            if (!count) {
                const p = i >> 2;
                first = `pixel (${p % a.width}, ${Math.floor(p / a.width)}) band ${i & 3}: ` +
                    `${a.rgba[i]} and ${b.rgba[i]}`;
            }
            ++count;
        }
    return {count, largest, first};
}

export const readPngFile = (file) => readPng(fs.readFileSync(file));

// Drops a file on the page's view: a DataTransfer built in the page from the bytes.
export function drop(page, bytes, name, type) {
    return page.evaluate(({data, name, type}) => {
        const transfer = new DataTransfer();
        transfer.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], name,
            {type}));
        const view = document.getElementById('view');
        for (const event of ['dragenter', 'dragover', 'drop'])
            view.dispatchEvent(new DragEvent(event, {dataTransfer: transfer, bubbles: true,
                cancelable: true}));
    }, {data: Buffer.from(bytes).toString('base64'), name, type});
}

// Waits until the status line includes `text` (and, with kind, has that class).
export const waitStatus = (page, text, kind = '') => page.waitForFunction(([t, k]) => {
    const status = document.getElementById('status');
    return status.textContent.includes(t) && (!k || status.classList.contains(k));
}, [text, kind]);
