// The stretch runs here, off the page's thread, in the engine compiled to WebAssembly.
//
// Messages from the page:
//   {type: 'run', id, kind: 'stretch' | 'apply', text, image?: {width, height, pixels}}
//     text is the options' JSON (stretch) or a saved transform (apply); image, when given,
//     replaces the image kept here (pixels: an ArrayBuffer of packed RGBA, handed over).
// Messages to the page:
//   {type: 'ready', version}
//   {type: 'progress', id, fraction, phase}
//   {type: 'result', id, pixels, transform, milliseconds}   (pixels: RGBA, handed over)
//   {type: 'error', id, message, dead}   dead: the engine stopped and this worker is spent
//   {type: 'fatal', message}             the engine could not be loaded at all
'use strict';

let M = null;
let api = null;
let image = null; // {width, height, original: Uint8Array, work: pointer, translucent}
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
        importScripts('veltrane.js');
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
            stretch: M.cwrap('vt_web_stretch', 'number', call),
            apply: M.cwrap('vt_web_apply', 'number', call),
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

function dropImage() {
    if (image && image.work)
        M._free(image.work);
    image = null;
}

function setImage({width, height, pixels}) {
    dropImage();
    const original = new Uint8Array(pixels);
    const bytes = width * height * 4;
    if (original.length !== bytes)
        throw new UserError('The image arrived incomplete.');
    const work = M._malloc(bytes);
    if (!work)
        throw new UserError(memoryMessage(bytes));
    let translucent = false;
    for (let i = 3; i < bytes; i += 4)
        if (original[i] !== 255) {
            translucent = true;
            break;
        }
    image = {width, height, original, work, translucent};
}

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
    if (msg.image)
        setImage(msg.image);
    if (!image)
        throw new UserError('No image to work on.');
    const {width, height, original, work} = image;
    const bytes = original.length;
    current = msg.id;
    const text = newString(msg.text);
    const started = performance.now();
    let status;
    try {
        M.HEAPU8.set(original, work);
        status = (msg.kind === 'apply' ? api.apply : api.stretch)(work, width, height, text);
    } finally {
        if (!dead)
            M._free(text);
    }
    if (status !== 0)
        throw new UserError(api.message() || 'The stretch failed.');
    const milliseconds = performance.now() - started;
    // The memory may have grown during the call: read the current view of it.
    const out = M.HEAPU8.slice(work, work + bytes);
    if (image.translucent)
        for (let i = 3; i < bytes; i += 4)
            out[i] = original[i];
    const transform = api.transform();
    self.postMessage({type: 'result', id: msg.id, pixels: out.buffer, transform, milliseconds},
        [out.buffer]);
}

let queue = Promise.resolve();

self.onmessage = (e) => {
    const msg = e.data;
    queue = queue.then(() => ready).then(() => {
        if (dead)
            throw new Error('the engine has stopped');
        run(msg);
    }).catch((err) => {
        if (!(err instanceof UserError)) {
            // A trap or an abort inside the module leaves it unusable.
            dead = true;
            if (!api) {
                self.postMessage({type: 'error', id: msg.id, message: err.message, dead: true});
                return;
            }
        }
        const message = err instanceof UserError
            ? err.message
            : `The stretch engine stopped (${err.message}). It starts again with the next change.`;
        self.postMessage({type: 'error', id: msg.id, message, dead});
    });
};
