// weldmesh: removes exact duplicate vertices from every mesh of a model file, or of many.
#include "batch.h"
#include "contained_run.h"
#include "options.h"
#include "weld_file.h"

#include <cstdio>
#include <filesystem>

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
        break;
    }
    if (is_batch(options)) {
        std::string error;
        const std::vector<FileJob> jobs = plan_batch(options, error);
        if (!error.empty()) {
            std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
            return 1;
        }
        return run_batch(options, jobs);
    }
    const FileJob job{options.inputs.front(), options.output,
                      std::filesystem::path(options.inputs.front()).parent_path().string(), false};
    if (!options.memoryLimitGiven)
        options.limits.memoryBytes = default_memory_limit(job.input);
    return run_contained(job.input, job.output, options.limits, [&](const std::string& staging) {
        WeldReport report;
        return weld_file(options, job, staging, report);
    });
}
