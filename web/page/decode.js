// Decodes an image file to the packed RGBA samples the file stores, turned upright as the
// browser shows it, and knows what the browser's canvases can hold.
//
// A 2D canvas keeps its pixels premultiplied by alpha, so a colour under alpha 0 reads back
// black and one under a low alpha rounded: the samples are read without one. WebCodecs'
// ImageDecoder gives the stored samples and the turn the file asks for; without it the
// browser's bitmap, unpremultiplied, is read through a WebGL 2 texture. Only a browser with
// neither goes through a 2D canvas, and says so.
import {chunk, crc32, SIGNATURE} from './png.js';
import {orientationOf, sideways, turnUpright} from './imagefile.js';

export const MB = 1024 * 1024;
// The largest image the page takes: it holds the image and its result, each once (and the
// module, which stops at 2 GiB, could hold it in place for other pages).
export const LARGEST_IMAGE_BYTES = 1536 * MB;

// ---- Canvas limits

// A canvas off the page: an OffscreenCanvas where the browser has them.
export function scratchCanvas(width, height) {
    if (typeof OffscreenCanvas !== 'undefined')
        return new OffscreenCanvas(width, height);
    const canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    return canvas;
}

// What canvases this browser is known to draw: Chromium leaves larger ones blank without an
// error. Other browsers' canvases are probed at the image's size.
export function knownCanvasLimits(userAgent = navigator.userAgent) {
    if (/\b(Chrome|Chromium|HeadlessChrome)\/\d/.test(userAgent))
        return {side: 65535, area: 2 ** 28};
    return null;
}

// A canvas of width x height whose far corner holds what is drawn there; null when the
// browser made it without pixels (too large for it, or no memory left). readBack: its
// pixels will be read (kept in memory rather than on the graphics card).
export function pixelCanvas(width, height, readBack = false) {
    try {
        const canvas = scratchCanvas(width, height);
        const ctx = canvas.getContext('2d', {willReadFrequently: readBack});
        if (!ctx || canvas.width !== width || canvas.height !== height)
            return null;
        ctx.fillStyle = '#0a141e';
        ctx.fillRect(width - 1, height - 1, 1, 1);
        const probe = ctx.getImageData(width - 1, height - 1, 1, 1).data;
        if (probe[0] !== 10 || probe[1] !== 20 || probe[2] !== 30 || probe[3] !== 255)
            return null;
        ctx.clearRect(width - 1, height - 1, 1, 1);
        return canvas;
    } catch (e) {
        return null;
    }
}

const megapixels = (n) => `${n < 10e6 ? (n / 1e6).toFixed(1) : Math.round(n / 1e6)} megapixels`;

// Why this browser cannot take a width x height image, in words for the user; '' when it can.
// Canvases of unknown browsers are probed (once, then dropped).
export function sizeProblem(width, height) {
    const pixels = width * height;
    const reasons = [];
    const limits = knownCanvasLimits();
    if (limits && (pixels > limits.area || width > limits.side || height > limits.side))
        reasons.push(`this browser draws canvases of at most ${megapixels(limits.area)} and ` +
            `${limits.side} pixels a side`);
    if (pixels * 4 > LARGEST_IMAGE_BYTES)
        reasons.push(`it needs ${Math.ceil(pixels * 4 / MB)} MB of memory, and the page's ` +
            `engine holds images of at most ${Math.floor(LARGEST_IMAGE_BYTES / MB)} MB ` +
            `(${megapixels(LARGEST_IMAGE_BYTES / 4)})`);
    if (!reasons.length && !limits) {
        const probe = pixelCanvas(width, height);
        if (!probe)
            reasons.push('this browser leaves a canvas of that size blank (its limit, or no ' +
                'memory left for it)');
        else {
            probe.width = 1;
            probe.height = 1;
        }
    }
    if (!reasons.length)
        return '';
    return `${width} × ${height} pixels (${megapixels(pixels)}) is more than the page can take ` +
        `here: ${reasons.join('; ')}. The command line (veltrane stretch) takes it.`;
}

// ---- Decoding

export class DecodeError extends Error {}

const FRAME_LAYOUTS = {RGBA: [0, 1, 2, 3], RGBX: [0, 1, 2, -1], BGRA: [2, 1, 0, 3],
    BGRX: [2, 1, 0, -1]};

