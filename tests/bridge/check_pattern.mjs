// Reads the cases the bridge's unit test wrote and checks the pattern as a browser applies an
// HTML pattern attribute: anchored as ^(?:pattern)$ with the v flag. Prints the agreement count;
// exit status 1 on any disagreement.
import { readFileSync } from 'node:fs';

const cases = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const pattern = new RegExp(`^(?:${cases.pattern})$`, 'v');
const wrong = cases.texts.filter(([text, accepted]) => pattern.test(text) !== accepted);
console.log(`node RegExp (v): ${cases.texts.length - wrong.length} of ${cases.texts.length} texts agree`);
for (const [text] of wrong.slice(0, 20)) {
  console.log('disagrees:', JSON.stringify(text));
}
process.exit(wrong.length > 0 ? 1 : 0);
