#!/usr/bin/env node
// The page as an installable app that works offline, served from a folder of a server that
// also serves another site: Chromium finds it installable, its service worker takes only that
// folder and keeps only the page's own files (and drops only its own old caches), the page
// reloads and stretches offline, and at an address that is not secure it says that offline
// use and installing need HTTPS or localhost.
//
//   node tests/web/offline_test.mjs [--page DIR] [--samples DIR]
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {serve} from './server.mjs';
import {check, chromiumPath, drop, finish, loadPlaywright, option, pageDir, repo,
    waitStatus} from './harness.mjs';

const samples = path.resolve(option('--samples', 'VT_SAMPLES', path.join(repo, 'samples')));
const FOLDER = '/tools/veltrane/';
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vt-offline-'));

// Another site on the same server: its page and a script of the same name as the page's.
const OTHERS = {
    '/': ['text/html', '<!doctype html><title>Another site</title><script src="app.js"></script>'],
    '/app.js': ['text/javascript', 'document.title = "another site’s script";'],
    '/tools/blank.html': ['text/html', '<!doctype html><title>blank</title>'],
};

const engineReady = (page) => page.waitForFunction(() =>
    document.getElementById('version').textContent !== '');

async function installable(context, page, base) {
    const manifest = await page.evaluate(async () => {
        const link = document.querySelector('link[rel=manifest]');
        const response = await fetch(link.href);
        const doc = JSON.parse(await response.text());
        const icons = [];
        for (const icon of doc.icons) {
            if (icon.type === 'image/svg+xml') {
                icons.push({...icon, real: 'any'});
                continue;
            }
            const bitmap = await createImageBitmap(await (await fetch(new URL(icon.src, link.href)))
                .blob());
            icons.push({...icon, real: `${bitmap.width}x${bitmap.height}`});
        }
        return {url: link.href, doc, icons};
    });
    const {doc, icons} = manifest;
    check(manifest.url === base + 'manifest.webmanifest' && doc.name && doc.short_name &&
        doc.start_url === '.' && doc.scope === '.' && doc.display === 'standalone' &&
        /^#[0-9a-f]{6}$/i.test(doc.theme_color) && /^#[0-9a-f]{6}$/i.test(doc.background_color),
        `the manifest at ${manifest.url}: ${JSON.stringify(doc)}`);
    check(icons.some((i) => i.purpose === 'maskable') &&
        icons.some((i) => i.type === 'image/png' && parseInt(i.sizes, 10) >= 192) &&
        icons.every((i) => i.sizes === 'any' || i.sizes === i.real),
        `the manifest's icons: ${JSON.stringify(icons)}`);
    const cdp = await context.newCDPSession(page);
    const {installabilityErrors} = await cdp.send('Page.getInstallabilityErrors');
    check(installabilityErrors.length === 0,
        `Chromium's installability errors: ${JSON.stringify(installabilityErrors)}`);
    const {errors} = await cdp.send('Page.getAppManifest');
    check(errors.length === 0, `Chromium's manifest errors: ${JSON.stringify(errors)}`);
}

// What the origin's caches hold: {name: [url, ...]}.
const cacheContents = (page) => page.evaluate(async () => {
    const out = {};
    for (const name of await caches.keys())
        out[name] = (await (await caches.open(name)).keys()).map((r) => r.url);
    return out;
});

async function offline(context, page, base, origin) {
    const scope = await page.evaluate(async () => (await navigator.serviceWorker.ready).scope);
    check(scope === base, `the service worker's scope is ${scope}, not ${base}`);
    await page.waitForFunction(() => navigator.serviceWorker.controller);
    check(await page.isHidden('#insecure'), 'on 127.0.0.1 the page says nothing of HTTPS');

    // The other site's files, fetched from the page: they pass by the worker and stay out of
    // its caches.
    const fetched = await page.evaluate(async () => Promise.all(['/app.js', '/tools/blank.html']
        .map(async (u) => (await fetch(u)).status)));
    check(fetched.every((s) => s === 200), `the other site's files answer ${fetched}`);
    const kept = await cacheContents(page);
    const ours = Object.keys(kept).filter((k) => k.startsWith('veltrane'));
    check(ours.length === 1 && ours[0].startsWith(`veltrane ${base} `) &&
        !ours[0].endsWith(' old') && kept['another-app'],
        `after activation the caches are ${Object.keys(kept).join(' | ')}`);
    // (The compressed copies beside the files are the server's to send, not the worker's.)
    const files = ['', ...fs.readdirSync(pageDir).filter((f) => f !== 'sw.js' &&
        !/\.(gz|br)$/.test(f))]
        .map((f) => base + f).sort();
    const urls = ours.length ? [...kept[ours[0]]].sort() : [];
    check(JSON.stringify(urls) === JSON.stringify(files),
        `the worker keeps ${urls.join(' ')}; the page's files are ${files.join(' ')}`);
    check(Object.entries(kept).every(([name, list]) => name === 'another-app' ||
        list.every((u) => u.startsWith(base))), 'no file outside the page\'s folder is kept');

    // Offline: the page, its engine and its help come back from the kept copies; the other
    // site's script is not answered by them.
    await context.setOffline(true);
    await page.reload();
    await engineReady(page);
    await drop(page, fs.readFileSync(path.join(samples, 'chelsea.png')), 'chelsea.png',
        'image/png');
    await waitStatus(page, 'Stretched chelsea.png', 'done');
    const answers = await page.evaluate(async (o) => Promise.all([`${o}/app.js`, 'help.html']
        .map((u) => fetch(u).then((r) => r.status, () => 'failed'))), origin);
    check(answers[0] === 'failed' && answers[1] === 200,
        `offline, the other site's script answers ${answers[0]} and help.html ${answers[1]}`);
    await context.setOffline(false);
}

const main = async () => {
    const {chromium} = loadPlaywright();
    const server = await serve(pageDir, FOLDER, OTHERS);
    const origin = server.url.replace(/\/$/, '');
    const base = origin + FOLDER;
    // A profile of its own: Chromium installs nothing from a private window.
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: chromiumPath,
        args: ['--no-sandbox', '--host-resolver-rules=MAP veltrane.test 127.0.0.1'],
    });
    try {
        const page = context.pages()[0] || await context.newPage();
        const problems = [];
        page.on('pageerror', (e) => problems.push(e.message));
        // Caches of the origin before the page comes: an older version of this folder's, the
        // first version's, and another site's.
        await page.goto(origin + '/tools/blank.html');
        await page.evaluate(async (b) => {
            for (const name of [`veltrane ${b} old`, 'veltrane-page-1', 'another-app'])
                await (await caches.open(name)).put('/tools/blank.html', new Response('kept'));
        }, base);

        await page.goto(base);
        await engineReady(page);
        await installable(context, page, base);
        await offline(context, page, base, origin);

        // The same page at a name that is not this computer's: no secure context.
        const insecure = origin.replace('127.0.0.1', 'veltrane.test') + FOLDER;
        await page.goto(insecure);
        await engineReady(page);
        check(await page.isVisible('#insecure') &&
            (await page.textContent('#insecure')).includes('HTTPS or localhost'),
            `at ${insecure} the page says offline use and installing need HTTPS or localhost`);
        check(problems.length === 0, `page errors: ${problems.join(' | ')}`);
    } finally {
        await context.close();
        await server.close();
    }
};

finish(main(), () => fs.rmSync(profile, {recursive: true, force: true}));
