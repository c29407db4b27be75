// weldmesh: removes exact duplicate vertices from every mesh of a model file.
#include "gltf_backend.h"
#include "mesh_weld.h"
#include "staged_output.h"
#include "weld_hint.h"

#include <assimp/Exporter.hpp>
#include <assimp/IOStream.hpp>
#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

const char kUsage[] =
    "usage: weldmesh [options] INPUT OUTPUT\n"
    "Removes exact duplicate vertices from every mesh of INPUT and writes the result to\n"
    "OUTPUT, in the format OUTPUT's extension names (ply, obj, stl, glb, gltf, dae, ...).\n"
    "Faces keep their order and every face corner keeps its attribute values.\n"
    "\n"
    "options:\n"
    "  -a, --attributes LIST  attributes to weld on and keep, comma-separated from position,\n"
    "                         normal (with tangents and bitangents), uv (first texture\n"
    "                         coordinate set), color (first colour set), or all (default:\n"
    "                         every attribute and every set the meshes have). Positions are\n"
    "                         always kept; the others are removed from the output.\n"
    "  -f, --format ID        export format id instead of the extension's, e.g. stlb for\n"
    "                         binary STL or ply for ASCII PLY (.ply is binary by default)\n"
    "      --triangulate      split polygons into triangles, keeping their corners, as\n"
    "                         triangles-only formats (stl, glb, gltf, 3ds) need\n"
    "  -q, --quiet            print nothing but errors\n"
    "  -v, --verbose          also print the attributes welded, what was removed, and the\n"
    "                         export format\n"
    "  -h, --help             print this help and exit\n"
    "      --version          print the version and exit\n"
    "\n"
    "A .gltf or .glb written from a .gltf or .glb (without --format) keeps every byte of the\n"
    "asset but the duplicate vertices: each triangle primitive is welded on all its attributes\n"
    "and morph targets, merging corners only when all their bytes are equal.\n"
    "\n"
    "Other formats go through Assimp, whose exporters decide what the file keeps: ply and obj\n"
    "keep positions, normals and uv exactly (ply stores colours in 8 bits, obj drops alpha and\n"
    "adds normals where there were none); stl keeps positions only; glb and gltf keep positions\n"
    "and colours exactly but normalize normals, store texture V as 1 - v and join nearly equal\n"
    "vertices again.\n";

enum class Verbosity { quiet, normal, verbose };

struct Options {
    std::string input;
    std::string output;
    std::string formatId;
    AttributeSelection attributes;
    Verbosity verbosity = Verbosity::normal;
    bool triangulate = false;
};

enum class ParseOutcome { run, exitSuccess, usageError };

void fail(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "weldmesh: %s: %s\n", file.c_str(), reason.c_str());
}

bool parse_attributes(const std::string& list, AttributeSelection& selection) {
    selection = AttributeSelection{false, 0, 0};
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, end - start);
        if (name == "all")
            selection = AttributeSelection{};
        else if (name == "normal")
            selection.normals = true;
        else if (name == "uv")
            selection.uvSets = std::max(selection.uvSets, 1u);
        else if (name == "color")
            selection.colorSets = std::max(selection.colorSets, 1u);
        else if (name != "position")
            return false;
        start = end + 1;
    }
    return true;
}

ParseOutcome parse_options(int argc, char** argv, Options& options) {
    enum { versionOption = 256, triangulateOption };
    const option longOptions[] = {{"attributes", required_argument, nullptr, 'a'},
                                  {"format", required_argument, nullptr, 'f'},
                                  {"quiet", no_argument, nullptr, 'q'},
                                  {"verbose", no_argument, nullptr, 'v'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {"version", no_argument, nullptr, versionOption},
                                  {"triangulate", no_argument, nullptr, triangulateOption},
                                  {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "a:f:qvh", longOptions, nullptr)) != -1) {
        switch (opt) {
        case 'a':
            if (!parse_attributes(optarg, options.attributes)) {
                std::fprintf(stderr, "weldmesh: unknown attribute list '%s'\n", optarg);
                return ParseOutcome::usageError;
            }
            break;
        case 'f':
            options.formatId = optarg;
            break;
        case 'q':
            options.verbosity = Verbosity::quiet;
            break;
        case 'v':
            options.verbosity = Verbosity::verbose;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return ParseOutcome::exitSuccess;
        case versionOption:
            std::printf("weldmesh %s\n", WELDMESH_VERSION);
            return ParseOutcome::exitSuccess;
        case triangulateOption:
            options.triangulate = true;
            break;
        default:
            return ParseOutcome::usageError;
        }
    }
    if (argc - optind != 2) {
        if (argc > 1)
            std::fputs("weldmesh: expected two file names, INPUT and OUTPUT\n", stderr);
        return ParseOutcome::usageError;
    }
    options.input = argv[optind];
    options.output = argv[optind + 1];
    return ParseOutcome::run;
}

