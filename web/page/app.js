// The page: opens an image, keeps the controls, sends the work to worker.js and shows the
// result beside the original. Nothing leaves the device: the image is decoded by the browser
// and stretched by the engine compiled to WebAssembly, in a worker.
//
// Memory: the image's RGBA bytes and its result's are each kept once, here, and handed to the
// worker for each request and back (transferred, not copied); the engine reads and writes them
// a strip at a time. The view draws them scaled (view.js), with no canvas of the image's size.

import {DEFAULTS, readSettings, commandLine, resultName, transformName} from './options.js';
import {CompareView, overviewCanvas, picture} from './view.js';
import './overview.js';
import {ORIENTATION_WORDS, readHeader, storedRect} from './imagefile.js';
import {DecodeError, MB, decodeImage, pixelCanvas, sizeProblem} from './decode.js';
import {canEncodePng, encodePng} from './png.js';

const $ = (id) => document.getElementById(id);
const el = {
    open: $('open'),
    file: $('file'),
    savePng: $('save-png'),
    saveTransform: $('save-transform'),
    loadTransform: $('load-transform'),
    transformFile: $('transform-file'),
    view: $('view'),
    canvas: $('canvas'),
    divider: $('divider'),
    zoomIn: $('zoom-in'),
    zoomOut: $('zoom-out'),
    zoomFit: $('zoom-fit'),
    zoomOne: $('zoom-one'),
    zoomLevel: $('zoom-level'),
    sampleMode: $('sample-mode'),
    progress: $('progress'),
    progressBar: $('progress-bar'),
    progressLabel: $('progress-label'),
    status: $('status'),
    command: $('command'),
    commandNote: $('command-note'),
    insecure: $('insecure'),
    copy: $('copy'),
    form: $('controls'),
    engine: $('engine'),
    notice: $('transform-notice'),
    noticeName: $('transform-name'),
    noticeSummary: $('transform-summary'),
    noticeStop: $('transform-stop'),
    targetMean: $('target-mean'),
    targetSigma: $('target-sigma'),
    basis: $('basis'),
    pairing: $('pairing'),
    space: $('space'),
    keep: $('keep'),
    clip: $('clip'),
    sample: $('sample'),
    sampleClear: $('sample-clear'),
    reset: $('reset'),
};

const TYPING_DELAY = 300;
const PHASES = {
    statistics: 'Measuring the statistics',
    ranges: 'Measuring the components’ ranges',
    clip: 'Counting for the saturation',
    apply: 'Applying the stretch',
};
const TEXT_FIELDS = ['targetMean', 'targetSigma', 'keep', 'clip', 'sample'];

// Image-sized bytes that go to the worker and come back (transferred): while they are away,
// `bytes` is null. take() waits until they are here and no one holds them, and takes them;
// hold(task) keeps them here while task(bytes) runs, across its awaits.
class Travelling {
    constructor(bytes) {
        this.bytes = bytes;
        this.holds = 0;
        this.lost = false;
        this.waiting = [];
    }

    async until(ready) {
        while (!ready()) {
            if (this.lost)
                throw new Error('the pixels were lost');
            await new Promise((resolve) => this.waiting.push(resolve));
        }
    }

    wake() {
        const waiting = this.waiting;
        this.waiting = [];
        for (const resolve of waiting)
            resolve();
    }

    async take() {
        await this.until(() => this.bytes && !this.holds);
        const bytes = this.bytes;
        this.bytes = null;
        return bytes;
    }

    give(bytes) {
        this.bytes = bytes;
        this.wake();
    }

    lose() {
        this.lost = true;
        this.wake();
    }

    async hold(task) {
        await this.until(() => this.bytes);
        ++this.holds;
        try {
            return await task(this.bytes);
        } finally {
            --this.holds;
            this.wake();
        }
    }
}

const memoryMessage = (bytes) => `This image needs ${Math.ceil(bytes / MB)} MB of memory, ` +
    'more than this browser can give the page.';

