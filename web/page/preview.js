// The page's side of preview-worker.js: one worker for the camera and the sliders, started on
// first use. Each call answers a promise; a caller that only wants its newest answer keeps its
// own count (see Latest).

let worker = null;
let fatal = '';
let serial = 0;
const waiting = new Map();

function start() {
    worker = new Worker('preview-worker.js');
    worker.onmessage = (e) => {
        const msg = e.data;
        if (msg.type === 'fatal') {
            fatal = msg.message;
            for (const [, job] of waiting)
                job.reject(new Error(fatal));
            waiting.clear();
            return;
        }
        const job = waiting.get(msg.id);
        if (!job)
            return;
        waiting.delete(msg.id);
        if (msg.type === 'done')
            job.resolve(msg);
        else {
            const error = new Error(msg.message);
            error.pixels = msg.pixels;
            job.reject(error);
        }
    };
    worker.onerror = (e) => {
        e.preventDefault();
        fatal = 'The preview’s worker could not run' + (e.message ? `: ${e.message}` : '.');
        for (const [, job] of waiting)
            job.reject(new Error(fatal));
        waiting.clear();
    };
}

function send(message, pixels) {
    if (fatal)
        return Promise.reject(new Error(fatal));
    if (!worker)
        start();
    const id = ++serial;
    return new Promise((resolve, reject) => {
        waiting.set(id, {resolve, reject});
        worker.postMessage({...message, id, pixels: pixels.buffer}, [pixels.buffer]);
    });
}

// Fits a stretch to width x height RGBA pixels (handed over) with the engine's options (an
// object) and maps them: {pixels: ArrayBuffer, transform: its JSON, milliseconds}.
export function stretchPixels(width, height, pixels, options) {
    return send({type: 'stretch', width, height, options: JSON.stringify(options)}, pixels);
}

// Maps the pixels (handed over) through a transform's JSON: {pixels, milliseconds}.
export function applyTransform(width, height, pixels, transform) {
    return send({type: 'apply', width, height, transform}, pixels);
}

// Starts the worker ahead of its first use, so that the engine is loaded when it is needed.
export function warmUp() {
    if (!worker && !fatal)
        start();
}

// Keeps one request running and the newest one waiting: run(task) calls task() now when
// nothing runs, else after the running one, dropping any task that was waiting.
export class Latest {
    constructor() {
        this.running = false;
        this.next = null;
    }

    run(task) {
        if (this.running) {
            this.next = task;
            return;
        }
        this.running = true;
        Promise.resolve().then(task).catch(() => {}).finally(() => {
            this.running = false;
            const next = this.next;
            this.next = null;
            if (next)
                this.run(next);
        });
    }
}