std::string lower_extension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    std::string extension = path.substr(dot + 1);
    for (char& c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

// The export format's id, or an empty string (with `error` set) when none fits.
std::string choose_export_format(const Options& options, std::string& error) {
    Assimp::Exporter exporter;
    const std::string extension = lower_extension(options.output);
    // Assimp's own reader does not read every float of ASCII PLY back exactly.
    if (options.formatId.empty() && extension == "ply")
        return "plyb";
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i) {
        const aiExportFormatDesc* format = exporter.GetExportFormatDescription(i);
        if (options.formatId.empty() ? extension == format->fileExtension
                                     : options.formatId == format->id)
            return format->id;
    }
    if (!options.formatId.empty())
        error = "no export format with id '" + options.formatId + "'";
    else if (extension.empty())
        error = "no extension to choose an export format by";
    else
        error = "no exporter writes '." + extension + "' files";
    return "";
}

// The exporters of these formats triangulate polygons on their own.
bool holds_only_triangles(const std::string& formatId) {
    for (const char* id : {"stl", "stlb", "gltf2", "glb2", "gltf", "glb", "3ds"})
        if (formatId == id)
            return true;
    return false;
}

bool check_input_file(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        fail(path, std::string("cannot open: ") + std::strerror(errno));
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        fail(path, "cannot open: is a directory");
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        fail(path, std::string("cannot open: ") + std::strerror(errno));
        return false;
    }
    std::fclose(file);
    return true;
}

bool has_polygons(const aiScene& scene, unsigned minimumCorners) {
    for (unsigned m = 0; m < scene.mNumMeshes; ++m)
        for (unsigned f = 0; f < scene.mMeshes[m]->mNumFaces; ++f)
            if (scene.mMeshes[m]->mFaces[f].mNumIndices >= minimumCorners)
                return true;
    return false;
}

void print_summary_line(const std::string& label, const MeshWeldResult& result) {
    std::printf("%s: %u faces, %u -> %u vertices, %.3f ms\n", label.c_str(), result.faces,
                result.verticesBefore, result.verticesAfter, result.weldSeconds * 1e3);
}

void print_report(const WeldReport& report, Verbosity verbosity) {
    if (verbosity == Verbosity::quiet)
        return;
    for (const WeldReportLine& line : report.lines) {
        const MeshWeldResult& result = line.result;
        if (result.faces == 0 && result.verticesBefore == 0 && !result.skipReason.empty()) {
            std::printf("%s: left as it was: %s\n", line.label.c_str(), result.skipReason.c_str());
            continue;
        }
        print_summary_line(line.label, result);
        if (!result.skipReason.empty())
            std::printf("  left as it was: %s\n", result.skipReason.c_str());
        if (verbosity == Verbosity::verbose) {
            std::printf("  kept: %s\n", result.kept.c_str());
            if (!result.dropped.empty())
                std::printf("  removed: %s\n", result.dropped.c_str());
        }
    }
    print_summary_line("total (" + std::to_string(report.meshes) +
                           (report.meshes == 1 ? " mesh)" : " meshes)"),
                       report.total);
}

