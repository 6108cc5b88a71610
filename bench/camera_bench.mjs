// The page's camera at 1280 x 720: frames shown stretched per second against the frames the
// camera alone gives in the same run (a bare video of it, nothing stretched), in headless
// Chromium with its fake camera playing a made-up rock face (tests/web/fake_camera.mjs) at
// 30 frames per second. Each way of mapping the frames is timed in turn (?live=engine:
// vt_web_apply in the preview worker; ?live=gl: the fragment shader), then the one the page
// chooses by itself.
//
//   cmake --preset web && cmake --build --preset web
//   node bench/camera_bench.mjs [SECONDS]
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fakeCamera, launch, writeFakeCamera} from '../tests/web/fake_camera.mjs';
import {loadPlaywright, repo} from '../tests/web/harness.mjs';
import {serve} from '../tests/web/server.mjs';

const seconds = Number(process.argv[2] || 10);
const [width, height, fps] = [1280, 720, 30];
const pageDir = path.join(repo, 'build/web/page');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vt-camera-bench-'));
const y4m = writeFakeCamera(path.join(work, 'rock.y4m'), {width, height, fps, frames: 16});

const {chromium} = loadPlaywright();
const server = await serve(pageDir);
const browser = await launch(chromium, fakeCamera(y4m));

// The frames a video of the camera shows per second with nothing else on the page.
async function cameraAlone() {
    const page = await browser.newPage({viewport: {width: 1280, height: 800}});
    await page.goto(server.url + 'help.html');
    const rate = await page.evaluate(async (ms) => {
        const video = Object.assign(document.createElement('video'), {muted: true});
        video.style.width = '880px';
        document.body.prepend(video);
        video.srcObject = await navigator.mediaDevices.getUserMedia(
            {video: {width: 1280, height: 720, frameRate: 30}});
        await video.play();
        await new Promise((resolve) => setTimeout(resolve, 1000));
        let frames = 0;
        const count = () => {
            ++frames;
            video.requestVideoFrameCallback(count);
        };
        video.requestVideoFrameCallback(count);
        const start = performance.now();
        await new Promise((resolve) => setTimeout(resolve, ms));
        return frames / ((performance.now() - start) / 1000);
    }, seconds * 1000);
    await page.close();
    return rate;
}

// One page's camera for `seconds`: the video's own new frames (counted here, by the video's
// frame callbacks) and the stretched frames the page showed (its data-shown) in that time.
async function measure(query) {
    const page = await browser.newPage({viewport: {width: 1280, height: 800}});
    await page.goto(server.url + query);
    await page.click('#camera-open');
    await page.waitForFunction(() => {
        const panel = document.getElementById('camera');
        return panel.dataset.path && Number(panel.dataset.shown) > 10;
    }, null, {timeout: 60000});
    const result = await page.evaluate((ms) => new Promise((resolve) => {
        const video = document.getElementById('camera-video');
        const panel = document.getElementById('camera');
        let frames = 0;
        const count = () => {
            ++frames;
            video.requestVideoFrameCallback(count);
        };
        video.requestVideoFrameCallback(count);
        const start = {time: performance.now(), shown: Number(panel.dataset.shown)};
        setTimeout(() => {
            const elapsed = (performance.now() - start.time) / 1000;
            resolve({camera: frames / elapsed, shown: (Number(panel.dataset.shown) - start.shown) /
                elapsed, path: panel.dataset.path, timings: panel.dataset.timings || '',
                size: `${video.videoWidth} x ${video.videoHeight}`});
        }, ms);
    }), seconds * 1000);
    await page.close();
    return result;
}

const names = {engine: 'the engine (vt_web_apply)', gl: 'the graphics processor (shader)'};
const alone = await cameraAlone();
const rows = [];
for (const [label, query] of [['engine', '?live=engine'], ['gl', '?live=gl'], ['auto', '']]) {
    const r = await measure(query);
    rows.push({label: label === 'auto' ? `chosen by the page: ${r.path}` : names[r.path], ...r});
}
await browser.close();
await server.close();
fs.rmSync(work, {recursive: true, force: true});

console.log(`camera: ${rows[0].size}, Chromium's fake camera at ${fps} frames/s, ` +
    `${seconds} s a way`);
// camera: the frames the page's video of the camera showed meanwhile; shown: the stretched
// ones; the ratio is to the camera alone.
console.log('frames per second                    camera  shown  shown/camera alone');
console.log(`${'the camera alone (nothing stretched)'.padEnd(36)} ${alone.toFixed(1).padStart(6)}`);
for (const r of rows)
    console.log(`${r.label.padEnd(36)} ${r.camera.toFixed(1).padStart(6)} ` +
        `${r.shown.toFixed(1).padStart(6)}  ${(r.shown / alone).toFixed(2).padStart(6)}`);
const timings = rows.find((r) => r.timings);
if (timings)
    console.log(`the page's own timing of one frame: ${timings.timings}`);
const best = rows[2].shown;
console.log(`the page's choice: ${best.toFixed(1)} frames/s (goal: at least 15)`);