const state = {
    serial: 0,
    // {serial, name, width, height, original, pixels, picture, translucent, masked,
    // orientation, notes}: original the pixels upright, as the page shows them (a Travelling;
    // pixels: its bytes, null while away); picture what the view draws; masked: some pixel is
    // fully transparent; orientation tells how the file's stored pixels were turned (1: not at
    // all), notes what the status line adds about the image.
    image: null,
    // {image, pixels (a Travelling), picture, command, transform, kind}
    after: null,
    transform: null, // a saved transform in use: {name, text, summary}
    lastText: null, // the last request's text and image, so that an unchanged one is not sent
    lastSerial: 0,
    lastStatus: null, // what the status line said of the last result or failure
    carry: '', // a failure to mention with the next result
};

// ---- Status line and progress

function say(text, kind = '') {
    el.status.textContent = text;
    el.status.className = 'status' + (kind ? ' ' + kind : '');
}

function showProgress(on) {
    el.progress.hidden = !on;
    if (on) {
        el.progressBar.removeAttribute('value');
        el.progressLabel.textContent = 'Working';
    }
    el.view.setAttribute('aria-busy', on ? 'true' : 'false');
}

// ---- The worker

const engine = {
    worker: null,
    version: '',
    fatal: '',
    busy: null, // the job being computed
    pending: null, // the newest job, waiting for the busy one
    latest: 0,
};

function startWorker() {
    engine.worker = new Worker('worker.js');
    engine.worker.onmessage = (e) => workerMessage(e.data);
    engine.worker.onerror = (e) => {
        e.preventDefault();
        stopWorker();
        engine.fatal = 'The page’s worker could not run' + (e.message ? `: ${e.message}` : '.');
        const job = engine.busy;
        // Pixels the worker had are gone with it.
        if (job && job.sent && job.image === state.image) {
            job.image.original.lose();
            state.image = null;
            dropResult();
            view.setImages(null, null, 0, 0);
        }
        finishJob(null, engine.fatal);
    };
}

function stopWorker() {
    if (engine.worker)
        engine.worker.terminate();
    engine.worker = null;
}

// Asks for a stretch ('stretch', options' JSON) or an application ('apply', transform text);
// a newer request replaces one still waiting, and a running one's result is dropped.
function request(kind, text, command) {
    if (!state.image)
        return;
    state.lastText = text;
    state.lastSerial = state.image.serial;
    engine.pending = {id: ++engine.latest, kind, text, command, image: state.image};
    pump();
}

// Sends the waiting job with the image's bytes and, to be written over, the result's (which
// the view meanwhile shows from its overview, and a save in progress keeps until it is done).
async function pump() {
    if (engine.busy || !engine.pending)
        return;
    const job = engine.pending;
    engine.pending = null;
    if (engine.fatal) {
        finishJob(job, engine.fatal);
        return;
    }
    engine.busy = job;
    showProgress(true);
    say(job.kind === 'apply' ? 'Applying the transform…' : 'Stretching…', 'busy');
    const {image} = job;
    job.after = state.after && state.after.image === image ? state.after : null;
    let result = null;
    let original;
    try {
        result = job.after ? await job.after.pixels.take() : null;
        original = await image.original.take();
    } catch (e) {
        if (result)
            job.after.pixels.give(result);
        engine.busy = null;
        finishJob(job, 'The image’s pixels were lost: open it again.');
        pump();
        return;
    }
    if (!engine.worker)
        startWorker();
    job.sent = true;
    const transfer = result ? [original.buffer, result.buffer] : [original.buffer];
    engine.worker.postMessage({type: 'run', id: job.id, kind: job.kind, text: job.text,
        width: image.width, height: image.height, masked: image.masked,
        original: original.buffer, result: result ? result.buffer : null}, transfer);
}

// The result's bytes and what shows them go (an error spoilt them, or another image opened).
function dropResult() {
    state.after = null;
    el.savePng.disabled = true;
    el.saveTransform.disabled = true;
}