bool weld_scene(aiScene& scene, const Options& options) {
    WeldReport report;
    report.meshes = scene.mNumMeshes;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        aiMesh& mesh = *scene.mMeshes[m];
        const std::string label = "mesh " + std::to_string(m) + " '" + mesh.mName.C_Str() + "'";
        MeshWeldResult result;
        std::string error;
        if (!weld_mesh(mesh, options.attributes, result, error)) {
            fail(options.input, label + ": " + error);
            return false;
        }
        report.total.faces += result.faces;
        report.total.verticesBefore += result.verticesBefore;
        report.total.verticesAfter += result.verticesAfter;
        report.total.weldSeconds += result.weldSeconds;
        report.lines.push_back({label, result});
    }
    print_report(report, options.verbosity);
    if (options.verbosity == Verbosity::quiet || !options.attributes.normals)
        return true;
    const std::string hint =
        positions_only_hint(scene, report.total.verticesBefore, report.total.verticesAfter);
    if (!hint.empty())
        std::printf("%s\n", hint.c_str());
    return true;
}

bool export_scene(const aiScene& scene, const Options& options, const std::string& formatId) {
    Assimp::Exporter exporter;
    auto* output = new StagedOutputSystem;
    exporter.SetIOHandler(output); // the exporter owns it from here on
    if (exporter.Export(&scene, formatId, options.output) != AI_SUCCESS) {
        output->discard();
        fail(options.output, std::string("cannot write: ") + exporter.GetErrorString());
        return false;
    }
    std::string error;
    if (!output->commit(options.input, error)) {
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Lets the glTF back-end write through the same staging as Assimp's exporters.
class StagedStream : public OutputFile {
  public:
    explicit StagedStream(Assimp::IOStream* stream) : stream_(stream) {}
    ~StagedStream() override { delete stream_; }
    bool write(const void* data, size_t size) override {
        return size == 0 || stream_->Write(data, 1, size) == size;
    }

  private:
    Assimp::IOStream* stream_;
};

int run_gltf(const Options& options) {
    if (!check_input_file(options.input))
        return 1;
    GltfAsset asset;
    std::string error;
    if (!asset.read(options.input, error)) {
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& written : asset.files_to_write(options.output))
        for (const std::string& read : asset.files_read())
            if (same_file(written, read)) {
                fail(written, "is a file the input reads (" + read + "); choose another output");
                return 1;
            }
    WeldReport report;
    if (!asset.weld(options.attributes, report, error)) {
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return 1;
    }
    print_report(report, options.verbosity);
    StagedOutputSystem output;
    const OutputOpener open = [&](const std::string& path,
                                  std::string& openError) -> std::unique_ptr<OutputFile> {
        Assimp::IOStream* stream = output.Open(path.c_str(), "wb");
        if (!stream) {
            openError = path + ": cannot write: " + std::strerror(errno);
            return nullptr;
        }
        return std::make_unique<StagedStream>(stream);
    };
    if (!asset.write(options.output, open, error)) {
        output.discard();
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return 1;
    }
    if (!output.commit(options.input, error)) {
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int run(const Options& options) {
    if (options.formatId.empty() && is_gltf_path(options.input) && is_gltf_path(options.output))
        return run_gltf(options);
    std::string error;
    const std::string formatId = choose_export_format(options, error);
    if (formatId.empty()) {
        fail(options.output, error);
        return 1;
    }
    if (!check_input_file(options.input))
        return 1;
    if (same_file(options.input, options.output)) {
        fail(options.output, "is the input file; choose another output");
        return 1;
    }

    // No other post-processing: every step that cleans up a mesh joins, splits or alters
    // vertices. Triangulation only regroups the corners of polygons.
    Assimp::Importer importer;
    const unsigned steps = options.triangulate ? unsigned(aiProcess_Triangulate) : 0u;
    if (!importer.ReadFile(options.input, steps)) {
        fail(options.input, std::string("cannot read: ") + importer.GetErrorString());
        return 1;
    }
    const std::unique_ptr<aiScene> scene(importer.GetOrphanedScene());
    if (!has_polygons(*scene, 3)) {
        fail(options.input, "no triangles or polygons to weld");
        return 1;
    }
    if (has_polygons(*scene, 4) && holds_only_triangles(formatId)) {
        fail(options.output,
             "format '" + formatId +
                 "' holds only triangles and the input has polygons (--triangulate splits them)");
        return 1;
    }
    if (options.verbosity == Verbosity::verbose)
        std::printf("export format: %s\n", formatId.c_str());
    return weld_scene(*scene, options) && export_scene(*scene, options, formatId) ? 0 : 1;
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
        return run(options);
    }
    return 2;
}
