// The web page's memory on a large photograph, in headless Chromium: how much more the browser
// holds, at its peak, than it held with the page loaded and idle, as a multiple of the image's
// size in RGBA (4 bytes a pixel). The page opens the image through its file picker, stretches
// it, saves the PNG, stretches it again with another option, shows the original while C is held
// and saves again; each step's peak is printed, and what stays held at the end.
//
// Memory is the proportional set size (Pss in /proc/PID/smaps_rollup, so that memory shared
// between processes counts once) summed over every process of the browser: the browser
// process, the page's renderer (its workers, their WebAssembly memory and the canvases), the
// graphics process and the helpers. It is sampled every 25 ms from Node while the page works.
//
//   cmake --preset web && cmake --build --preset web
//   node bench/page_memory.mjs [--size WxH] [--format jpeg|png] [--before COMMIT] [--rounds N]
//                              [--detail]
//
// --before COMMIT measures, in the same run, the page's own files as they were at COMMIT
// beside this build's module (veltrane.js and veltrane.wasm), as a row of its own. --detail
// prints each step's memory by kind of process (Chromium's --type).
// Defaults: 9248 x 6936 (64 megapixels, a phone camera's largest photo), JPEG, one round a page.
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {createRequire} from 'node:module';
import {fileURLToPath} from 'node:url';
import {serve} from '../tests/web/server.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const arg = (name, fallback) => {
    const i = process.argv.indexOf(name);
    return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
};
const [width, height] = arg('--size', '9248x6936').split('x').map(Number);
const format = arg('--format', 'jpeg');
const before = arg('--before', '');
const rounds = Number(arg('--rounds', '1'));
const detail = process.argv.includes('--detail');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vt-page-memory-'));
const rgbaBytes = width * height * 4;
const MB = 1024 * 1024;

// The photograph: smooth correlated bands with texture and noise (the benchmarks' photo-like
// image, made strip by strip so that NumPy never holds more than a strip in floats).
const image = path.join(work, `photo.${format === 'png' ? 'png' : 'jpg'}`);
execFileSync('/usr/bin/python3', ['-c', `
import sys
import numpy as np
from PIL import Image
w, h, out, fmt = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
rng = np.random.default_rng(7)
img = np.empty((h, w, 3), np.uint8)
xx = np.arange(w, dtype=np.float32)[None, :] / w
for y0 in range(0, h, 256):
    yy = np.arange(y0, min(h, y0 + 256), dtype=np.float32)[:, None] / h
    light = 0.5 + 0.3 * np.sin(5 * xx + 2 * yy) * np.cos(3 * yy - xx)
    texture = 0.08 * np.sin(97 * xx) * np.sin(61 * yy)
    for k, tint in enumerate((1.0, 0.85, 0.7)):
        band = tint * light + texture * (1 + 0.3 * k) + 0.03 * rng.standard_normal(light.shape)
        img[y0:y0 + len(yy), :, k] = np.clip(np.rint(band * 255), 0, 255)
pil = Image.fromarray(img)
if fmt == 'png':
    pil.save(out, compress_level=1)
else:
    pil.save(out, quality=92)
`, String(width), String(height), image, format]);

// The pages: this build's, and with --before the page's files at that commit beside its module.
const built = path.join(root, 'build', 'web', 'page');
if (!fs.existsSync(path.join(built, 'veltrane.wasm')))
    throw new Error(`${built} has no veltrane.wasm: build the web page first`);
const pages = [];
if (before) {
    const dir = path.join(work, 'before');
    fs.cpSync(built, dir, {recursive: true});
    const tar = execFileSync('git', ['-C', root, 'archive', before, 'web/page'],
        {maxBuffer: 1 << 28});
    fs.mkdirSync(path.join(work, 'old'));
    execFileSync('tar', ['-x', '-C', path.join(work, 'old')], {input: tar});
    fs.cpSync(path.join(work, 'old', 'web', 'page'), dir, {recursive: true});
    const commit = execFileSync('git', ['-C', root, 'rev-parse', '--short', before]).toString()
        .trim();
    pages.push({label: `page at ${commit}`, dir});
}
pages.push({label: 'this tree\'s page', dir: built});

// ---- Memory of a process tree

function children() {
    const parent = new Map();
    for (const name of fs.readdirSync('/proc')) {
        if (!/^\d+$/.test(name))
            continue;
        try {
            const stat = fs.readFileSync(`/proc/${name}/stat`, 'utf8');
            const ppid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
            parent.set(Number(name), ppid);
        } catch (e) {
            // gone already
        }
    }
    return parent;
}

// The processes below pid (not pid itself).
function tree(pid) {
    const parent = children();
    const all = new Set([pid]);
    for (let grew = true; grew;) {
        grew = false;
        for (const [p, pp] of parent)
            if (all.has(pp) && !all.has(p)) {
                all.add(p);
                grew = true;
            }
    }
    all.delete(pid);
    return [...all];
}

