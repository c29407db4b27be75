// weldmesh: removes exact duplicate vertices from every mesh of a model file.
#include "assimp_io.h"
#include "contained_run.h"
#include "gltf_backend.h"
#include "input_files.h"
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
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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
    "      --time-limit S     stop reading, welding and writing after S seconds (default 300;\n"
    "                         0 for no limit)\n"
    "      --memory-limit MIB stop when the tool's address space would exceed MIB mebibytes\n"
    "                         (default 1024 plus 64 times the input file's size; 0 for no limit)\n"
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
    "vertices again.\n"
    "\n"
    "No file that INPUT reads (its materials, buffers or images) is ever written, and output\n"
    "files appear only once all of them are complete. A reader that crashes or passes a\n"
    "limit costs one error line and exit status 1.\n";

const unsigned kDefaultTimeLimitSeconds = 300;
const unsigned long long kMiB = 1ull << 20;
const unsigned long long kMemoryLimitBase = 1024 * kMiB;
const unsigned kMemoryLimitPerInputByte = 64;

enum class Verbosity { quiet, normal, verbose };

struct Options {
    std::string input;
    std::string output;
    std::string formatId;
    AttributeSelection attributes;
    Verbosity verbosity = Verbosity::normal;
    bool triangulate = false;
    JobLimits limits = {kDefaultTimeLimitSeconds, 0};
    bool memoryLimitGiven = false;
};

enum class ParseOutcome { run, exitSuccess, usageError };

void fail(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "weldmesh: %s: %s\n", file.c_str(), reason.c_str());
}

// Returns the first name that is not an attribute, or an empty string when all are.
std::string parse_attributes(const std::string& list, AttributeSelection& selection) {
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
            return name.empty() ? "''" : "'" + name + "'";
        start = end + 1;
    }
    return "";
}

bool parse_count(const char* text, unsigned long long maximum, unsigned long long& value) {
    char* end;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && value <= maximum;
}

const char kShortOptions[] = ":a:f:qvh";

// The option getopt stopped at, as the user wrote it: "--name" without its value, or "-c".
std::string option_text(const char* argument, bool isShort) {
    const std::string text = argument;
    return isShort ? std::string("-") + char(optopt) : text.substr(0, text.find('='));
}

void report_bad_option(int opt, const char* argument) {
    if (opt == ':') {
        const bool isShort = std::strncmp(argument, "--", 2) != 0;
        std::fprintf(stderr, "weldmesh: option '%s' needs a value\n",
                     option_text(argument, isShort).c_str());
        return;
    }
    // optopt is 0 for an unknown long option, and a known option's own value when a long
    // option that takes no value was given one.
    const bool unknownShort =
        optopt > 0 && optopt < 128 && optopt != ':' && !std::strchr(kShortOptions, optopt);
    if (optopt == 0 || unknownShort)
        std::fprintf(stderr, "weldmesh: unknown option '%s'\n",
                     option_text(argument, unknownShort).c_str());
    else
        std::fprintf(stderr, "weldmesh: option '%s' takes no value\n",
                     option_text(argument, false).c_str());
}

