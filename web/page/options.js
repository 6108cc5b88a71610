// The page's controls read as the engine's options and as the equivalent command line.
// Pure functions of the fields' text: no DOM here, so that the page and its tests share one
// reading of what the user typed.

export const DEFAULTS = Object.freeze({
    method: 'offset', // 'offset' | 'no-offset' | 'target'
    targetMean: '',
    targetSigma: '',
    basis: 'correlation',
    pairing: 'plugin',
    space: '', // '' (the bands as stored) | 'rgb' | 'ycbcr' | 'yiq' | 'lab'
    keep: '',
    clip: '',
    sample: '',
});

const NUMBER = /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/;
const INTEGER = /^\d+$/;

// "1, 2.5,3" -> [1, 2.5, 3]; null when an item is not a plain decimal number.
function numbers(text) {
    const items = text.split(',').map((s) => s.trim());
    if (items.some((s) => !NUMBER.test(s)))
        return null;
    const values = items.map(Number);
    return values.every(Number.isFinite) ? values : null;
}

// The shortest text that reads back as the same double (what the command line prints).
const show = (x) => String(x);

// Reads the fields (strings, as in DEFAULTS) for an image of `width` x `height` pixels and
// three colour bands, as the page shows it. Returns {errors, options, args}: errors maps a
// field to a message for the user (empty when everything is valid); options is the engine's
// options object and args the command line's options, both null while any field is invalid.
// The command line reads the file as stored, which may be turned from what the page shows:
// `stored` maps the page's rectangle [x, y, w, h] to the same pixels' rectangle there.
export function readSettings(fields, width, height, stored = (rect) => rect) {
    const f = {...DEFAULTS, ...fields};
    const errors = {};
    const target = f.method === 'target';

    let mean = [];
    let sigma = [];
    if (target) {
        if (f.targetMean.trim() !== '') {
            mean = numbers(f.targetMean);
            if (!mean || (mean.length !== 1 && mean.length !== 3))
                errors.targetMean = 'Give one number, or three (one a band), separated by commas.';
        }
        if (f.targetSigma.trim() !== '') {
            sigma = numbers(f.targetSigma);
            if (!sigma || (sigma.length !== 1 && sigma.length !== 3))
                errors.targetSigma = 'Give one number, or three (one a band), separated by commas.';
            else if (sigma.some((s) => s < 0))
                errors.targetSigma = 'A standard deviation is at least 0.';
        }
        if (!errors.targetMean && !errors.targetSigma && mean.length === 0 && sigma.length === 0)
            errors.targetSigma = 'The target method needs a mean, a standard deviation or both.';
    }

    let keep = [];
    if (f.keep.trim() !== '') {
        const k = numbers(f.keep);
        if (!k || k.some((b) => !Number.isInteger(b) || b < 1 || b > 3))
            errors.keep = 'Give band numbers from 1 to 3, separated by commas.';
        else {
            keep = [...new Set(k)].sort((a, b) => a - b);
            if (keep.length === 3)
                errors.keep = 'Keeping every band leaves nothing to stretch.';
        }
    }

    let clip = null;
    let clipText = '';
    if (f.clip.trim() !== '') {
        const c = numbers(f.clip);
        if (!c || c.length > 2)
            errors.clip = 'Give LOW or LOW,HIGH: fractions such as 0.01 (1 %).';
        else {
            const low = c[0];
            const high = c[c.length - 1];
            if (low < 0 || high < 0)
                errors.clip = 'The fractions are at least 0.';
            else if (low + high >= 1)
                errors.clip = 'LOW and HIGH together must stay below 1.';
            else {
                clip = [low, high];
                clipText = c.map(show).join(',');
            }
        }
    }

    let sample = null;
    if (f.sample.trim() !== '') {
        const items = f.sample.split(',').map((s) => s.trim());
        if (items.length !== 4 || items.some((s) => !INTEGER.test(s)))
            errors.sample = 'Give X,Y,W,H: four whole numbers of pixels.';
        else {
            const [x, y, w, h] = items.map(Number);
            if (w < 1 || h < 1)
                errors.sample = 'The rectangle needs a width and a height of at least 1.';
            else if (x + w > width || y + h > height)
                errors.sample = `The rectangle must lie inside the image (${width} x ${height}).`;
            else
                sample = [x, y, w, h];
        }
    }

    if (Object.keys(errors).length > 0)
        return {errors, options: null, args: null};

    // Options left at their defaults go as null: the engine refuses what contradicts (an
    // offset answer beside a target) or is empty.
    const options = {
        offset: target ? null : f.method !== 'no-offset',
        basis: f.basis,
        // A target pairs the bands directly, as on the command line.
        pairing: target ? 'direct' : f.pairing,
        sample,
        target_mean: target && mean.length > 0 ? mean : null,
        target_sigma: target && sigma.length > 0 ? sigma : null,
        space: f.space || null,
        keep: keep.length > 0 ? keep : null,
        clip,
    };
    const args = [];
    if (!target)
        args.push(f.method === 'no-offset' ? '--no-offset' : '--offset');
    if (f.basis !== 'correlation')
        args.push('--basis', f.basis);
    if (!target && f.pairing !== 'plugin')
        args.push('--pairing', f.pairing);
    if (sample)
        args.push('--sample', stored(sample).join(','));
    if (mean.length > 0)
        args.push('--target-mean', mean.map(show).join(','));
    if (sigma.length > 0)
        args.push('--target-sigma', sigma.map(show).join(','));
    if (f.space)
        args.push('--space', f.space);
    if (keep.length > 0)
        args.push('--keep', keep.join(','));
    if (clip)
        args.push('--clip', clipText);
    return {errors, options, args};
}

// A word as a POSIX shell reads it back unchanged.
export function shellWord(word) {
    if (/^[A-Za-z0-9._+\/:@%=,-]+$/.test(word))
        return word;
    return "'" + word.replace(/'/g, "'\\''") + "'";
}

// "photo.jpg" -> "photo"; a name without an extension stays as it is.
export function baseName(name) {
    const dot = name.lastIndexOf('.');
    return dot > 0 ? name.slice(0, dot) : name;
}

export const resultName = (name) => baseName(name) + '-stretched.png';
export const transformName = (name) => baseName(name) + '.json';

// The command that makes the same file as the page: a stretch with `args`, or with a saved
// transform when `transformFile` is given.
export function commandLine(name, args, transformFile) {
    // A file name that starts with a dash would read as an option.
    const file = (n) => shellWord(n.startsWith('-') ? './' + n : n);
    const words = transformFile
        ? ['apply', file(name), file(resultName(name)), '--transform', file(transformFile)]
        : ['stretch', file(name), file(resultName(name)), ...args.map(shellWord)];
    return ['veltrane', ...words].join(' ');
}