// Pss of the processes, in bytes.
function pss(pids) {
    let kb = 0;
    for (const pid of pids) {
        try {
            const m = /^Pss:\s+(\d+) kB/m.exec(fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8'));
            if (m)
                kb += Number(m[1]);
        } catch (e) {
            // gone already
        }
    }
    return kb * 1024;
}

// Pss of the processes by kind (Chromium's --type: renderer, gpu-process, utility; browser).
function byKind(pids) {
    const kinds = {};
    for (const pid of pids) {
        try {
            const m = /--type=([\w-]+)/.exec(fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1'));
            const kind = m ? m[1] : 'browser';
            kinds[kind] = (kinds[kind] || 0) + pss([pid]);
        } catch (e) {
            // gone already
        }
    }
    return kinds;
}

// Samples the tree's memory every 25 ms; mark(name) closes a step and keeps its peak.
function sampler(pid) {
    let pids = tree(pid);
    let peak = 0;
    let ticks = 0;
    const steps = [];
    const timer = setInterval(() => {
        if (++ticks % 20 === 0)
            pids = tree(pid); // processes come and go (the graphics process, helpers)
        peak = Math.max(peak, pss(pids));
    }, 25);
    return {
        now: () => pss(tree(pid)),
        mark(name) {
            peak = Math.max(peak, pss(pids = tree(pid)));
            if (detail)
                console.log(`${name}: ${Object.entries(byKind(pids)).map(([k, v]) =>
                    `${k} ${(v / MB).toFixed(0)} MB`).join(', ')}`);
            steps.push({name, peak});
            peak = 0;
        },
        stop() {
            clearInterval(timer);
            return steps;
        },
    };
}

// ---- The page at work

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function measure(chromium, page) {
    const server = await serve(page.dir);
    const browser = await chromium.launch({executablePath: '/usr/bin/chromium',
        args: ['--no-sandbox']});
    try {
        const context = await browser.newContext({viewport: {width: 1280, height: 800},
            acceptDownloads: true, serviceWorkers: 'block'});
        const tab = await context.newPage();
        tab.setDefaultTimeout(600000); // a busy page answers clicks late
        const problems = [];
        tab.on('pageerror', (e) => problems.push(e.message));
        await tab.goto(server.url);
        await tab.waitForFunction(() => document.getElementById('version').textContent !== '');
        await sleep(2000);
        // Chromium is this process's child: its processes are all those below this one.
        const pid = process.pid;
        // The baseline: the least of a few samples of the page loaded and idle.
        let baseline = Infinity;
        for (let i = 0; i < 5; ++i) {
            baseline = Math.min(baseline, pss(tree(pid)));
            await sleep(200);
        }
        if (detail)
            console.log(`idle: ${Object.entries(byKind(tree(pid))).map(([k, v]) =>
                `${k} ${(v / MB).toFixed(0)} MB`).join(', ')}`);
        const s = sampler(pid);
        const done = (what) => tab.waitForFunction(([w]) => {
            const status = document.getElementById('status');
            return status.classList.contains('done') && status.textContent.includes(w) &&
                document.getElementById('progress').hidden;
        }, [what], {timeout: 600000, polling: 100});
        const save = async () => {
            const [file] = await Promise.all([tab.waitForEvent('download', {timeout: 600000}),
                tab.click('#save-png')]);
            const to = path.join(work, `saved-${Date.now()}.png`);
            await file.saveAs(to);
            await done('Saved');
            const size = fs.statSync(to).size;
            fs.rmSync(to);
            return size;
        };
        const started = performance.now();
        await tab.setInputFiles('#file', image);
        await done('Stretched');
        s.mark('open and stretch');
        const saved = await save();
        s.mark('save');
        await tab.fill('#clip', '0.01');
        await tab.locator('#clip').dispatchEvent('change');
        await tab.waitForFunction(() =>
            document.getElementById('command').textContent.includes('--clip 0.01'));
        await done('Stretched');
        s.mark('stretch again');
        await tab.focus('#view');
        await tab.keyboard.down('c');
        await sleep(1500);
        await tab.keyboard.up('c');
        await sleep(500);
        await save();
        s.mark('compare and save');
        await sleep(3000);
        s.mark('held');
        const held = s.now();
        const steps = s.stop().filter((step) => step.name !== 'held');
        if (problems.length)
            throw new Error(problems.join(' | '));
        return {steps, held: held - baseline, baseline, saved,
            seconds: (performance.now() - started) / 1000};
    } finally {
        await browser.close();
        await server.close();
    }
}

const {chromium} = createRequire(path.join(root, 'web', 'package.json'))('playwright-core');
const results = [];
for (let r = 0; r < rounds; ++r)
    for (const page of pages)
        results.push({page, ...await measure(chromium, page)});

const times = (bytes) => `${(bytes / rgbaBytes).toFixed(2)}x`.padStart(8);
const imageFile = fs.statSync(image).size;
console.log(`image: ${width} x ${height} ${format.toUpperCase()} (${(width * height / 1e6).toFixed(1)} ` +
    `MP, ${(imageFile / MB).toFixed(0)} MB file; RGBA ${(rgbaBytes / MB).toFixed(0)} MB), ` +
    'memory over the idle page as a multiple of the RGBA size');
const names = results[0].steps.map((step) => step.name);
console.log(['page'.padEnd(20), ...names.map((n) => n.padStart(17)), 'peak'.padStart(8),
    'held'.padStart(8), 'baseline'.padStart(10)].join(' '));
for (const result of results) {
    const peak = Math.max(...result.steps.map((step) => step.peak)) - result.baseline;
    console.log([result.page.label.padEnd(20),
        ...result.steps.map((step) => times(step.peak - result.baseline).padStart(17)),
        times(peak), times(result.held),
        `${(result.baseline / MB).toFixed(0)} MB`.padStart(10)].join(' '));
}
for (const result of results) {
    const peak = Math.max(...result.steps.map((step) => step.peak)) - result.baseline;
    console.log(`${result.page.label}: peak +${(peak / MB).toFixed(0)} MB, held at the end ` +
        `+${(result.held / MB).toFixed(0)} MB, ${result.seconds.toFixed(0)} s, PNG ` +
        `${(result.saved / MB).toFixed(0)} MB`);
}
fs.rmSync(work, {recursive: true, force: true});