async function withImageDecoder(bytes, type) {
    if (typeof ImageDecoder !== 'function' || typeof VideoFrame !== 'function' ||
        !('rotation' in VideoFrame.prototype) || !await ImageDecoder.isTypeSupported(type))
        return null;
    const decoder = new ImageDecoder({data: bytes, type, colorSpaceConversion: 'none',
        premultiplyAlpha: 'none', preferAnimation: false});
    let frame = null;
    try {
        try {
            frame = (await decoder.decode({frameIndex: 0})).image;
        } catch (e) {
            throw new DecodeError(e.message);
        }
        const order = FRAME_LAYOUTS[frame.format];
        if (!order)
            return null; // a layout of planes: the bitmap's way reads it
        const {width, height} = frame.visibleRect;
        const raw = new Uint8Array(width * height * 4);
        await frame.copyTo(raw, {rect: frame.visibleRect, layout: [{offset: 0, stride: width * 4}]});
        const [r, g, b, a] = order;
        for (let i = 0; i < raw.length; i += 4) {
            const red = raw[i + r];
            const blue = raw[i + b];
            raw[i + 1] = raw[i + g];
            raw[i] = red;
            raw[i + 2] = blue;
            if (a < 0)
                raw[i + 3] = 255;
        }
        const orientation = orientationOf(frame.rotation, frame.flip);
        const pixels = turnUpright(raw, width, height, orientation);
        const [w, h] = sideways(orientation) ? [height, width] : [width, height];
        return {pixels, width: w, height: h, orientation, method: 'webcodecs'};
    } finally {
        if (frame)
            frame.close();
        decoder.close();
    }
}

// The bitmap's samples through a WebGL 2 texture, which takes them unpremultiplied, in tiles
// the texture can hold; null without WebGL 2.
function throughWebGl(bitmap) {
    const {width, height} = bitmap;
    const gl = scratchCanvas(1, 1).getContext('webgl2', {antialias: false, depth: false,
        stencil: false, premultipliedAlpha: false});
    if (!gl)
        return null;
    try {
        const tile = Math.min(gl.getParameter(gl.MAX_TEXTURE_SIZE), 4096);
        const texture = gl.createTexture();
        gl.bindTexture(gl.TEXTURE_2D, texture);
        gl.pixelStorei(gl.UNPACK_PREMULTIPLY_ALPHA_WEBGL, false);
        gl.pixelStorei(gl.UNPACK_COLORSPACE_CONVERSION_WEBGL, gl.NONE);
        gl.pixelStorei(gl.UNPACK_FLIP_Y_WEBGL, false);
        gl.pixelStorei(gl.PACK_ROW_LENGTH, width);
        const framebuffer = gl.createFramebuffer();
        gl.bindFramebuffer(gl.FRAMEBUFFER, framebuffer);
        const pixels = new Uint8Array(width * height * 4);
        for (let y = 0; y < height; y += tile)
            for (let x = 0; x < width; x += tile) {
                const w = Math.min(tile, width - x);
                const h = Math.min(tile, height - y);
                gl.pixelStorei(gl.UNPACK_SKIP_PIXELS, x);
                gl.pixelStorei(gl.UNPACK_SKIP_ROWS, y);
                gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA8, w, h, 0, gl.RGBA, gl.UNSIGNED_BYTE,
                    bitmap);
                gl.framebufferTexture2D(gl.FRAMEBUFFER, gl.COLOR_ATTACHMENT0, gl.TEXTURE_2D,
                    texture, 0);
                if (gl.checkFramebufferStatus(gl.FRAMEBUFFER) !== gl.FRAMEBUFFER_COMPLETE)
                    return null;
                gl.readPixels(0, 0, w, h, gl.RGBA, gl.UNSIGNED_BYTE, pixels, (y * width + x) * 4);
            }
        return gl.getError() === gl.NO_ERROR && !gl.isContextLost() ? pixels : null;
    } catch (e) {
        return null; // out of memory for the texture or the pixels: the canvas's way
    } finally {
        const lose = gl.getExtension('WEBGL_lose_context');
        if (lose)
            lose.loseContext();
    }
}

function throughCanvas(bitmap) {
    const canvas = pixelCanvas(bitmap.width, bitmap.height, true);
    if (!canvas)
        return null;
    const ctx = canvas.getContext('2d', {willReadFrequently: true});
    ctx.drawImage(bitmap, 0, 0);
    return new Uint8Array(ctx.getImageData(0, 0, bitmap.width, bitmap.height).data.buffer);
}

// A TIFF block whose one tag is the orientation 6 (on its side).
const SIDEWAYS_TIFF = new Uint8Array([0x4d, 0x4d, 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3,
    0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0]);

