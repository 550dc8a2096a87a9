// The command line: arguments in, exit status out.
#pragma once

// The whole tool.
//   0  the scan completed (whatever it found); --help, --version
//   1  the image cannot be opened or read, the read buffers cannot be had,
//      or standard output or the mapfile cannot be written
//   2  usage error
int scanner_main(int argc, char** argv);
