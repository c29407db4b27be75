#include "gltf_run.h"

#include "backend.h"
#include "input_files.h"
#include "staged_output.h"
#include "tool_error.h"

#include <cerrno>
#include <cstdio>
#include <new>

namespace {

// Lets the glTF back-end write through the same staging as Assimp's exporters.
class StagedFile : public gltf::OutputFile {
  public:
    StagedFile(std::FILE* file, StagedOutputs& outputs) : file_(file), outputs_(outputs) {}
    bool write(const void* data, size_t size) override {
        if (size == 0 || std::fwrite(data, 1, size, file_) == size)
            return true;
        outputs_.note_write_error(file_, errno);
        return false;
    }

  private:
    std::FILE* file_; // StagedOutputs closes it, so that a failed close is reported too
    StagedOutputs& outputs_;
};

int weld(const Options& options, const FileJob& job, const std::string& stagingDirectory,
         WeldReport& report) {
    if (same_file(job.input, job.output))
        throw ToolError(ErrorKind::badInput, job.output,
                        "is the input file; choose another output");
    enter_stage(JobStage::reading);
    gltf::AssetWeld asset;
    asset.read(job.input, ReadAccess(job.input, job.folder, options.allowOutsideReferences));
    if (options.verbosity != Verbosity::quiet)
        for (const std::string& warning : asset.warnings())
            std::fprintf(stderr, "weldmesh: %s: warning: %s\n", job.input.c_str(), warning.c_str());
    InputFiles inputs(job.input);
    for (const std::string& path : asset.files_read())
        inputs.add(path);

    enter_stage(JobStage::welding);
    report = asset.weld(options.attributes, options.merge);
    print_report(report, options.verbosity, !is_batch(options));

    enter_stage(JobStage::writing);
    StagedOutputs outputs(stagingDirectory, inputs);
    asset.write(job.output, [&](const std::string& path) -> std::unique_ptr<gltf::OutputFile> {
        std::FILE* file = outputs.open(path);
        if (!file)
            throw ToolError(ErrorKind::unwritable, "", outputs.error());
        return std::make_unique<StagedFile>(file, outputs);
    });
    if (!outputs.finish())
        throw ToolError(ErrorKind::unwritable, "", outputs.error());
    return 0;
}

} // namespace

int run_gltf(const Options& options, const FileJob& job, const std::string& stagingDirectory,
             WeldReport& report) {
    try {
        return weld(options, job, stagingDirectory, report);
    } catch (const ToolError& error) {
        // The contained run reports it with the limit in force.
        if (error.kind() == ErrorKind::outOfMemory)
            throw std::bad_alloc();
        std::fprintf(stderr, "weldmesh: %s\n",
                     error.file().empty() ? error.message().c_str() : error.what());
        return 1;
    }
}
