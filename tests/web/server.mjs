// A static file server for the page's test, with the headers `veltrane serve` sends, so that
// anything the page's policy forbids shows as a console error here too.
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';

export const POLICY = "default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; " +
    "img-src 'self' blob: data:; style-src 'self'; connect-src 'self'; " +
    "worker-src 'self' blob:; object-src 'none'";

const TYPES = {
    '.html': 'text/html; charset=utf-8',
    '.js': 'text/javascript; charset=utf-8',
    '.mjs': 'text/javascript; charset=utf-8',
    '.css': 'text/css; charset=utf-8',
    '.wasm': 'application/wasm',
    '.svg': 'image/svg+xml',
    '.png': 'image/png',
    '.json': 'application/json',
    '.webmanifest': 'application/manifest+json',
};

// Serves `root` on 127.0.0.1 at a free port under the path `folder` ('/tools/page/': the
// page's address is then url + 'tools/page/'), and `others` ({path: [type, text]}) beside it,
// as another site's files on the same server; resolves to {url, close}.
export function serve(root, folder = '/', others = {}) {
    const server = http.createServer((req, res) => {
        let name = decodeURIComponent(new URL(req.url, 'http://x').pathname);
        if (name in others) {
            res.writeHead(200, {'Content-Type': others[name][0], 'Cache-Control': 'no-cache'})
                .end(others[name][1]);
            return;
        }
        if (!name.startsWith(folder)) {
            res.writeHead(404, {'Content-Type': 'text/plain'}).end('not found');
            return;
        }
        name = '/' + name.slice(folder.length);
        if (name.endsWith('/'))
            name += 'index.html';
        const file = path.join(root, path.normalize(name));
        if (!file.startsWith(path.resolve(root) + path.sep)) {
            res.writeHead(403).end();
            return;
        }
        fs.readFile(file, (err, data) => {
            if (err) {
                res.writeHead(404, {'Content-Type': 'text/plain'}).end('not found');
                return;
            }
            res.writeHead(200, {
                'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
                'Content-Security-Policy': POLICY,
                'Cache-Control': 'no-cache',
            }).end(data);
        });
    });
    return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve({
        url: `http://127.0.0.1:${server.address().port}/`,
        close: () => new Promise((done) => server.close(done)),
    })));
}
