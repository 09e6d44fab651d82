// A Node host for bench/bindings/cpu.py: both audio sources for N seconds, one screenshot halfway,
// as `ovra-capture all` does; prints what it received as JSON.
'use strict';
const ovra = require('../../bindings/node');
const seconds = Number(process.argv[2] || 20);
const sleep = (s) => new Promise((resolve) => setTimeout(resolve, s * 1000));

(async () => {
  const bytes = [0, 0];
  const captures = [
    await ovra.startSystemAudio((c) => { bytes[0] += c.length; }),
    await ovra.startMicrophone((c) => { bytes[1] += c.length; }),
  ];
  await sleep(seconds / 2);
  const jpeg = await ovra.captureScreen();
  await sleep(seconds / 2);
  await Promise.all(captures.map((c) => c.stop()));
  console.log(JSON.stringify({ seconds: bytes.map((b) => b / 32000), dropped: captures.map((c) => c.dropped), jpeg: jpeg.length }));
})();
