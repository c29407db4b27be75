// weldmesh: removes exact duplicate vertices from every mesh of a model file.
#include "assimp/assimp_run.h"
#include "contained_run.h"
#include "gltf/backend.h"
#include "gltf/gltf_run.h"
#include "options.h"

#include <cstdio>

namespace {

// A .gltf or .glb written as .gltf or .glb goes through the glTF back-end, unless --format
// asks for one of Assimp's exporters.
int weld_file(const Options& options, const std::string& stagingDirectory) {
    if (options.formatId.empty() && gltf::is_gltf_path(options.input) &&
        gltf::is_gltf_path(options.output))
        return run_gltf(options, stagingDirectory);
    return run_assimp(options, stagingDirectory);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    switch (parse_options(argc, argv, options)) {
    case ParseOutcome::exitSuccess:
        return 0;
    case ParseOutcome::usageError:
        if (argc == 1)
            std::fputs(kUsage, stderr);
        else
            std::fputs("Try 'weldmesh --help' for more information.\n", stderr);
        return 2;
    case ParseOutcome::run:
        if (!options.memoryLimitGiven)
            options.limits.memoryBytes = default_memory_limit(options.input);
        return run_contained(
            options.input, options.output, options.limits,
            [&](const std::string& staging) { return weld_file(options, staging); });
    }
    return 2;
}
