// One run of the Assimp back-end from the command line: import, weld every mesh of the scene,
// export through the staged outputs.
#ifndef WELDMESH_ASSIMP_ASSIMP_RUN_H
#define WELDMESH_ASSIMP_ASSIMP_RUN_H

#include "options.h"

#include <string>

// Welds options.input into options.output through the staging directory. Returns the exit
// status, having printed the report or one error line.
int run_assimp(const Options& options, const std::string& stagingDirectory);

#endif
