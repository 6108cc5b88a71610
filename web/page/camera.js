// The camera: the device's camera (the rear one on a phone) stretched live with the current
// controls, and a shutter that opens a full-resolution still in the normal view, where the
// engine stretches it exactly as any opened file.
//
// The live view fits a stretch to a small subsample of the frame (FIT_WIDTH pixels wide) in
// preview-worker.js every few frames, at once when a tiny thumbnail's statistics say that the
// scene changed, and whenever a control changes; every frame is then mapped through the fitted
// transform: on the graphics processor (live-gl.js) when that is faster here, else by the
// engine's own application (vt_web_apply) in the worker. A saved transform in use (Load
// transform) is applied as it is, with no fit.

import {GlStretch, affineMap, IDENTITY} from './live-gl.js';
import {stretchPixels, applyTransform, warmUp, Latest} from './preview.js';

const FIT_WIDTH = 320;
const THUMB_WIDTH = 48;
const WATCH_EVERY = 2; // frames between looks at the thumbnail
const FIT_EVERY = 12; // frames between fits of an unchanged scene
const FIT_SOONEST = 3; // frames between fits of a changing scene
// A thumbnail's band mean moving by this many levels, or its deviation by this share (and
// CHANGE_LEVELS), is a new scene.
const CHANGE_LEVELS = 6;
const CHANGE_SHARE = 0.15;
// Frames on their way through the engine at once: the next is read while one is mapped.
const IN_FLIGHT = 2;
// Frames each way of mapping them is timed on, to choose between them.
const CALIBRATION_ROUNDS = 5;

const MESSAGES = {
    insecure: 'The camera works only on a secure page: open this page through an https:// ' +
        'address, or on this device itself (http://localhost). Opening photos works as always.',
    unsupported: 'This browser does not let web pages use a camera. Opening photos works as ' +
        'always.',
    denied: 'The page may not use the camera: it was refused. To allow it, open the ' +
        'browser’s settings for this site (the icon beside the address) and allow the camera, ' +
        'then press Camera again. Opening photos works without it.',
    missing: 'No camera was found on this device. Photos taken with another camera open with ' +
        'Open image.',
    busy: 'The camera could not be started: another app may be using it. Close that app and ' +
        'press Camera again.',
    lost: 'The camera stopped (it was unplugged or taken by another app). Press Camera to ' +
        'start it again.',
};

function explain(error) {
    switch (error && error.name) {
    case 'NotAllowedError':
    case 'PermissionDeniedError':
    case 'SecurityError':
        return MESSAGES.denied;
    case 'NotFoundError':
    case 'DevicesNotFoundError':
    case 'OverconstrainedError':
        return MESSAGES.missing;
    case 'NotReadableError':
    case 'TrackStartError':
    case 'AbortError':
        return MESSAGES.busy;
    default:
        return 'The camera could not be started' +
            (error && error.message ? ` (${error.message}).` : '.') + ' Press Camera to try again.';
    }
}

// Each band's mean and standard deviation of packed RGBA pixels.
function bandStatistics(rgba) {
    const n = rgba.length / 4;
    const sum = [0, 0, 0];
    const squares = [0, 0, 0];
    for (let i = 0; i < rgba.length; i += 4)
        for (let b = 0; b < 3; ++b) {
            const v = rgba[i + b];
            sum[b] += v;
            squares[b] += v * v;
        }
    return [0, 1, 2].map((b) => {
        const mean = sum[b] / n;
        return {mean, sigma: Math.sqrt(Math.max(0, squares[b] / n - mean * mean))};
    });
}

function sceneChanged(a, b) {
    if (!a || !b)
        return true;
    return a.some((s, i) => Math.abs(s.mean - b[i].mean) > CHANGE_LEVELS ||
        Math.abs(s.sigma - b[i].sigma) > Math.max(CHANGE_LEVELS, CHANGE_SHARE * b[i].sigma));
}

function context2d(width, height) {
    const canvas = typeof OffscreenCanvas !== 'undefined'
        ? new OffscreenCanvas(width, height)
        : Object.assign(document.createElement('canvas'), {width, height});
    return canvas.getContext('2d', {willReadFrequently: true});
}

