// What an image file says before it is decoded: its format, size, bits a channel and EXIF
// orientation, read from the header. Pure functions of the bytes, no DOM, so that the page
// knows whether the browser can hold an image before asking it to decode one.

const ascii = (b, at, n) => String.fromCharCode(...b.subarray(at, at + n));
const u16be = (b, at) => (b[at] << 8) | b[at + 1];
const u32be = (b, at) => ((b[at] << 24) >>> 0) + (b[at + 1] << 16) + (b[at + 2] << 8) + b[at + 3];
const u16le = (b, at) => b[at] | (b[at + 1] << 8);
const u24le = (b, at) => b[at] | (b[at + 1] << 8) | (b[at + 2] << 16);
const u32le = (b, at) => (b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) + b[at + 3] * 0x1000000;

// The orientation tag (0x0112) of the first directory of a TIFF block (EXIF's body); 1 when
// the block is absent, damaged or without the tag.
export function exifOrientation(tiff) {
    if (!tiff || tiff.length < 8)
        return 1;
    // Some writers keep the APP1 marker's "Exif\0\0" in front.
    if (ascii(tiff, 0, 4) === 'Exif')
        tiff = tiff.subarray(6);
    const little = ascii(tiff, 0, 2) === 'II';
    if (!little && ascii(tiff, 0, 2) !== 'MM')
        return 1;
    const u16 = (at) => (little ? u16le(tiff, at) : u16be(tiff, at));
    const u32 = (at) => (little ? u32le(tiff, at) : u32be(tiff, at));
    if (u16(2) !== 42)
        return 1;
    const ifd = u32(4);
    if (ifd + 2 > tiff.length)
        return 1;
    const count = u16(ifd);
    for (let i = 0; i < count; ++i) {
        const entry = ifd + 2 + 12 * i;
        if (entry + 12 > tiff.length)
            break;
        if (u16(entry) === 0x0112) {
            const value = u16(entry + 8);
            return value >= 1 && value <= 8 ? value : 1;
        }
    }
    return 1;
}

function readPng(b) {
    if (b.length < 33 || ascii(b, 12, 4) !== 'IHDR')
        return null;
    const info = {type: 'image/png', width: u32be(b, 16), height: u32be(b, 20), depth: b[24],
        orientation: 1};
    for (let at = 8; at + 8 <= b.length;) {
        const length = u32be(b, at);
        const kind = ascii(b, at + 4, 4);
        if (kind === 'eXIf')
            info.orientation = exifOrientation(b.subarray(at + 8, at + 8 + length));
        if (kind === 'IDAT' || kind === 'IEND')
            break;
        at += 12 + length;
    }
    return info;
}

const JPEG_FRAMES = new Set([0xc0, 0xc1, 0xc2, 0xc3, 0xc5, 0xc6, 0xc7, 0xc9, 0xca, 0xcb, 0xcd,
    0xce, 0xcf]);

function readJpeg(b) {
    const info = {type: 'image/jpeg', width: 0, height: 0, depth: 8, orientation: 1};
    for (let at = 2; at + 4 <= b.length;) {
        if (b[at] !== 0xff)
            return null;
        const marker = b[at + 1];
        if (marker === 0xff) { // fill bytes
            ++at;
            continue;
        }
        if (marker === 0xd8 || (marker >= 0xd0 && marker <= 0xd7) || marker === 0x01) {
            at += 2;
            continue;
        }
        const length = u16be(b, at + 2);
        const body = b.subarray(at + 4, at + 2 + length);
        if (marker === 0xe1 && ascii(body, 0, 6) === 'Exif\0\0' && info.orientation === 1)
            info.orientation = exifOrientation(body.subarray(6));
        else if (JPEG_FRAMES.has(marker) && body.length >= 5) {
            info.depth = body[0];
            info.height = u16be(body, 1);
            info.width = u16be(body, 3);
            return info;
        } else if (marker === 0xda || marker === 0xd9)
            break;
        at += 2 + length;
    }
    return null;
}

function readWebp(b) {
    const info = {type: 'image/webp', width: 0, height: 0, depth: 8, orientation: 1};
    let sized = false;
    for (let at = 12; at + 8 <= b.length;) {
        const kind = ascii(b, at, 4);
        const length = u32le(b, at + 4);
        const body = b.subarray(at + 8, at + 8 + length);
        if (kind === 'VP8X' && body.length >= 10) {
            info.width = u24le(body, 4) + 1;
            info.height = u24le(body, 7) + 1;
            sized = true;
        } else if (kind === 'VP8 ' && !sized && body.length >= 10) {
            info.width = u16le(body, 6) & 0x3fff;
            info.height = u16le(body, 8) & 0x3fff;
            sized = true;
        } else if (kind === 'VP8L' && !sized && body.length >= 5 && body[0] === 0x2f) {
            const bits = u32le(body, 1);
            info.width = (bits & 0x3fff) + 1;
            info.height = ((bits >>> 14) & 0x3fff) + 1;
            sized = true;
        } else if (kind === 'EXIF')
            info.orientation = exifOrientation(body);
        at += 8 + length + (length & 1);
    }
    return sized ? info : null;
}

