#include "assimp_run.h"

#include "assimp_io.h"
#include "file_access.h"
#include "file_names.h"
#include "input_files.h"
#include "mesh_weld.h"
#include "staged_output.h"
#include "weld_file.h"
#include "weld_hint.h"

#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

namespace {

void fail(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "weldmesh: %s: %s\n", file.c_str(), reason.c_str());
}

// The exporters of these formats triangulate polygons on their own.
bool holds_only_triangles(const std::string& formatId) {
    for (const char* id : {"stl", "stlb", "gltf2", "glb2", "gltf", "glb", "3ds"})
        if (formatId == id)
            return true;
    return false;
}

bool check_input_file(const std::string& path) {
    try {
        close(open_regular_file(path));
        return true;
    } catch (const ToolError& error) {
        std::fprintf(stderr, "weldmesh: %s\n", error.what());
        return false;
    }
}

bool has_polygons(const aiScene& scene, unsigned minimumCorners) {
    for (unsigned m = 0; m < scene.mNumMeshes; ++m)
        for (unsigned f = 0; f < scene.mMeshes[m]->mNumFaces; ++f)
            if (scene.mMeshes[m]->mFaces[f].mNumIndices >= minimumCorners)
                return true;
    return false;
}

bool weld_scene(aiScene& scene, const Options& options, const FileJob& job, WeldReport& report) {
    report.meshes = scene.mNumMeshes;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        aiMesh& mesh = *scene.mMeshes[m];
        const std::string label = "mesh " + std::to_string(m) + " '" + mesh.mName.C_Str() + "'";
        MeshWeldResult result;
        std::string error;
        if (!weld_mesh(mesh, options.attributes, options.merge, result, error)) {
            fail(job.input, label + ": " + error);
            return false;
        }
        report.add(label, result);
    }
    print_report(report, options.verbosity, !is_batch(options));
    // The hint's count is that of an exact weld.
    if (options.verbosity == Verbosity::quiet || !options.attributes.normals || is_batch(options) ||
        options.merge.active)
        return true;
    const std::string hint =
        positions_only_hint(scene, report.total.verticesBefore, report.total.verticesAfter);
    if (!hint.empty())
        std::printf("%s\n", hint.c_str());
    return true;
}

bool export_scene(const aiScene& scene, const FileJob& job, const std::string& formatId,
                  const InputFiles& inputs, const std::string& stagingDirectory) {
    StagedOutputs outputs(stagingDirectory, inputs);
    Assimp::Exporter exporter;
    exporter.SetIOHandler(new StagingIOSystem(outputs)); // the exporter owns it from here on
    const bool exported = exporter.Export(&scene, formatId, job.output) == AI_SUCCESS;
    if (!outputs.finish() || !outputs.error().empty()) {
        std::fprintf(stderr, "weldmesh: %s\n", outputs.error().c_str());
        return false;
    }
    if (!exported) {
        fail(job.output, std::string("cannot write: ") + exporter.GetErrorString());
        return false;
    }
    return true;
}

} // namespace

// The export format's id, or an empty string (with `error` set) when none fits.
std::string export_format(const std::string& formatId, const std::string& output,
                          std::string& error) {
    Assimp::Exporter exporter;
    const std::string dotted = lower_extension(output);
    const std::string extension = dotted.empty() ? dotted : dotted.substr(1);
    // Assimp's own reader does not read every float of ASCII PLY back exactly.
    if (formatId.empty() && extension == "ply")
        return "plyb";
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i) {
        const aiExportFormatDesc* format = exporter.GetExportFormatDescription(i);
        if (formatId.empty() ? extension == format->fileExtension : formatId == format->id)
            return format->id;
    }
    if (!formatId.empty())
        error = "no export format with id '" + formatId + "'";
    else if (extension.empty())
        error = "no extension to choose an export format by";
    else
        error = "no exporter writes '." + extension + "' files";
    return "";
}

int run_assimp(const Options& options, const FileJob& job, const std::string& stagingDirectory,
               WeldReport& report) {
    std::string error;
    const std::string formatId = export_format(options.formatId, job.output, error);
    if (formatId.empty()) {
        fail(job.output, error);
        return 1;
    }
    if (!check_input_file(job.input))
        return 1;
    if (same_file(job.input, job.output)) {
        fail(job.output, "is the input file; choose another output");
        return 1;
    }

    // No other post-processing: every step that cleans up a mesh joins, splits or alters
    // vertices. Triangulation only regroups the corners of polygons.
    InputFiles inputs(job.input);
    const ReadAccess access(job.input, job.folder, options.allowOutsideReferences);
    Assimp::Importer importer;
    auto* files = new RecordingIOSystem(inputs, access);
    importer.SetIOHandler(files); // the importer owns it from here on
    enter_stage(JobStage::reading);
    const unsigned steps = options.triangulate ? unsigned(aiProcess_Triangulate) : 0u;
    if (!importer.ReadFile(job.input, steps)) {
        // Assimp turns a reader's exceptions, std::bad_alloc included, into its error text.
        if (allocation_failed())
            throw std::bad_alloc();
        if (!files->refusal().empty())
            std::fprintf(stderr, "weldmesh: %s\n", files->refusal().c_str());
        else
            fail(job.input, std::string("cannot read: ") + importer.GetErrorString());
        return 1;
    }
    if (!files->refusal().empty()) {
        std::fprintf(stderr, "weldmesh: %s\n", files->refusal().c_str());
        return 1;
    }
    const std::unique_ptr<aiScene> scene(importer.GetOrphanedScene());
    add_texture_files(*scene, inputs);
    if (!has_polygons(*scene, 3)) {
        if (job.walked)
            return kSkippedStatus;
        fail(job.input, "no triangles or polygons to weld");
        return 1;
    }
    if (has_polygons(*scene, 4) && holds_only_triangles(formatId)) {
        fail(job.output,
             "format '" + formatId +
                 "' holds only triangles and the input has polygons (--triangulate splits them)");
        return 1;
    }
    if (options.verbosity == Verbosity::verbose)
        std::printf("export format: %s\n", formatId.c_str());
    enter_stage(JobStage::welding);
    if (!weld_scene(*scene, options, job, report))
        return 1;
    enter_stage(JobStage::writing);
    return export_scene(*scene, job, formatId, inputs, stagingDirectory) ? 0 : 1;
}
