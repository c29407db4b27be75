#include "weld_file.h"

#include "assimp/assimp_run.h"
#include "gltf/backend.h"
#include "gltf/gltf_run.h"

int weld_file(const Options& options, const FileJob& job, const std::string& stagingDirectory,
              WeldReport& report) {
    if (options.formatId.empty() && gltf::is_gltf_path(job.input) && gltf::is_gltf_path(job.output))
        return run_gltf(options, job, stagingDirectory, report);
    return run_assimp(options, job, stagingDirectory, report);
}
