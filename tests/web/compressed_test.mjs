// The compressed copies the web build puts beside the page's files: every text file and the
// module has one per coding named on the command line, it decompresses (Node's zlib) to the
// file's bytes, and it is not older than the file, so that `veltrane serve` sends it.
// usage: node compressed_test.mjs PAGE_DIR gz [br]
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';

const [page, ...codings] = process.argv.slice(2);
const decompress = { gz: zlib.gunzipSync, br: zlib.brotliDecompressSync };
let failures = 0;
let checked = 0;
for (const name of fs.readdirSync(page)) {
    if (!/\.(html|js|css|svg|json|webmanifest|txt|wasm)$/.test(name)) continue;
    const file = path.join(page, name);
    const bytes = fs.readFileSync(file);
    for (const coding of codings) {
        const copy = `${file}.${coding}`;
        let problem = null;
        if (!fs.existsSync(copy))
            problem = 'missing';
        else if (!decompress[coding](fs.readFileSync(copy)).equals(bytes))
            problem = 'not the file\'s bytes';
        else if (fs.statSync(copy).mtimeMs < fs.statSync(file).mtimeMs)
            problem = 'older than the file';
        if (problem) {
            console.log(`${name}.${coding}: ${problem}`);
            ++failures;
        }
        ++checked;
    }
}
console.log(`${checked} copies checked, ${failures} wrong`);
process.exit(failures === 0 && checked > 0 ? 0 : 1);