// {type, width, height, depth, orientation} of a PNG, JPEG or WebP file's first bytes (the
// whole file for the orientation of a WebP, whose EXIF may follow the pixels); null when the
// bytes are none of these or their header is damaged.
export function readHeader(bytes) {
    const b = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
    let info = null;
    if (b.length >= 8 && u32be(b, 0) === 0x89504e47 && u32be(b, 4) === 0x0d0a1a0a)
        info = readPng(b);
    else if (b.length >= 3 && b[0] === 0xff && b[1] === 0xd8 && b[2] === 0xff)
        info = readJpeg(b);
    else if (b.length >= 16 && ascii(b, 0, 4) === 'RIFF' && ascii(b, 8, 4) === 'WEBP')
        info = readWebp(b);
    return info && info.width > 0 && info.height > 0 ? info : null;
}

// ---- Orientation: the EXIF tag's eight values. A file stored Width x Height is shown upright
// by turning its pixel (x, y) to UPRIGHT[o](x, y, W, H); STORED is the way back.

export const UPRIGHT = [null,
    (x, y) => [x, y],
    (x, y, w) => [w - 1 - x, y],
    (x, y, w, h) => [w - 1 - x, h - 1 - y],
    (x, y, w, h) => [x, h - 1 - y],
    (x, y) => [y, x],
    (x, y, w, h) => [h - 1 - y, x],
    (x, y, w, h) => [h - 1 - y, w - 1 - x],
    (x, y, w) => [y, w - 1 - x],
];

const STORED = [null,
    (x, y) => [x, y],
    (x, y, w) => [w - 1 - x, y],
    (x, y, w, h) => [w - 1 - x, h - 1 - y],
    (x, y, w, h) => [x, h - 1 - y],
    (x, y) => [y, x],
    (x, y, w, h) => [y, h - 1 - x],
    (x, y, w, h) => [w - 1 - y, h - 1 - x],
    (x, y, w) => [w - 1 - y, x],
];

// Whether orientation o lays the picture on its side (the upright width is the stored height).
export const sideways = (o) => o >= 5;

// The orientation a decoder's clockwise rotation and then horizontal flip stand for (the
// WebCodecs VideoFrame's rotation and flip).
export function orientationOf(rotation, flip) {
    const turned = {0: 1, 90: 6, 180: 3, 270: 8}[rotation] || 1;
    const mirrored = {1: 2, 6: 5, 3: 4, 8: 7};
    return flip ? mirrored[turned] : turned;
}

// A rectangle [x, y, w, h] of the upright picture (uprightWidth x uprightHeight) as the same
// pixels' rectangle in the file as stored.
export function storedRect(rect, orientation, uprightWidth, uprightHeight) {
    if (!rect || orientation === 1)
        return rect;
    const [w, h] = sideways(orientation) ? [uprightHeight, uprightWidth]
        : [uprightWidth, uprightHeight];
    const [x0, y0] = STORED[orientation](rect[0], rect[1], w, h);
    const [x1, y1] = STORED[orientation](rect[0] + rect[2] - 1, rect[1] + rect[3] - 1, w, h);
    return [Math.min(x0, x1), Math.min(y0, y1), Math.abs(x1 - x0) + 1, Math.abs(y1 - y0) + 1];
}

// Packed 4-byte pixels of a width x height file as stored, turned upright by orientation o:
// a new array (the same one when o is 1).
export function turnUpright(pixels, width, height, o) {
    if (o === 1)
        return pixels;
    const from = new Uint32Array(pixels.buffer, pixels.byteOffset, width * height);
    const to = new Uint32Array(width * height);
    const across = sideways(o) ? height : width;
    const at = (x, y) => {
        const [u, v] = UPRIGHT[o](x, y, width, height);
        return v * across + u;
    };
    const origin = at(0, 0);
    const step = at(1, 0) - origin; // along a stored row
    const down = at(0, 1) - origin; // from one stored row to the next
    for (let y = 0, k = 0; y < height; ++y)
        for (let x = 0, d = origin + y * down; x < width; ++x, d += step)
            to[d] = from[k++];
    return new Uint8Array(to.buffer);
}

export const ORIENTATION_WORDS = [null, 'as it is shown', 'mirrored left to right',
    'upside down', 'mirrored top to bottom', 'on its side and mirrored', 'on its side',
    'on its side and mirrored', 'on its side'];