function workerMessage(msg) {
    const job = engine.busy;
    switch (msg.type) {
    case 'ready':
        engine.version = msg.version;
        $('version').textContent = `Engine ${msg.version}`;
        break;
    case 'fatal':
        engine.fatal = msg.message;
        say(msg.message, 'error');
        break;
    case 'progress':
        if (job && msg.id === job.id && !engine.pending) {
            el.progressBar.value = msg.fraction;
            el.progressLabel.textContent = `${PHASES[msg.phase] || 'Working'}: ` +
                `${Math.round(msg.fraction * 100)} %`;
        }
        break;
    case 'result':
        engine.busy = null;
        if (job && msg.id === job.id) {
            job.image.original.give(new Uint8Array(msg.original));
            // The result's bytes now hold this job's result: it shows, even when a newer
            // request waits (which follows at once).
            showResult(job, msg);
            view.redraw();
        }
        pump();
        break;
    case 'error':
        engine.busy = null;
        if (msg.dead)
            stopWorker();
        if (job && msg.id === job.id) {
            if (msg.original)
                job.image.original.give(new Uint8Array(msg.original));
            if (job.after) {
                if (msg.result) {
                    job.after.pixels.give(new Uint8Array(msg.result));
                } else {
                    job.after.pixels.lose();
                    if (state.after === job.after) {
                        dropResult();
                        view.setAfter(null);
                    }
                }
            }
            view.redraw();
            if (job.id === engine.latest)
                finishJob(job, msg.message);
        }
        pump();
        break;
    }
    if (!engine.busy)
        showProgress(false);
}

function finishJob(job, error) {
    engine.busy = null;
    showProgress(false);
    if (job && job.kind === 'apply' && state.transform) {
        const text = `The transform ${state.transform.name} cannot be applied: ${error}`;
        state.lastStatus = {text, kind: 'error'};
        say(text, 'error');
        // Back to the controls; a result of this image made by them stays on show.
        if (!state.after || state.after.kind === 'apply')
            state.carry = text;
        useControls(false);
        return;
    }
    state.lastStatus = {text: error, kind: 'error'};
    say(error, 'error');
}

function showResult(job, msg) {
    const image = job.image;
    const pixels = new Uint8Array(msg.result);
    let after = job.after;
    if (after)
        after.pixels.give(pixels);
    if (image !== state.image)
        return;
    const {width, height} = image;
    const overview = overviewCanvas(msg.overview);
    if (!overview) {
        dropResult();
        view.setAfter(null);
        say(memoryMessage(width * height * 4), 'error');
        return;
    }
    if (!after)
        after = {image, pixels: new Travelling(pixels)};
    Object.assign(after, {command: job.command, transform: msg.transform, kind: job.kind,
        picture: picture(width, height, overview, msg.overview.factor,
            () => after.pixels.bytes)});
    state.after = after;
    view.setAfter(after.picture);
    page.onResult(pixels, width, height);
    showCommand(job.command);
    el.savePng.disabled = false;
    el.saveTransform.disabled = !msg.transform;
    const what = job.kind === 'apply' ? 'Applied the transform to' : 'Stretched';
    const time = msg.milliseconds < 1000
        ? `${Math.round(msg.milliseconds)} ms`
        : `${(msg.milliseconds / 1000).toFixed(1)} s`;
    let text = [`${what} ${image.name} (${width} × ${height}) in ${time}.`, ...image.notes]
        .join(' ');
    if (state.carry)
        text = `${state.carry} ${text}`;
    state.carry = '';
    state.lastStatus = {text, kind: 'done'};
    say(text, 'done');
}

// ---- Images

function isImageFile(file) {
    return /^image\/(png|jpeg|webp)$/.test(file.type) || /\.(png|jpe?g|webp)$/i.test(file.name);
}

// What the status line says of an image beside its result.
function imageNotes(info, decoded, translucent) {
    const notes = [];
    if (info.type === 'image/png' && info.depth === 16)
        notes.push('The browser reduced this 16-bit PNG to 8 bits a channel, so the result ' +
            'is 8-bit; veltrane stretch keeps its 16 bits.');
    if (decoded.method === 'canvas')
        notes.push('This browser has neither WebCodecs’ ImageDecoder nor WebGL 2, so the ' +
            'image was read through its canvas' + (translucent
            ? ', which changes the colours of transparent pixels: there the result may differ ' +
                'from the command line’s.'
            : '; an opaque image comes through unchanged.'));
    return notes;
}

// The newest image asked for: an image that finishes decoding after a later one was
// opened is dropped.
let opening = 0;

