// The engine for what the page shows while something moves: stretches of small proxies (the
// camera's subsample, a screen-sized copy of the image while a slider is dragged) and the
// application of a fitted transform to camera frames. worker.js keeps the exact work on the
// full image; this one holds no image between messages.
//
// Messages from the page (pixels: an ArrayBuffer of packed RGBA, handed over):
//   {type: 'stretch', id, width, height, pixels, options}   options: the engine's JSON
//   {type: 'apply', id, width, height, pixels, transform}   transform: a transform's JSON
// Answers:
//   {type: 'ready'}
//   {type: 'done', id, pixels, transform, milliseconds}     pixels: the same buffer, mapped;
//                                                           transform: the fitted one (stretch)
//   {type: 'refused', id, message, pixels}                  pixels: the buffer, as it came
//   {type: 'fatal', message}                                the engine could not be loaded
'use strict';

let M = null;
let api = null;
let buffer = 0; // kept in the module's memory from one message to the next
let capacity = 0;

const ready = new Promise((resolve, reject) => {
    try {
        importScripts('veltrane.js');
    } catch (e) {
        reject(new Error('The stretch engine (veltrane.js) could not be loaded.'));
        return;
    }
    /* global VeltraneModule */
    VeltraneModule({print: () => {}, printErr: (text) => console.warn(text)}).then((module) => {
        M = module;
        const call = ['number', 'number', 'number', 'string'];
        api = {
            stretch: M.cwrap('vt_web_stretch', 'number', call),
            apply: M.cwrap('vt_web_apply', 'number', call),
            transform: M.cwrap('vt_web_transform', 'string', []),
            message: M.cwrap('vt_web_message', 'string', []),
        };
        resolve();
    }, (e) => reject(new Error('The stretch engine (veltrane.wasm) could not be started: ' +
        (e && e.message ? e.message : String(e)))));
});

ready.then(() => self.postMessage({type: 'ready'}),
    (e) => self.postMessage({type: 'fatal', message: e.message}));

function room(bytes) {
    if (bytes > capacity) {
        if (buffer)
            M._free(buffer);
        buffer = M._malloc(bytes);
        capacity = buffer ? bytes : 0;
        if (!buffer)
            throw new Error('The preview needs more memory than this browser can give the page.');
    }
    return buffer;
}

function run(msg) {
    const pixels = new Uint8Array(msg.pixels);
    const p = room(pixels.length);
    M.HEAPU8.set(pixels, p);
    const started = performance.now();
    const status = msg.type === 'apply'
        ? api.apply(p, msg.width, msg.height, msg.transform)
        : api.stretch(p, msg.width, msg.height, msg.options);
    if (status !== 0)
        return {type: 'refused', id: msg.id, message: api.message(), pixels: msg.pixels};
    const milliseconds = performance.now() - started;
    // The colour comes back; the alpha stays as it came (the engine leaves it alone).
    pixels.set(M.HEAPU8.subarray(p, p + pixels.length));
    return {type: 'done', id: msg.id, pixels: msg.pixels,
        transform: msg.type === 'apply' ? null : api.transform(), milliseconds};
}

self.onmessage = (e) => {
    const msg = e.data;
    ready.then(() => {
        const answer = run(msg);
        self.postMessage(answer, [answer.pixels]);
    }).catch((err) => {
        self.postMessage({type: 'refused', id: msg.id, message: err.message, pixels: msg.pixels},
            msg.pixels && msg.pixels.byteLength ? [msg.pixels] : []);
    });
};
