// The boot file that --boot adds to a disk after the tape's files: made
// from the tape's loader (see basic/boot.h) as the tape is read, staged
// and listed like a file of the tape.
#pragma once

namespace quornax {

// Forgets what was noted of the tape before; called as each tape begins.
void start_boot_notes();

// Notes the pair just staged, as the descriptor and the work buffer hold
// it: whether it had a header on tape, and for the first file, the loader
// itself.
void note_staged_file(bool had_header);

// Lists and stages the boot after the tape's files, or says on standard
// error why there is none (that is no failure). 0, or -1 when staging
// failed, after a report.
int add_boot_file();

}  // namespace quornax
