// Writes packed RGBA pixels as an 8-bit PNG, byte for byte: a canvas would store them with
// premultiplied alpha and give back other colours for partly and fully transparent pixels.

const CRC_TABLE = (() => {
    const table = new Uint32Array(256);
    for (let n = 0; n < 256; ++n) {
        let c = n;
        for (let k = 0; k < 8; ++k)
            c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
        table[n] = c >>> 0;
    }
    return table;
})();

export function crc32(bytes, crc = 0) {
    let c = ~crc;
    for (let i = 0; i < bytes.length; ++i)
        c = CRC_TABLE[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    return ~c >>> 0;
}

export function chunk(type, body) {
    const out = new Uint8Array(12 + body.length);
    const view = new DataView(out.buffer);
    view.setUint32(0, body.length);
    for (let i = 0; i < 4; ++i)
        out[4 + i] = type.charCodeAt(i);
    out.set(body, 8);
    view.setUint32(8 + body.length, crc32(out.subarray(4, 8 + body.length)));
    return out;
}

export const SIGNATURE = new Uint8Array([137, 80, 78, 71, 13, 10, 26, 10]);

// Whether this browser can write the PNG itself (it needs a deflate stream).
export const canEncodePng = () => typeof CompressionStream === 'function';

// IDAT chunks of the compressed stream as it comes, each of about a megabyte, as Blobs: the
// browser keeps them (out of the page's memory where it can), and no copy of the whole stream
// is ever made here.
async function idatChunks(readable) {
    const chunks = [];
    let pieces = [];
    let size = 0;
    const flush = () => {
        const head = new Uint8Array(8);
        new DataView(head.buffer).setUint32(0, size);
        head.set([73, 68, 65, 84], 4); // IDAT
        let crc = crc32(head.subarray(4));
        for (const piece of pieces)
            crc = crc32(piece, crc);
        const tail = new Uint8Array(4);
        new DataView(tail.buffer).setUint32(0, crc);
        chunks.push(new Blob([head, ...pieces, tail]));
        pieces = [];
        size = 0;
    };
    const reader = readable.getReader();
    for (;;) {
        const {done, value} = await reader.read();
        if (done)
            break;
        pieces.push(value);
        size += value.length;
        if (size >= 1 << 20)
            flush();
    }
    if (size || !chunks.length)
        flush();
    return chunks;
}

// A Blob of the PNG of width x height packed RGBA pixels: RGB when every pixel is opaque.
// Rows are filtered by their left neighbour ("sub") and compressed by the browser's zlib. The
// pixels must stay as they are until the promise settles.
export async function encodePng(rgba, width, height) {
    let opaque = true;
    for (let i = 3; i < rgba.length; i += 4)
        if (rgba[i] !== 255) {
            opaque = false;
            break;
        }
    const n = opaque ? 3 : 4;
    const header = new Uint8Array(13);
    const view = new DataView(header.buffer);
    view.setUint32(0, width);
    view.setUint32(4, height);
    header.set([8, opaque ? 2 : 6, 0, 0, 0], 8);

    const stream = new CompressionStream('deflate');
    const compressed = idatChunks(stream.readable);
    const writer = stream.writable.getWriter();
    const stride = width * n + 1;
    const rowsPerBlock = Math.max(1, Math.floor((1 << 22) / stride));
    // One block of filtered rows, filled again once the compressor has taken the last.
    const buffer = new Uint8Array(Math.min(rowsPerBlock, height) * stride);
    for (let y0 = 0; y0 < height; y0 += rowsPerBlock) {
        const rows = Math.min(rowsPerBlock, height - y0);
        const block = buffer.subarray(0, rows * stride);
        for (let r = 0; r < rows; ++r) {
            const out = r * stride;
            let src = (y0 + r) * width * 4;
            block[out] = 1;
            const prev = [0, 0, 0, 0];
            for (let x = 0, o = out + 1; x < width; ++x, src += 4)
                for (let c = 0; c < n; ++c, ++o) {
                    const v = rgba[src + c];
                    block[o] = (v - prev[c]) & 0xff;
                    prev[c] = v;
                }
        }
        await writer.write(block);
    }
    await writer.close();
    return new Blob([SIGNATURE, chunk('IHDR', header), ...await compressed,
        chunk('IEND', new Uint8Array(0))], {type: 'image/png'});
}
