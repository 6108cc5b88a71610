// The stretch runs here, off the page's thread, in the engine compiled to WebAssembly. The
// page keeps the image's pixels and its result's and hands them over for each request (no
// copy: they are transferred, and come back with the answer); the engine reads the image's
// rows and writes the result's a strip at a time through its memory, so that it never holds
// the image.
//
// Messages from the page:
//   {type: 'run', id, kind: 'stretch' | 'apply', text, width, height, masked, original, result}
//     text is the options' JSON (stretch) or a saved transform (apply); original: an
//     ArrayBuffer of the image's packed RGBA; result: one of the same size to write the result
//     into, or null (one is made); masked: some pixel is fully transparent.
// Messages to the page (original and result: the buffers, handed back):
//   {type: 'ready', version}
//   {type: 'progress', id, fraction, phase}
//   {type: 'result', id, original, result, overview: {width, height, factor, pixels},
//    transform, milliseconds}
//   {type: 'error', id, message, dead, original, result, spoilt}
//     dead: the engine stopped and this worker is spent; spoilt: the result buffer was written
//     in part (result is then null, as it is when the page sent none)
//   {type: 'fatal', message}             the engine could not be loaded at all
'use strict';

let M = null;
let api = null;
let current = 0; // the id of the request being computed, for progress messages
let dead = false;

const MB = 1024 * 1024;

class UserError extends Error {}

function memoryMessage(bytes) {
    return `This image needs ${Math.ceil(bytes / MB)} MB of memory, more than this browser ` +
        'can give the page.';
}

// What the page says when the engine's files do not arrive: the reason in the user's words
// (the module's own is for developers, and goes to the console).
const UNAVAILABLE = 'The page’s stretch engine could not be loaded: the server did not send ' +
    'all of the page’s files (or the connection dropped). Reload the page; if this stays, the ' +
    'page was installed without its engine and needs building or copying again.';

const UNSUPPORTED = 'The page’s stretch engine could not start in this browser: it needs ' +
    'WebAssembly and some hundreds of megabytes of memory. Close other tabs and reload, or ' +
    'use a current browser.';

const ready = new Promise((resolve, reject) => {
    try {
        importScripts('overview.js', 'veltrane.js');
    } catch (e) {
        console.warn(`veltrane.js: ${e.message}`);
        reject(new Error(UNAVAILABLE));
        return;
    }
    /* global VeltraneModule */
    VeltraneModule({
        print: () => {},
        printErr: (text) => console.warn(text),
        onAbort: () => {
            dead = true;
        },
    }).then((module) => {
        M = module;
        const call = ['number', 'number', 'number', 'number'];
        api = {
            stretch: M.cwrap('vt_web_stretch_rows', 'number', call),
            apply: M.cwrap('vt_web_apply_rows', 'number', call.slice(1)),
            transform: M.cwrap('vt_web_transform', 'string', []),
            message: M.cwrap('vt_web_message', 'string', []),
            version: M.cwrap('vt_web_version', 'string', []),
        };
        let last = {fraction: -1, phase: ''};
        M.onProgress = (fraction, phase) => {
            // A message for every whole per cent at most, and at each new phase.
            if (phase !== last.phase || fraction - last.fraction >= 0.01 || fraction >= 1) {
                last = {fraction, phase};
                self.postMessage({type: 'progress', id: current, fraction, phase});
            }
        };
        resolve();
    }, (e) => {
        console.warn(`veltrane.wasm: ${e && e.message ? e.message : e}`);
        // Missing, or there and refused by this browser.
        fetch('veltrane.wasm', {method: 'HEAD', cache: 'no-store'}).then((r) => r.ok, () => false)
            .then((there) => reject(new Error(there ? UNSUPPORTED : UNAVAILABLE)));
    });
});

ready.then(
    () => self.postMessage({type: 'ready', version: api.version()}),
    (e) => self.postMessage({type: 'fatal', message: e.message}));

// A string in the module's memory, NUL-terminated; 0 when there is no room.
function newString(text) {
    const bytes = new TextEncoder().encode(text);
    const p = M._malloc(bytes.length + 1);
    if (!p)
        throw new UserError(memoryMessage(bytes.length + 1));
    M.HEAPU8.set(bytes, p);
    M.HEAPU8[p + bytes.length] = 0;
    return p;
}

function run(msg) {
    const {width, height} = msg;
    const bytes = width * height * 4;
    const original = new Uint8Array(msg.original);
    if (original.length !== bytes)
        throw new UserError('The image arrived incomplete.');
    let result = msg.result && msg.result.byteLength === bytes ? new Uint8Array(msg.result) : null;
    if (!result) {
        try {
            result = new Uint8Array(bytes);
        } catch (e) {
            throw new UserError(memoryMessage(bytes));
        }
        msg.result = result.buffer;
        msg.made = true;
    }
    current = msg.id;
    const stride = width * 4;
    M.readRows = (y, rows, p) => M.HEAPU8.set(original.subarray(y * stride, (y + rows) * stride), p);
    M.writeRows = (y, rows, p) => {
        msg.spoilt = true;
        result.set(M.HEAPU8.subarray(p, p + rows * stride), y * stride);
    };
    const text = newString(msg.text);
    const started = performance.now();
    let status;
    try {
        status = msg.kind === 'apply'
            ? api.apply(width, height, text)
            : api.stretch(width, height, text, msg.masked ? 1 : 0);
    } finally {
        if (!dead)
            M._free(text);
    }
    if (status !== 0)
        throw new UserError(api.message() || 'The stretch failed.');
    const milliseconds = performance.now() - started;
    const overview = self.vtOverview.reduce(result, width, height);
    const transform = api.transform();
    self.postMessage({type: 'result', id: msg.id, original: msg.original, result: msg.result,
        overview: {width: overview.width, height: overview.height, factor: overview.factor,
            pixels: overview.pixels.buffer},
        transform, milliseconds}, [msg.original, msg.result, overview.pixels.buffer]);
}

let queue = Promise.resolve();

self.onmessage = (e) => {
    const msg = e.data;
    queue = queue.then(() => ready).then(() => {
        if (dead)
            throw new Error('the engine has stopped');
        run(msg);
    }).catch((err) => {
        // The page's pixels go back whatever happened; a result written in part is no result.
        const original = msg.original || null;
        const result = msg.spoilt || msg.made ? null : msg.result || null;
        const back = [original, result].filter((b) => b && b.byteLength);
        const reply = (message) => self.postMessage({type: 'error', id: msg.id, message, dead,
            original, result, spoilt: !!msg.spoilt}, back);
        if (!(err instanceof UserError)) {
            // A trap or an abort inside the module leaves it unusable.
            dead = true;
            if (!api) {
                reply(err.message);
                return;
            }
        }
        reply(err instanceof UserError
            ? err.message
            : `The stretch engine stopped (${err.message}). It starts again with the next change.`);
    });
};
