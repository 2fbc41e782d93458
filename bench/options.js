'use strict';
// The benchmarks' numeric options: --name value pairs from the command line.
function numericOptions(argv = process.argv.slice(2)) {
  const options = {};
  argv.forEach((a, i) => {
    if (a.startsWith('--')) options[a.slice(2)] = Number(argv[i + 1]);
  });
  return options;
}

module.exports = { numericOptions };
