// Runs two programs and fails unless they print the same: `same_output.mjs A... -- B...`.
import { execFileSync } from 'node:child_process';

const cut = process.argv.indexOf('--');
const run = (args) => execFileSync(args[0], args.slice(1), { encoding: 'utf8' }).trim();
const native = run(process.argv.slice(2, cut));
const web = run(process.argv.slice(cut + 1));
console.log(`native ${native}\nweb    ${web}`);
process.exit(native === web ? 0 : 1);