async function openImage(file) {
    const generation = ++opening;
    const stale = () => generation !== opening;
    if (!isImageFile(file)) {
        say(`${file.name || 'This file'} is not a PNG, JPEG or WebP image.`, 'error');
        return;
    }
    const name = file.name || 'image.png';
    const damaged = `${name} could not be decoded: the file is damaged or in a form this ` +
        'browser does not read.';
    say(`Opening ${name}…`, 'busy');
    let bytes;
    try {
        bytes = new Uint8Array(await file.arrayBuffer());
    } catch (e) {
        if (!stale())
            say(`${name} could not be read (${Math.ceil(file.size / MB)} MB).`, 'error');
        return;
    }
    if (stale())
        return;
    // The size first: a browser asked for more than it holds may fail without a reason, or
    // hand back a blank canvas.
    const info = readHeader(bytes);
    if (!info) {
        say(damaged, 'error');
        return;
    }
    const problem = sizeProblem(info.width, info.height);
    if (problem) {
        say(`${name}: ${problem}`, 'error');
        return;
    }
    let decoded;
    try {
        decoded = await decodeImage(bytes, info);
        bytes = null;
        if (stale())
            return;
    } catch (e) {
        if (!stale())
            say(e instanceof DecodeError ? damaged : memoryMessage(info.width * info.height * 4),
                'error');
        return;
    }
    if (!decoded) {
        say(`${name}: this browser made its canvas of ${info.width} × ${info.height} pixels ` +
            'without pixels (too large for it, or no memory left). The command line ' +
            '(veltrane stretch) takes it.', 'error');
        return;
    }
    const {width, height, pixels, orientation} = decoded;
    let translucent = false;
    let masked = false;
    for (let i = 3; i < pixels.length; i += 4)
        if (pixels[i] !== 255) {
            translucent = true;
            if (pixels[i] === 0) {
                masked = true;
                break;
            }
        }
    const small = self.vtOverview.reduce(pixels, width, height);
    const overview = overviewCanvas(small);
    if (!overview) {
        say(memoryMessage(width * height * 4), 'error');
        return;
    }
    // A rectangle typed or drawn on the previous image stays only when it fits this one.
    const rect = el.sample.value.split(',').map(Number);
    if (rect.length === 4 && (rect[0] + rect[2] > width || rect[1] + rect[3] > height))
        el.sample.value = '';
    const original = new Travelling(pixels);
    state.image = {serial: ++state.serial, name, width, height, original,
        get pixels() {
            return original.bytes;
        },
        picture: picture(width, height, overview, small.factor, () => original.bytes),
        translucent, masked, orientation, notes: imageNotes(info, decoded, translucent)};
    dropResult();
    view.setImages(state.image.picture, null, width, height);
    page.onImage();
    update(0);
}

// The command line, and when the file is stored turned a note of how the command sees it.
function showCommand(command) {
    el.command.textContent = command;
    const image = state.image;
    const o = image ? image.orientation : 1;
    el.commandNote.hidden = o === 1;
    if (o !== 1)
        el.commandNote.textContent = `The command line reads ${image.name} as the file ` +
            `stores it, ${ORIENTATION_WORDS[o]} (EXIF orientation ${o}); this page shows it ` +
            'turned upright. So --sample is given above in the stored pixels, and the ' +
            'command’s result keeps the orientation tag: viewers show it upright, as here.';
}

// ---- Controls

function fields() {
    const values = {
        method: el.form.elements.method.value,
        basis: el.basis.value,
        pairing: el.pairing.value,
        space: el.space.value,
    };
    for (const name of TEXT_FIELDS)
        values[name] = el[name].value;
    return values;
}

function showErrors(errors) {
    const ids = {targetMean: 'target-mean', targetSigma: 'target-sigma', keep: 'keep', clip: 'clip',
        sample: 'sample'};
    for (const [name, id] of Object.entries(ids)) {
        const message = errors[name] || '';
        $(`${id}-error`).textContent = message;
        if (message)
            el[name].setAttribute('aria-invalid', 'true');
        else
            el[name].removeAttribute('aria-invalid');
    }
}

function syncControls() {
    const target = el.form.elements.method.value === 'target';
    el.targetMean.disabled = !target;
    el.targetSigma.disabled = !target;
    el.pairing.disabled = target;
}

let timer = 0;