const median = (values) => [...values].sort((a, b) => a - b)[values.length >> 1];

export function installCamera(page) {
    const $ = (id) => document.getElementById(id);
    const el = {
        open: $('camera-open'),
        panel: $('camera'),
        bar: $('camera-bar'),
        video: $('camera-video'),
        gl: $('camera-gl'),
        flat: $('camera-2d'),
        rate: $('camera-rate'),
        message: $('camera-message'),
        shutter: $('camera-shutter'),
        choice: $('camera-choice'),
        choiceField: $('camera-choice-field'),
        close: $('camera-close'),
        form: $('controls'),
    };
    if (!el.open)
        return;
    el.open.hidden = false;

    const cam = {
        on: false, // the camera mode is shown
        stream: null,
        starting: 0, // the serial of the start in progress
        deviceId: '',
        frames: 0, // frames the camera gave since the start
        shown: 0, // frames shown stretched since the start
        transform: null, // the transform's JSON that the frames go through
        map: null, // its affine map, or null (lab: the engine applies it)
        fittedAt: -Infinity, // the frame of the last fit
        fitStats: null, // the thumbnail's statistics at the last fit
        watched: null,
        controlsChanged: false,
        gl: null,
        glTried: false,
        path: '', // 'gl' | 'engine'
        calibrated: false,
        applying: 0, // frames on their way through the engine
        comparing: false,
        callback: 0,
        rateTimer: 0,
    };
    const fitting = new Latest();
    const thumb = context2d(THUMB_WIDTH, 27);
    let proxy = null;
    let work = null;
    const flat = el.flat.getContext('2d');

    function showMessage(text) {
        el.message.textContent = text;
        el.message.hidden = !text;
        el.panel.classList.toggle('has-message', !!text);
    }

    function glStretch() {
        if (!cam.glTried) {
            cam.glTried = true;
            try {
                cam.gl = new GlStretch(el.gl);
            } catch (e) {
                cam.gl = null;
            }
        }
        return cam.gl;
    }

    // ---- Starting and stopping

    async function open() {
        if (cam.on)
            return;
        cam.on = true;
        document.body.classList.add('camera-on');
        el.panel.hidden = false;
        el.bar.hidden = false;
        el.open.setAttribute('aria-pressed', 'true');
        warmUp();
        await start();
    }

    function close() {
        if (!cam.on)
            return;
        cam.on = false;
        stop();
        showMessage('');
        document.body.classList.remove('camera-on');
        el.panel.hidden = true;
        el.bar.hidden = true;
        el.open.setAttribute('aria-pressed', 'false');
        el.open.focus();
        page.say('The camera is closed.');
    }

    function stop() {
        ++cam.starting;
        if (cam.stream)
            for (const track of cam.stream.getTracks())
                track.stop();
        cam.stream = null;
        if (cam.callback && el.video.cancelVideoFrameCallback)
            el.video.cancelVideoFrameCallback(cam.callback);
        cam.callback = 0;
        el.video.srcObject = null;
        clearInterval(cam.rateTimer);
        el.rate.textContent = '';
        el.shutter.disabled = true;
        el.panel.classList.remove('live', 'ready', 'engine-path');
    }

    async function start() {
        stop();
        const serial = cam.starting;
        showMessage('');
        const refuse = (text) => {
            showMessage(text);
            page.say(text, 'error');
        };
        if (!window.isSecureContext) {
            refuse(MESSAGES.insecure);
            return;
        }
        if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
            refuse(MESSAGES.unsupported);
            return;
        }
        page.say('Starting the camera…', 'busy');
        const video = {width: {ideal: 1280}, height: {ideal: 720}, frameRate: {ideal: 30}};
        if (cam.deviceId)
            video.deviceId = {exact: cam.deviceId};
        else
            video.facingMode = {ideal: 'environment'};
        let stream;
        try {
            stream = await navigator.mediaDevices.getUserMedia({video, audio: false});
        } catch (e) {
            if (serial === cam.starting)
                refuse(explain(e));
            return;
        }
        if (serial !== cam.starting || !cam.on) {
            for (const track of stream.getTracks())
                track.stop();
            return;
        }
        cam.stream = stream;
        const track = stream.getVideoTracks()[0];
        track.addEventListener('ended', () => {
            if (cam.stream === stream) {
                stop();
                refuse(MESSAGES.lost);
            }
        });
        cam.deviceId = (track.getSettings && track.getSettings().deviceId) || cam.deviceId;
        el.video.srcObject = stream;
        try {
            await el.video.play();
        } catch (e) {
            // Playing starts with the first frame anyway (the video is muted).
        }
        if (serial !== cam.starting)
            return;
        Object.assign(cam, {frames: 0, shown: 0, fittedAt: -Infinity, fitStats: null,
            watched: null, calibrated: false, applying: 0});
        el.panel.dataset.shown = '0';
        cam.transform = page.transform();
        cam.map = cam.transform ? affineMap(cam.transform) : null;
        el.shutter.disabled = false;
        el.panel.classList.add('live');
        page.say(cam.transform
            ? 'The camera shows the saved transform in use. The shutter opens a photo.'
            : 'The camera is stretched live with the controls. The shutter opens a photo.', 'done');
        listCameras();
        startRate();
        nextFrame();
    }

    async function listCameras() {
        let cameras = [];
        try {
            cameras = (await navigator.mediaDevices.enumerateDevices())
                .filter((d) => d.kind === 'videoinput');
        } catch (e) {
            cameras = [];
        }
        el.choice.replaceChildren(...cameras.map((d, i) => {
            const option = document.createElement('option');
            option.value = d.deviceId;
            option.textContent = d.label || `Camera ${i + 1}`;
            option.selected = d.deviceId === cam.deviceId;
            return option;
        }));
        el.choiceField.hidden = cameras.length < 2;
    }

    // ---- Frames

    function nextFrame() {
        if (!cam.stream)
            return;
        if (el.video.requestVideoFrameCallback)
            cam.callback = el.video.requestVideoFrameCallback(frame);
        else
            requestAnimationFrame(() => {
                // Without frame callbacks: a frame is new when the video's time moved.
                const t = el.video.currentTime;
                if (t !== cam.lastTime) {
                    cam.lastTime = t;
                    frame();
                } else
                    nextFrame();
            });
    }

    function frame() {
        if (!cam.stream)
            return;
        nextFrame();
        const video = el.video;
        const width = video.videoWidth;
        const height = video.videoHeight;
        if (!width || !height)
            return;
        ++cam.frames;
        watch(width, height);
        if (cam.comparing || !cam.transform)
            return;
        if (!cam.calibrated) {
            calibrate(width, height);
            return;
        }
        if (cam.path === 'gl') {
            cam.gl.draw(video, width, height);
            shown();
        } else
            applyFrame(width, height);
    }

    // Looks at a thumbnail every few frames, and fits again when the scene changed, when the
    // controls changed, or when FIT_EVERY frames passed.
    function watch(width, height) {
        if (cam.frames % WATCH_EVERY !== 0 && cam.fitStats)
            return;
        const th = Math.max(1, Math.round((THUMB_WIDTH * height) / width));
        if (thumb.canvas.height !== th)
            thumb.canvas.height = th;
        thumb.drawImage(el.video, 0, 0, THUMB_WIDTH, th);
        cam.watched = bandStatistics(thumb.getImageData(0, 0, THUMB_WIDTH, th).data);
        const since = cam.frames - cam.fittedAt;
        if (cam.controlsChanged || since >= FIT_EVERY ||
            (since >= FIT_SOONEST && sceneChanged(cam.watched, cam.fitStats)))
            fit(width, height);
    }

    function fit(width, height) {
        cam.controlsChanged = false;
        cam.fittedAt = cam.frames;
        const stats = cam.watched;
        const saved = page.transform();
        if (saved) {
            // A saved transform in use applies as it is.
            cam.fitStats = stats;
            useTransform(saved);
            return;
        }
        const settings = page.settings();
        if (!settings.options)
            return; // a field is wrong: the last fit stands
        // The fit takes the whole frame: a statistics sample belongs to opened images.
        const options = {...settings.options, sample: null};
        const pw = Math.min(FIT_WIDTH, width);
        const ph = Math.max(1, Math.round((pw * height) / width));
        if (!proxy || proxy.canvas.width !== pw || proxy.canvas.height !== ph) {
            proxy = context2d(pw, ph);
            // A subsample of the frame's pixels, not averages of them.
            proxy.imageSmoothingEnabled = false;
        }
        proxy.drawImage(el.video, 0, 0, pw, ph);
        const pixels = proxy.getImageData(0, 0, pw, ph).data;
        const serial = cam.starting;
        fitting.run(async () => {
            try {
                const answer = await stretchPixels(pw, ph, pixels, options);
                if (serial === cam.starting && !page.transform()) {
                    cam.fitStats = stats;
                    useTransform(answer.transform);
                }
            } catch (e) {
                if (serial === cam.starting)
                    page.say(`The live stretch stopped: ${e.message}`, 'error');
            }
        });
    }

    function useTransform(text) {
        const changedKind = !cam.transform || !affineMap(cam.transform) !== !affineMap(text);
        cam.transform = text;
        cam.map = affineMap(text);
        if (changedKind)
            cam.calibrated = false;
        if (cam.path === 'gl' && cam.map)
            cam.gl.setMap(cam.map);
    }

    // Chooses where the frames are mapped: on the graphics processor when it has the map and
    // is faster here than the engine (each timed on a few real frames), else by the engine.
    // The page's address may fix the choice, for measuring: ?live=gl or ?live=engine.
    async function calibrate(width, height) {
        if (cam.calibrating)
            return;
        cam.calibrating = true;
        const serial = cam.starting;
        let path = 'engine';
        const gl = cam.map ? glStretch() : null;
        const forced = new URLSearchParams(location.search).get('live');
        if (gl && forced === 'gl')
            path = 'gl';
        else if (gl && forced !== 'engine') {
            // Turn about, so that whatever else the device does weighs on both alike; the
            // first round (the shader's compilation, the buffers' first use) is not counted.
            const glTimes = [];
            const engineTimes = [];
            gl.setMap(cam.map);
            for (let i = 0; i < 1 + CALIBRATION_ROUNDS && serial === cam.starting; ++i) {
                let t0 = performance.now();
                gl.draw(el.video, width, height);
                gl.finish();
                const glTime = performance.now() - t0;
                t0 = performance.now();
                await applyFrame(width, height);
                if (i > 0) {
                    glTimes.push(glTime);
                    engineTimes.push(performance.now() - t0);
                }
            }
            if (glTimes.length && median(glTimes) <= median(engineTimes))
                path = 'gl';
            if (glTimes.length)
                cam.timings = {gl: median(glTimes), engine: median(engineTimes)};
        }
        cam.calibrating = false;
        if (serial !== cam.starting)
            return;
        cam.path = path;
        cam.calibrated = true;
        if (path === 'gl')
            cam.gl.setMap(cam.map);
        el.panel.classList.toggle('engine-path', path !== 'gl');
        el.panel.classList.add('ready');
    }

    // One frame through the engine in the worker; a frame that comes while IN_FLIGHT are on
    // their way is skipped. The worker answers in order, so frames show in order.
    async function applyFrame(width, height) {
        if (cam.applying >= IN_FLIGHT)
            return;
        ++cam.applying;
        const serial = cam.starting;
        try {
            if (!work || work.canvas.width !== width || work.canvas.height !== height)
                work = context2d(width, height);
            work.drawImage(el.video, 0, 0);
            const pixels = work.getImageData(0, 0, width, height).data;
            const answer = await applyTransform(width, height, pixels, cam.transform);
            if (serial !== cam.starting || cam.comparing)
                return;
            if (el.flat.width !== width || el.flat.height !== height) {
                el.flat.width = width;
                el.flat.height = height;
            }
            flat.putImageData(new ImageData(new Uint8ClampedArray(answer.pixels), width, height),
                0, 0);
            shown();
        } catch (e) {
            if (serial === cam.starting)
                page.say(`The live stretch stopped: ${e.message}`, 'error');
        } finally {
            if (serial === cam.starting)
                --cam.applying;
        }
    }

    // The panel's data-shown counts the stretched frames shown since the start (and
    // data-frames the camera's frames, once a second).
    function shown() {
        el.panel.dataset.shown = String(++cam.shown);
    }

    // The frame rate shown, once a second.
    function startRate() {
        let last = {time: performance.now(), shown: 0};
        clearInterval(cam.rateTimer);
        cam.rateTimer = setInterval(() => {
            const now = performance.now();
            const rate = ((cam.shown - last.shown) * 1000) / (now - last.time);
            last = {time: now, shown: cam.shown};
            const how = cam.path === 'gl' ? 'graphics processor' : 'engine';
            el.rate.textContent = cam.calibrated && !cam.comparing
                ? `${Math.round(rate)} frames/s (${how})` : '';
            el.panel.dataset.frames = String(cam.frames);
            el.panel.dataset.path = cam.calibrated ? cam.path : '';
            if (cam.timings)
                el.panel.dataset.timings = `${cam.timings.gl.toFixed(1)} ms on the graphics ` +
                    `processor, ${cam.timings.engine.toFixed(1)} ms by the engine`;
        }, 1000);
    }

    // ---- The shutter

    async function takePhoto() {
        const stream = cam.stream;
        if (!stream)
            return;
        el.shutter.disabled = true;
        page.say('Taking the photo…', 'busy');
        const track = stream.getVideoTracks()[0];
        let blob = null;
        if (typeof ImageCapture !== 'undefined') {
            try {
                const capture = new ImageCapture(track);
                let settings = {};
                try {
                    // The camera's largest photo.
                    const caps = await capture.getPhotoCapabilities();
                    if (caps.imageWidth && caps.imageHeight)
                        settings = {imageWidth: caps.imageWidth.max,
                            imageHeight: caps.imageHeight.max};
                } catch (e) {
                    settings = {};
                }
                blob = await capture.takePhoto(settings).catch(() => capture.takePhoto());
            } catch (e) {
                blob = null;
            }
        }
        if (!blob || !/^image\/(png|jpeg|webp)$/.test(blob.type)) {
            // The video's own frame, at the size the camera sends it.
            const {videoWidth: w, videoHeight: h} = el.video;
            const still = context2d(w, h);
            still.drawImage(el.video, 0, 0);
            blob = still.canvas.convertToBlob
                ? await still.canvas.convertToBlob({type: 'image/png'})
                : await new Promise((resolve) => still.canvas.toBlob(resolve, 'image/png'));
        }
        const stamp = new Date().toISOString().slice(0, 19).replace(/[-:]/g, '').replace('T', '-');
        const extension = {'image/jpeg': 'jpg', 'image/webp': 'webp'}[blob.type] || 'png';
        const file = new File([blob], `camera-${stamp}.${extension}`,
            {type: blob.type || 'image/png'});
        close();
        page.open(file);
    }

    // ---- Wiring

    el.open.addEventListener('click', () => (cam.on ? close() : open()));
    el.close.addEventListener('click', close);
    el.shutter.addEventListener('click', takePhoto);
    el.choice.addEventListener('change', () => {
        cam.deviceId = el.choice.value;
        start();
    });
    // Every control's change fits again at the next frame (sliders too, while dragged).
    const changed = () => {
        cam.controlsChanged = true;
    };
    el.form.addEventListener('input', changed);
    el.form.addEventListener('change', changed);
    el.form.addEventListener('click', (e) => {
        if (e.target.closest('button'))
            changed();
    });
    document.addEventListener('vt-compare', (e) => {
        cam.comparing = e.detail;
        el.panel.classList.toggle('comparing', cam.comparing);
    });
    // A phone's camera stops while the page is out of sight and starts when it comes back.
    document.addEventListener('visibilitychange', () => {
        if (!cam.on)
            return;
        if (document.hidden)
            stop();
        else if (!cam.stream)
            start();
    });
    page.camera = {open, close, get on() {
        return cam.on;
    }};
}