// A 2 x 1 image of `type` marked as lying on its side, or null when this browser cannot
// write that type.
async function sidewaysSample(type) {
    const be32 = (n) => [n >>> 24, (n >>> 16) & 255, (n >>> 8) & 255, n & 255];
    if (type === 'image/png') {
        // Two grey pixels, stored (not compressed) in a zlib stream.
        const raw = [0, 0, 255];
        let a = 1, b = 0;
        for (const v of raw) {
            a = (a + v) % 65521;
            b = (b + a) % 65521;
        }
        const zlib = new Uint8Array([0x78, 0x01, 1, 3, 0, 0xfc, 0xff, ...raw, ...be32((b << 16 | a) >>> 0)]);
        return new Blob([SIGNATURE, chunk('IHDR', new Uint8Array([...be32(2), ...be32(1), 8, 0, 0,
            0, 0])), chunk('eXIf', SIDEWAYS_TIFF), chunk('IDAT', zlib),
        chunk('IEND', new Uint8Array(0))], {type});
    }
    const canvas = scratchCanvas(2, 1);
    canvas.getContext('2d').fillRect(0, 0, 1, 1);
    const written = canvas.convertToBlob ? await canvas.convertToBlob({type})
        : await new Promise((resolve) => canvas.toBlob(resolve, type));
    if (!written || written.type !== type)
        return null;
    const b = new Uint8Array(await written.arrayBuffer());
    if (type === 'image/jpeg') {
        const body = [...new TextEncoder().encode('Exif\0\0'), ...SIDEWAYS_TIFF];
        const length = body.length + 2;
        return new Blob([b.subarray(0, 2), new Uint8Array([0xff, 0xe1, length >> 8, length & 255,
            ...body]), b.subarray(2)], {type});
    }
    // WebP: the extended form, a VP8X chunk whose flags announce an EXIF chunk.
    const le32 = (n) => [n & 255, (n >>> 8) & 255, (n >>> 16) & 255, n >>> 24];
    const parts = [];
    let alpha = false;
    for (let at = 12; at + 8 <= b.length;) {
        const kind = String.fromCharCode(...b.subarray(at, at + 4));
        const length = b[at + 4] | (b[at + 5] << 8) | (b[at + 6] << 16) | (b[at + 7] << 24);
        const end = at + 8 + length + (length & 1);
        if (kind === 'ALPH')
            alpha = true;
        if (kind !== 'VP8X')
            parts.push(b.subarray(at, end));
        at = end;
    }
    const vp8x = new Uint8Array([...new TextEncoder().encode('VP8X'), ...le32(10),
        0x08 | (alpha ? 0x10 : 0), 0, 0, 0, 1, 0, 0, 0, 0, 0]);
    const exif = new Uint8Array([...new TextEncoder().encode('EXIF'), ...le32(SIDEWAYS_TIFF.length),
        ...SIDEWAYS_TIFF]);
    const size = 4 + vp8x.length + exif.length + parts.reduce((n, p) => n + p.length, 0);
    return new Blob([new TextEncoder().encode('RIFF'), new Uint8Array(le32(size)),
        new TextEncoder().encode('WEBP'), vp8x, ...parts, exif], {type});
}

const turnsByType = new Map();

// Whether this browser's bitmaps turn files of `type` by their EXIF orientation: a sample
// marked as lying on its side is decoded. Undefined when no sample can be made.
async function bitmapsTurn(type) {
    if (!turnsByType.has(type)) {
        let turns;
        try {
            const sample = await sidewaysSample(type);
            if (sample) {
                const bitmap = await createImageBitmap(sample);
                turns = bitmap.width === 1 && bitmap.height === 2;
                bitmap.close();
            }
        } catch (e) {
            turns = undefined;
        }
        turnsByType.set(type, turns);
    }
    return turnsByType.get(type);
}

// The upright RGBA samples of a file whose header is `info` (imagefile.js's readHeader):
// {pixels, width, height, orientation (how the stored pixels were turned: 1 none),
// method: 'webcodecs' | 'webgl' | 'canvas'}. Throws DecodeError when the browser cannot
// decode the file, or returns null when it decoded but no canvas of its size holds pixels.
export async function decodeImage(bytes, info) {
    const decoded = await withImageDecoder(bytes, info.type);
    if (decoded)
        return decoded;
    let bitmap;
    try {
        bitmap = await createImageBitmap(new Blob([bytes], {type: info.type}),
            {colorSpaceConversion: 'none', premultiplyAlpha: 'none'});
    } catch (e) {
        throw new DecodeError(e.message);
    }
    try {
        const {width, height} = bitmap;
        // How the browser turned the picture: its size tells when it stood it on its side,
        // a sample of the format when the turn keeps the size.
        let orientation = 1;
        if (info.orientation !== 1) {
            const swapped = width === info.height && height === info.width;
            const kept = width === info.width && height === info.height;
            const turns = sideways(info.orientation) && swapped !== kept ? swapped
                : await bitmapsTurn(info.type);
            orientation = turns ? info.orientation : 1;
        }
        let pixels = throughWebGl(bitmap);
        const method = pixels ? 'webgl' : 'canvas';
        if (!pixels)
            pixels = throughCanvas(bitmap);
        return pixels ? {pixels, width, height, orientation, method} : null;
    } finally {
        bitmap.close();
    }
}
