#pragma once

// Standard input, output and error as a program finds them at start.
namespace StandardStreams {

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, so that the next file opened
// (a serial port, its lock file, a pty) cannot take its number and receive what is meant for the
// terminal. The stand-in is opened the wrong way round (read-only for output, write-only for
// input), so writing to a closed standard output still fails as it would have. Call it first in
// main(), before anything opens a file.
void reserve();

} // namespace StandardStreams
