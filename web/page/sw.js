// Keeps the page working offline: the page's own files, the versioned list below, are kept
// when this worker installs; a request for one of them goes to the network first and is
// answered from the kept copy when the network fails. Nothing else is touched: the worker
// answers only for its own folder's listed files (other pages of the same server pass by),
// and keeps and drops only its own caches.
'use strict';

// Both stamped by the build (web/StampServiceWorker.cmake): a hash of the files' contents,
// so that any change to the page installs a new worker with a new cache.
const VERSION = 'unstamped';
const FILES = ['./', 'index.html', 'help.html', 'style.css', 'app.js', 'options.js', 'view.js',
    'imagefile.js', 'decode.js', 'png.js', 'worker.js', 'icon.svg', 'veltrane.js', 'veltrane.wasm'];

// Caches are shared by every page of the origin: each name holds this folder.
const SCOPE = self.registration.scope;
const PREFIX = `veltrane ${SCOPE} `;
const CACHE = PREFIX + VERSION;
const OWN = new Set(FILES.map((f) => new URL(f, self.location).href));

self.addEventListener('install', (e) => {
    e.waitUntil(caches.open(CACHE)
        .then((cache) => cache.addAll(FILES.map((f) => new Request(f, {cache: 'reload'}))))
        .then(() => self.skipWaiting()));
});

self.addEventListener('activate', (e) => {
    // This folder's older versions, and the cache of the first version, which had one name.
    const old = (k) => (k.startsWith(PREFIX) && k !== CACHE) || k === 'veltrane-page-1';
    e.waitUntil(caches.keys()
        .then((keys) => Promise.all(keys.filter(old).map((k) => caches.delete(k))))
        .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (e) => {
    const request = e.request;
    if (request.method !== 'GET')
        return;
    const url = new URL(request.url);
    url.search = '';
    url.hash = '';
    if (!OWN.has(url.href))
        return;
    e.respondWith(fetch(request).catch(() => caches.open(CACHE)
        .then((cache) => cache.match(url.href))
        .then((kept) => kept || Response.error())));
});