// Reads the controls after `delay` ms (typing) and asks for a new result when they changed.
function update(delay = 0, force = false) {
    clearTimeout(timer);
    timer = setTimeout(() => apply(force), delay);
}

function apply(force) {
    syncControls();
    const image = state.image;
    if (state.transform) {
        if (image && (force || state.lastSerial !== image.serial))
            request('apply', state.transform.text,
                commandLine(image.name, [], state.transform.name));
        return;
    }
    const settings = image
        ? readSettings(fields(), image.width, image.height,
            (rect) => storedRect(rect, image.orientation, image.width, image.height))
        : readSettings(fields(), Infinity, Infinity);
    showErrors(settings.errors);
    if (!settings.options) {
        say('Correct the marked field: the result stays as it was.', 'error');
        return;
    }
    view.setSample(settings.options.sample);
    const command = commandLine(image ? image.name : 'photo.png', settings.args);
    if (!image) {
        showCommand(command);
        return;
    }
    const text = JSON.stringify(settings.options);
    if (!force && text === state.lastText && state.lastSerial === image.serial) {
        // Nothing changed (the change event after the typing that made it, or a field
        // corrected back): the last result stands.
        if (!engine.busy && !engine.pending && state.lastStatus)
            say(state.lastStatus.text, state.lastStatus.kind);
        return;
    }
    request('stretch', text, command);
}

function resetControls() {
    el.form.elements.method.value = DEFAULTS.method;
    el.basis.value = DEFAULTS.basis;
    el.pairing.value = DEFAULTS.pairing;
    el.space.value = DEFAULTS.space;
    for (const name of TEXT_FIELDS)
        el[name].value = DEFAULTS[name];
    update(0);
}

// ---- Saved transforms

function summarise(doc) {
    const parts = [];
    if (doc.method)
        parts.push(`${doc.method} method`);
    if (doc.basis)
        parts.push(`${doc.basis} basis`);
    if (doc.space)
        parts.push(`space ${doc.space}`);
    if (Array.isArray(doc.keep) && doc.keep.length)
        parts.push(`kept bands ${doc.keep.join(',')}`);
    if (Array.isArray(doc.clip))
        parts.push(`clip ${doc.clip.join(',')}`);
    return parts.length ? `(${parts.join(', ')})` : '';
}

async function loadTransform(file) {
    if (file.size > 4 * MB) {
        say(`${file.name} is too large to be a saved transform.`, 'error');
        return;
    }
    let text;
    let doc;
    try {
        text = await file.text();
        doc = JSON.parse(text);
    } catch (e) {
        say(`${file.name} is not a saved transform: it is not JSON.`, 'error');
        return;
    }
    if (!doc || doc.format !== 'veltrane-transform') {
        say(`${file.name} is not a saved transform (a JSON file that stretch or ` +
            'Save transform writes).', 'error');
        return;
    }
    state.transform = {name: file.name, text, summary: summarise(doc)};
    el.noticeName.textContent = file.name;
    el.noticeSummary.textContent = state.transform.summary;
    el.notice.hidden = false;
    el.engine.disabled = true;
    el.form.classList.add('transform-in-use');
    if (state.image)
        update(0, true);
    else
        say(`Transform ${file.name} loaded: open an image to apply it.`, 'done');
}

// Back to the controls; rerun tells whether to stretch with them at once.
function useControls(rerun = true) {
    state.transform = null;
    el.notice.hidden = true;
    el.engine.disabled = false;
    el.form.classList.remove('transform-in-use');
    if (rerun || !state.after || state.after.kind === 'apply')
        update(0, true);
    else
        showCommand(state.after.command);
}

// ---- Saving

// A saved PNG is as large as the result compressed, and the browser keeps it while its address
// lives: it goes once the download has surely begun (a few seconds), or at the next save.
let lastDownload = null;

function forget(url) {
    if (lastDownload && lastDownload.url === url) {
        clearTimeout(lastDownload.timer);
        URL.revokeObjectURL(url);
        lastDownload = null;
    }
}

function download(blob, name) {
    if (lastDownload)
        forget(lastDownload.url);
    const url = URL.createObjectURL(blob);
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    lastDownload = {url, timer: setTimeout(() => forget(url), 10000)};
}