ParseOutcome parse_options(int argc, char** argv, Options& options) {
    enum { versionOption = 256, triangulateOption, timeLimitOption, memoryLimitOption };
    const option longOptions[] = {{"attributes", required_argument, nullptr, 'a'},
                                  {"format", required_argument, nullptr, 'f'},
                                  {"quiet", no_argument, nullptr, 'q'},
                                  {"verbose", no_argument, nullptr, 'v'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {"version", no_argument, nullptr, versionOption},
                                  {"triangulate", no_argument, nullptr, triangulateOption},
                                  {"time-limit", required_argument, nullptr, timeLimitOption},
                                  {"memory-limit", required_argument, nullptr, memoryLimitOption},
                                  {nullptr, 0, nullptr, 0}};
    // getopt's own messages would name the program by its full path.
    opterr = 0;
    int opt;
    unsigned long long value;
    while ((opt = getopt_long(argc, argv, kShortOptions, longOptions, nullptr)) != -1) {
        switch (opt) {
        case 'a': {
            const std::string unknown = parse_attributes(optarg, options.attributes);
            if (!unknown.empty()) {
                std::fprintf(stderr,
                             "weldmesh: unknown attribute %s in '%s'; the attributes are "
                             "position, normal, uv, color and all\n",
                             unknown.c_str(), optarg);
                return ParseOutcome::usageError;
            }
            break;
        }
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
        case timeLimitOption:
            if (!parse_count(optarg, UINT_MAX, value)) {
                std::fprintf(stderr, "weldmesh: --time-limit takes whole seconds, not '%s'\n",
                             optarg);
                return ParseOutcome::usageError;
            }
            options.limits.seconds = unsigned(value);
            break;
        case memoryLimitOption:
            if (!parse_count(optarg, ULLONG_MAX / kMiB, value)) {
                std::fprintf(stderr, "weldmesh: --memory-limit takes whole mebibytes, not '%s'\n",
                             optarg);
                return ParseOutcome::usageError;
            }
            options.limits.memoryBytes = value * kMiB;
            options.memoryLimitGiven = true;
            break;
        default:
            report_bad_option(opt, argv[optind - 1]);
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

bool export_scene(const aiScene& scene, const Options& options, const std::string& formatId,
                  const InputFiles& inputs, const std::string& stagingDirectory) {
    StagedOutputs outputs(stagingDirectory, inputs);
    Assimp::Exporter exporter;
    exporter.SetIOHandler(new StagingIOSystem(outputs)); // the exporter owns it from here on
    const bool exported = exporter.Export(&scene, formatId, options.output) == AI_SUCCESS;
    if (!outputs.finish() || !outputs.error().empty()) {
        std::fprintf(stderr, "weldmesh: %s\n", outputs.error().c_str());
        return false;
    }
    if (!exported) {
        fail(options.output, std::string("cannot write: ") + exporter.GetErrorString());
        return false;
    }
    return true;
}

// Lets the glTF back-end write through the same staging as Assimp's exporters.
class StagedFile : public OutputFile {
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

int run_gltf(const Options& options, const std::string& stagingDirectory) {
    if (!check_input_file(options.input))
        return 1;
    if (same_file(options.input, options.output)) {
        fail(options.output, "is the input file; choose another output");
        return 1;
    }
    enter_stage(JobStage::reading);
    GltfAsset asset;
    std::string error;
    if (!asset.read(options.input, error)) {
        if (allocation_failed())
            throw std::bad_alloc();
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return 1;
    }
    InputFiles inputs(options.input);
    for (const std::string& path : asset.files_read())
        inputs.add(path);
    enter_stage(JobStage::welding);
    WeldReport report;
    if (!asset.weld(options.attributes, report, error)) {
        if (allocation_failed())
            throw std::bad_alloc();
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return 1;
    }
    print_report(report, options.verbosity);
    enter_stage(JobStage::writing);
    StagedOutputs outputs(stagingDirectory, inputs);
    const OutputOpener open = [&](const std::string& path,
                                  std::string& openError) -> std::unique_ptr<OutputFile> {
        std::FILE* file = outputs.open(path);
        if (!file) {
            openError = outputs.error();
            return nullptr;
        }
        return std::make_unique<StagedFile>(file, outputs);
    };
    const bool written = asset.write(options.output, open, error);
    if (!outputs.finish() || !outputs.error().empty()) {
        std::fprintf(stderr, "weldmesh: %s\n", outputs.error().c_str());
        return 1;
    }
    if (!written) {
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int run(const Options& options, const std::string& stagingDirectory) {
    if (options.formatId.empty() && is_gltf_path(options.input) && is_gltf_path(options.output))
        return run_gltf(options, stagingDirectory);
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
    InputFiles inputs(options.input);
    Assimp::Importer importer;
    importer.SetIOHandler(new RecordingIOSystem(inputs)); // the importer owns it from here on
    enter_stage(JobStage::reading);
    const unsigned steps = options.triangulate ? unsigned(aiProcess_Triangulate) : 0u;
    if (!importer.ReadFile(options.input, steps)) {
        // Assimp turns a reader's exceptions, std::bad_alloc included, into its error text.
        if (allocation_failed())
            throw std::bad_alloc();
        fail(options.input, std::string("cannot read: ") + importer.GetErrorString());
        return 1;
    }
    const std::unique_ptr<aiScene> scene(importer.GetOrphanedScene());
    add_texture_files(*scene, inputs);
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
    enter_stage(JobStage::welding);
    if (!weld_scene(*scene, options))
        return 1;
    enter_stage(JobStage::writing);
    return export_scene(*scene, options, formatId, inputs, stagingDirectory) ? 0 : 1;
}

// Room for the largest real models, whose readers need a few times their file's size, while a
// small file that makes its reader swallow memory is stopped well before the machine suffers.
unsigned long long default_memory_limit(const std::string& input) {
    struct stat info;
    const unsigned long long size = stat(input.c_str(), &info) == 0 ? info.st_size : 0;
    return kMemoryLimitBase + kMemoryLimitPerInputByte * size;
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
        return run_contained(options.input, options.output, options.limits,
                             [&](const std::string& staging) { return run(options, staging); });
    }
    return 2;
}
