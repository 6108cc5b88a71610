// What the camera's test and benchmark share: playwright-core, Chromium with its fake camera,
// the page's module under Node, and the statistics that tell a stretched picture from a raw one.
import {createRequire} from 'node:module';
import fs from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');

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

// Chromium (VT_CHROMIUM, else Debian's) with `args` besides the sandbox's.
export function launch(chromium, args = []) {
    return chromium.launch({executablePath: process.env.VT_CHROMIUM || '/usr/bin/chromium',
        args: ['--no-sandbox', ...args]});
}

// The flags that give the page a fake camera playing `y4m` (a file makes one camera), or
// without one, `devices` cameras of Chromium's own test pattern; granted without asking.
export const fakeCamera = (y4m, devices = 1) => [
    `--use-fake-device-for-media-stream=device-count=${devices}`,
    '--use-fake-ui-for-media-stream', ...(y4m ? [`--use-file-for-fake-video-capture=${y4m}`] : [])];

// The engine's module under Node, from the page's folder.
export async function loadModule(pageDir) {
    const factory = createRequire(import.meta.url)(path.join(pageDir, 'veltrane.js'));
    return factory({wasmBinary: fs.readFileSync(path.join(pageDir, 'veltrane.wasm'))});
}

// Each band's standard deviation and the three correlations between bands (red-green,
// red-blue, green-blue) of packed RGBA pixels.
export function bandStatistics(rgba) {
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
