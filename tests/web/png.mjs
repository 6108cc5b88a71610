// A small PNG reader for the page's test: 8-bit grey, grey+alpha, RGB, RGBA and palette
// images without interlacing, returned as packed RGBA. Written apart from the browser and
// from libvips, so that it can judge the files both write.
import zlib from 'node:zlib';

const SIGNATURE = Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]);
const CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4};

export function readPng(bytes) {
    const buf = Buffer.from(bytes);
    if (!buf.subarray(0, 8).equals(SIGNATURE))
        throw new Error('not a PNG file');
    let width = 0, height = 0, depth = 0, colour = 0, interlace = 0, palette = null, alpha = null;
    const data = [];
    for (let at = 8; at < buf.length;) {
        const length = buf.readUInt32BE(at);
        const type = buf.toString('latin1', at + 4, at + 8);
        const body = buf.subarray(at + 8, at + 8 + length);
        if (type === 'IHDR') {
            width = body.readUInt32BE(0);
            height = body.readUInt32BE(4);
            [depth, colour] = [body[8], body[9]];
            interlace = body[12];
        } else if (type === 'PLTE') {
            palette = body;
        } else if (type === 'tRNS') {
            alpha = body;
        } else if (type === 'IDAT') {
            data.push(body);
        } else if (type === 'IEND') {
            break;
        }
        at += 12 + length;
    }
    if (depth !== 8 || interlace !== 0 || !(colour in CHANNELS))
        throw new Error(`unsupported PNG (depth ${depth}, colour type ${colour}, interlace ${interlace})`);
    const n = CHANNELS[colour];
    const raw = zlib.inflateSync(Buffer.concat(data));
    const stride = width * n;
    const rows = Buffer.alloc(stride * height);
    for (let y = 0; y < height; ++y) {
        const filter = raw[y * (stride + 1)];
        const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
        for (let x = 0; x < stride; ++x) {
            const a = x >= n ? rows[y * stride + x - n] : 0;
            const b = y > 0 ? rows[(y - 1) * stride + x] : 0;
            const c = x >= n && y > 0 ? rows[(y - 1) * stride + x - n] : 0;
            let p = 0;
            if (filter === 1) p = a;
            else if (filter === 2) p = b;
            else if (filter === 3) p = (a + b) >> 1;
            else if (filter === 4) {
                const e = a + b - c;
                const [da, db, dc] = [Math.abs(e - a), Math.abs(e - b), Math.abs(e - c)];
                p = da <= db && da <= dc ? a : db <= dc ? b : c;
            } else if (filter !== 0) throw new Error(`bad PNG filter ${filter}`);
            rows[y * stride + x] = (line[x] + p) & 255;
        }
    }
    const rgba = Buffer.alloc(width * height * 4);
    for (let i = 0; i < width * height; ++i) {
        const s = rows.subarray(i * n, i * n + n);
        let px;
        if (colour === 0) px = [s[0], s[0], s[0], 255];
        else if (colour === 4) px = [s[0], s[0], s[0], s[1]];
        else if (colour === 2) px = [s[0], s[1], s[2], 255];
        else if (colour === 6) px = [s[0], s[1], s[2], s[3]];
        else px = [...palette.subarray(s[0] * 3, s[0] * 3 + 3), alpha && s[0] < alpha.length ? alpha[s[0]] : 255];
        rgba.set(px, i * 4);
    }
    return {width, height, rgba};
}
