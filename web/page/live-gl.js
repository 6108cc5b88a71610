// A fitted transform applied on the graphics processor: a fragment shader maps each pixel's
// three 8-bit colour samples through the transform's 3 x 4 affine map, rounds half to even and
// clamps to 0..255, as the engine's application does. The sums are single precision where the
// engine's are extended, so a sample whose exact value lies within about 1e-4 of a half may
// land one level away; the camera's live view uses it, the stills go through the engine.

// The affine map of a transform file's JSON (text or parsed), rows red, green, blue out, each
// the weights of red, green and blue in and then the constant; null when the transform is no
// affine map of 8-bit colour (another band count or type, or the lab space, which converts
// each pixel to L*a*b* and back).
export function affineMap(transform) {
    const doc = typeof transform === 'string' ? JSON.parse(transform) : transform;
    if (!doc || doc.format !== 'veltrane-transform' || doc.bands !== 3 || doc.type !== 'uint8' ||
        doc.space === 'lab' || !Array.isArray(doc.matrix) || doc.matrix.length !== 3)
        return null;
    const rows = doc.matrix.map((row) => row.map(Number));
    if (rows.some((row) => row.length !== 4 || !row.every(Number.isFinite)))
        return null;
    // Versions 1 and 2 wrote the plug-in pairing's matrix in the engine's order, the file's
    // bands last to first (rows and columns); from version 3 on it is in the file's order.
    if (doc.pairing === 'plugin' && doc.version < 3)
        return [2, 1, 0].map((r) => [rows[r][2], rows[r][1], rows[r][0], rows[r][3]]);
    return rows;
}

export const IDENTITY = Object.freeze([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]]);

const VERTEX = `#version 300 es
in vec2 corner;
out vec2 at;
void main() {
    // The texture's first row (the picture's top) at the top of the canvas.
    at = vec2(corner.x + 1.0, 1.0 - corner.y) * 0.5;
    gl_Position = vec4(corner, 0.0, 1.0);
}`;

const FRAGMENT = `#version 300 es
precision highp float;
uniform sampler2D frame;
uniform mat3 weights;
uniform vec3 constants;
in vec2 at;
out vec4 colour;
void main() {
    vec3 x = floor(texture(frame, at).rgb * 255.0 + 0.5);
    vec3 y = weights * x + constants;
    colour = vec4(clamp(roundEven(y), 0.0, 255.0) / 255.0, 1.0);
}`;

export class GlStretch {
    // Draws on `canvas` (its webgl2 context); throws when the browser has none.
    constructor(canvas) {
        const gl = canvas.getContext('webgl2', {alpha: false, antialias: false, depth: false,
            stencil: false, premultipliedAlpha: false, preserveDrawingBuffer: false,
            powerPreference: 'low-power'});
        if (!gl)
            throw new Error('no webgl2');
        this.canvas = canvas;
        this.gl = gl;
        const shader = (kind, text) => {
            const s = gl.createShader(kind);
            gl.shaderSource(s, text);
            gl.compileShader(s);
            if (!gl.getShaderParameter(s, gl.COMPILE_STATUS))
                throw new Error(gl.getShaderInfoLog(s));
            return s;
        };
        const program = gl.createProgram();
        gl.attachShader(program, shader(gl.VERTEX_SHADER, VERTEX));
        gl.attachShader(program, shader(gl.FRAGMENT_SHADER, FRAGMENT));
        gl.linkProgram(program);
        if (!gl.getProgramParameter(program, gl.LINK_STATUS))
            throw new Error(gl.getProgramInfoLog(program));
        gl.useProgram(program);
        // One triangle over the whole canvas.
        gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
        gl.bufferData(gl.ARRAY_BUFFER, new Float32Array([-1, -1, 3, -1, -1, 3]), gl.STATIC_DRAW);
        const corner = gl.getAttribLocation(program, 'corner');
        gl.enableVertexAttribArray(corner);
        gl.vertexAttribPointer(corner, 2, gl.FLOAT, false, 0, 0);
        gl.bindTexture(gl.TEXTURE_2D, gl.createTexture());
        for (const [name, value] of [[gl.TEXTURE_MIN_FILTER, gl.NEAREST],
            [gl.TEXTURE_MAG_FILTER, gl.NEAREST], [gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE],
            [gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE]])
            gl.texParameteri(gl.TEXTURE_2D, name, value);
        // The samples as stored: no colour conversion, no premultiplication.
        gl.pixelStorei(gl.UNPACK_COLORSPACE_CONVERSION_WEBGL, gl.NONE);
        gl.pixelStorei(gl.UNPACK_PREMULTIPLY_ALPHA_WEBGL, false);
        gl.pixelStorei(gl.UNPACK_FLIP_Y_WEBGL, false);
        this.weights = gl.getUniformLocation(program, 'weights');
        this.constants = gl.getUniformLocation(program, 'constants');
        this.setMap(IDENTITY);
    }

    // The map to apply: rows red, green, blue out, as affineMap gives.
    setMap(rows) {
        const gl = this.gl;
        // A mat3 is given column by column: column c holds input band c's weights.
        const m = [];
        for (let c = 0; c < 3; ++c)
            for (let r = 0; r < 3; ++r)
                m.push(rows[r][c]);
        gl.uniformMatrix3fv(this.weights, false, new Float32Array(m));
        gl.uniform3f(this.constants, rows[0][3], rows[1][3], rows[2][3]);
    }

    // Maps a picture (a video, an image, a canvas or ImageData) onto the canvas, which takes
    // its size.
    draw(source, width, height) {
        const gl = this.gl;
        if (this.canvas.width !== width || this.canvas.height !== height) {
            this.canvas.width = width;
            this.canvas.height = height;
        }
        gl.viewport(0, 0, width, height);
        gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA, gl.RGBA, gl.UNSIGNED_BYTE, source);
        gl.drawArrays(gl.TRIANGLES, 0, 3);
    }

    // What the last draw made, as packed RGBA rows from the top (this waits for the drawing).
    read() {
        const gl = this.gl;
        const {width, height} = this.canvas;
        const bottomUp = new Uint8Array(width * height * 4);
        gl.readPixels(0, 0, width, height, gl.RGBA, gl.UNSIGNED_BYTE, bottomUp);
        const rows = new Uint8Array(bottomUp.length);
        const stride = width * 4;
        for (let y = 0; y < height; ++y)
            rows.set(bottomUp.subarray((height - 1 - y) * stride, (height - y) * stride), y * stride);
        return rows;
    }

    // Waits until the graphics processor has drawn everything asked of it (one pixel read back).
    finish() {
        this.gl.readPixels(0, 0, 1, 1, this.gl.RGBA, this.gl.UNSIGNED_BYTE, new Uint8Array(4));
    }
}
