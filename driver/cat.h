// quornax-cat: the catalogue of TRD images, as a Spectrum user reads it,
// and the TR-DOS command that loads each file.
#pragma once

namespace quornax {

// The whole program: lists every named image in order, returns the exit
// status (1 when an image could not be read; the others are still listed).
int run_quornax_cat(int argc, char** argv);

}  // namespace quornax
