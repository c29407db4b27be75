// One run of the glTF back-end from the command line: read, weld and write, with the output
// staged and the files the input reads never written.
#ifndef WELDMESH_GLTF_GLTF_RUN_H
#define WELDMESH_GLTF_GLTF_RUN_H

#include "options.h"

#include <string>

// Welds job.input into job.output through the staging directory, filling `report`. Returns the
// exit status, having printed the report or one error line.
int run_gltf(const Options& options, const FileJob& job, const std::string& stagingDirectory,
             WeldReport& report);

#endif
