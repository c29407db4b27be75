// One run of the Assimp back-end from the command line: import, weld every mesh of the scene,
// export through the staged outputs.
#ifndef WELDMESH_ASSIMP_ASSIMP_RUN_H
#define WELDMESH_ASSIMP_ASSIMP_RUN_H

#include "options.h"

#include <string>

// The id of Assimp's export format for `output`, by `formatId` or else by the output's extension,
// or an empty string with `error` set when no exporter writes it.
std::string export_format(const std::string& formatId, const std::string& output,
                          std::string& error);

// Welds job.input into job.output through the staging directory, filling `report`. Returns the
// exit status, having printed the report or one error line; kSkippedStatus, printing nothing,
// for a walked file with no triangles or polygons.
int run_assimp(const Options& options, const FileJob& job, const std::string& stagingDirectory,
               WeldReport& report);

#endif