// The PNG of width x height RGBA bytes. A canvas holds its pixels premultiplied, so its own
// PNG changes the colours of transparent pixels: it writes only where the browser cannot
// compress.
async function pngOf(bytes, width, height) {
    if (canEncodePng())
        return encodePng(bytes, width, height);
    const canvas = pixelCanvas(width, height);
    if (!canvas)
        throw new Error('no canvas');
    canvas.getContext('2d').putImageData(new ImageData(
        new Uint8ClampedArray(bytes.buffer, bytes.byteOffset, bytes.length), width, height), 0, 0);
    if (canvas.convertToBlob)
        return canvas.convertToBlob({type: 'image/png'});
    return new Promise((resolve, reject) => canvas.toBlob(
        (b) => (b ? resolve(b) : reject(new Error('no blob'))), 'image/png'));
}

// The result's bytes stay here until its PNG is made (a new request waits for them): the PNG
// is of the result on show when they are, which, when they were away, is the newest one.
async function savePng() {
    const after = state.after;
    if (!after)
        return;
    const {width, height, name} = after.image;
    // The last PNG goes before the next is made.
    if (lastDownload)
        forget(lastDownload.url);
    try {
        const blob = await after.pixels.hold((bytes) => pngOf(bytes, width, height));
        download(blob, resultName(name));
        say(`Saved ${resultName(name)}.`, 'done');
    } catch (e) {
        say('The PNG could not be made: the browser ran out of memory for it.', 'error');
    }
}

function saveTransform() {
    if (!state.after || !state.after.transform)
        return;
    const name = transformName(state.image.name);
    download(new Blob([state.after.transform], {type: 'application/json'}), name);
    say(`Saved ${name}: Load transform applies it to another image.`, 'done');
}

// ---- Wiring

function zoomText(scale) {
    const percent = scale * 100;
    el.zoomLevel.textContent = `${percent < 10 ? percent.toFixed(1) : Math.round(percent)} %`;
}

const view = new CompareView({view: el.view, canvas: el.canvas, divider: el.divider}, {
    onZoom: zoomText,
    onSample: (rect) => {
        el.sample.value = rect.join(',');
        view.setSampleMode(false);
        update(0);
    },
    onSampleMode: (on) => {
        el.sampleMode.setAttribute('aria-pressed', on ? 'true' : 'false');
        if (on)
            say('Drag a rectangle on the image: its pixels give the statistics. Esc leaves.');
    },
});

el.open.addEventListener('click', () => el.file.click());
el.file.addEventListener('change', () => {
    if (el.file.files.length)
        openImage(el.file.files[0]);
    el.file.value = '';
});
el.loadTransform.addEventListener('click', () => el.transformFile.click());
el.transformFile.addEventListener('change', () => {
    if (el.transformFile.files.length)
        loadTransform(el.transformFile.files[0]);
    el.transformFile.value = '';
});
el.noticeStop.addEventListener('click', () => useControls(true));
el.savePng.addEventListener('click', savePng);
el.saveTransform.addEventListener('click', saveTransform);
el.zoomIn.addEventListener('click', () => view.zoomBy(1.25));
el.zoomOut.addEventListener('click', () => view.zoomBy(0.8));
el.zoomFit.addEventListener('click', () => view.fit());
el.zoomOne.addEventListener('click', () => view.zoomTo(1));
el.sampleMode.addEventListener('click', () => view.setSampleMode(!view.sampleMode));
el.sampleClear.addEventListener('click', () => {
    el.sample.value = '';
    update(0);
});
el.reset.addEventListener('click', resetControls);
el.copy.addEventListener('click', async () => {
    const text = el.command.textContent;
    try {
        await navigator.clipboard.writeText(text);
        say('Copied the command line.', 'done');
    } catch (e) {
        const range = document.createRange();
        range.selectNodeContents(el.command);
        getSelection().removeAllRanges();
        getSelection().addRange(range);
        say('The command line is selected: copy it with the keyboard.');
    }
});

el.form.addEventListener('submit', (e) => {
    e.preventDefault();
    update(0);
});
el.form.addEventListener('input', (e) => {
    if (e.target.matches('input[type=text]'))
        update(TYPING_DELAY);
});
el.form.addEventListener('change', (e) => {
    if (e.target.name === 'method' && e.target.value === 'target' &&
        !el.targetMean.value.trim() && !el.targetSigma.value.trim())
        el.targetSigma.value = '50';
    update(0);
});

