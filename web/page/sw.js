// Keeps the page working offline: every request goes to the network first, and what it
// brings is kept; without a network the kept copy answers.
'use strict';

const CACHE = 'veltrane-page-1';
const FILES = ['./', 'index.html', 'help.html', 'style.css', 'app.js', 'options.js', 'view.js',
    'worker.js', 'icon.svg', 'veltrane.js', 'veltrane.wasm'];

self.addEventListener('install', (e) => {
    e.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (e) => {
    e.waitUntil(caches.keys()
        .then((keys) => Promise.all(keys.filter((k) => k !== CACHE).map((k) => caches.delete(k))))
        .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (e) => {
    const request = e.request;
    if (request.method !== 'GET' || new URL(request.url).origin !== self.location.origin)
        return;
    e.respondWith(fetch(request).then((response) => {
        if (response.ok) {
            const copy = response.clone();
            caches.open(CACHE).then((cache) => cache.put(request, copy));
        }
        return response;
    }, () => caches.match(request, {ignoreSearch: true}).then((hit) => hit ||
        new Response('Offline, and this file was not kept.', {status: 503}))));
});
