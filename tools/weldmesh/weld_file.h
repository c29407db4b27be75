// One file welded inside its contained run, by the back-end its names choose.
#ifndef WELDMESH_WELD_FILE_H
#define WELDMESH_WELD_FILE_H

#include "options.h"
#include "weld_report.h"

#include <string>

// The exit status of a run whose input, found by walking a folder, has nothing to weld.
const int kSkippedStatus = 3;

// A .gltf or .glb written as .gltf or .glb goes through the glTF back-end, unless --format asks
// for one of Assimp's exporters; every other pair through Assimp. Fills `report`.
int weld_file(const Options& options, const FileJob& job, const std::string& stagingDirectory,
              WeldReport& report);

#endif