// Dropping anywhere on the page: an image opens, a JSON file is a saved transform.
document.addEventListener('dragover', (e) => {
    if (e.dataTransfer && [...e.dataTransfer.types].includes('Files')) {
        e.preventDefault();
        e.dataTransfer.dropEffect = 'copy';
        el.view.classList.add('dragging');
    }
});
document.addEventListener('dragleave', (e) => {
    if (!e.relatedTarget)
        el.view.classList.remove('dragging');
});
document.addEventListener('drop', (e) => {
    el.view.classList.remove('dragging');
    const file = e.dataTransfer && e.dataTransfer.files[0];
    if (!file)
        return;
    e.preventDefault();
    if (/\.json$/i.test(file.name) || file.type === 'application/json')
        loadTransform(file);
    else
        openImage(file);
});
document.addEventListener('paste', (e) => {
    const file = e.clipboardData && e.clipboardData.files[0];
    if (file && file.type.startsWith('image/')) {
        e.preventDefault();
        openImage(file);
    }
});

// Shortcuts, when no text field has the keyboard.
document.addEventListener('keydown', (e) => {
    if (e.defaultPrevented || e.ctrlKey || e.metaKey || e.altKey)
        return;
    if (e.target.closest('input, select, textarea'))
        return;
    const actions = {
        o: () => el.file.click(),
        s: () => view.before && view.setSampleMode(!view.sampleMode),
        '+': () => view.zoomBy(1.25),
        '=': () => view.zoomBy(1.25),
        '-': () => view.zoomBy(0.8),
        0: () => view.fit(),
        1: () => view.zoomTo(1),
        '[': () => view.moveDivider(view.split - 0.05),
        ']': () => view.moveDivider(view.split + 0.05),
        Escape: () => view.setSampleMode(false),
    };
    const action = actions[e.key];
    if (action) {
        action();
        e.preventDefault();
    }
});

// Offline use: the service worker keeps the page's own files, and only them, for this folder.
// Browsers run service workers (and install apps) only over HTTPS or from this computer.
el.insecure.hidden = window.isSecureContext;
if ('serviceWorker' in navigator && window.isSecureContext && location.protocol.startsWith('http'))
    navigator.serviceWorker.register('sw.js', {scope: './'}).catch(() => {});

// ---- What the camera (camera.js) and choosing by eye (tune.js) reach of the page; they set
// onImage (an image was opened) and onResult (its result is on show: RGBA pixels).
const page = {
    view,
    say,
    image: () => state.image,
    after: () => (state.after ? state.after.picture : null),
    afterPixels: () => (state.after ? state.after.pixels.bytes : null),
    transform: () => (state.transform ? state.transform.text : null),
    settings: () => {
        const image = state.image;
        return image
            ? readSettings(fields(), image.width, image.height,
                (rect) => storedRect(rect, image.orientation, image.width, image.height))
            : readSettings(fields(), Infinity, Infinity);
    },
    lastRequest: () => state.lastText,
    showCommand: (args) => showCommand(commandLine(state.image ? state.image.name : 'photo.png',
        args)),
    open: openImage,
    onImage: () => {},
    onResult: () => {},
};
// They load apart, so that the page works without them: offline, parts the service worker
// never kept are left out rather than asked of the network.
const PARTS = ['tune.js', 'camera.js', 'preview.js', 'live-gl.js', 'live.css'];
const kept = (file) => navigator.onLine || !window.caches ||
    caches.match(file, {ignoreSearch: true}).then(Boolean, () => false);
Promise.all(PARTS.map(kept)).then(async (found) => {
    if (!found.every(Boolean))
        return;
    document.head.append(Object.assign(document.createElement('link'),
        {rel: 'stylesheet', href: 'live.css'}));
    const [tune, camera] = await Promise.all([import('./tune.js'), import('./camera.js')]);
    tune.installTune(page);
    camera.installCamera(page);
}).catch((e) => console.warn(`The camera and the sliders are missing: ${e.message}`));
// ---- end of what they reach

zoomText(1);
syncControls();
update(0);
// The engine loads while the user picks an image.
startWorker();
