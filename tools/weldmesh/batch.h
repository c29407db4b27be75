// Batch mode: every INPUT welded into an output folder, the files of INPUT folders found by
// walking them, several files at once, each in a contained run of its own.
#ifndef WELDMESH_BATCH_H
#define WELDMESH_BATCH_H

#include "options.h"

#include <string>
#include <vector>

// The files a batch welds, in order, or an empty list with `error` set ("FILE: reason") when
// two would be written to one place or the output folder could write over an input.
std::vector<FileJob> plan_batch(const Options& options, std::string& error);

// Welds the planned files, options.jobs at once: a line per file on standard output (the
// per-mesh lines too with -v), then a summary; one error line per failed file on standard
// error, and there a progress line that updates in place when standard error is a terminal.
// Returns 1 when any file failed, else 0.
int run_batch(const Options& options, const std::vector<FileJob>& jobs);

#endif
