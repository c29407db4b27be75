#include "options.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kUsage[] =
    "usage: weldmesh [options] INPUT OUTPUT\n"
    "       weldmesh [options] INPUT... -o DIR\n"
    "Removes exact duplicate vertices from every mesh of INPUT and writes the result to\n"
    "OUTPUT, in the format OUTPUT's extension names (ply, obj, stl, glb, gltf, dae, ...).\n"
    "Faces keep their order and every face corner keeps its attribute values.\n"
    "With -o, welds every INPUT into DIR under its own name; an INPUT that is a folder is\n"
    "walked for the model files weldmesh reads, and its layout is kept under DIR.\n"
    "\n"
    "options:\n"
    "  -a, --attributes LIST  attributes to weld on and keep, comma-separated from position,\n"
    "                         normal (with tangents and bitangents), uv (first texture\n"
    "                         coordinate set), color (first colour set), or all (default:\n"
    "                         every attribute and every set the meshes have). Positions are\n"
    "                         always kept; the others are removed from the output.\n"
    "      --merge-distance D also merge vertices whose positions lie within D of each\n"
    "                         other and whose other float attributes are equal, or within\n"
    "                         --tolerance; integer and normalized attributes (quantized\n"
    "                         positions, 8- and 16-bit colours, joints) merge only where equal\n"
    "      --tolerance T      with --merge-distance: how much each other float component may\n"
    "                         differ (default 0: equal)\n"
    "  -f, --format ID        export format id instead of the extension's, e.g. stlb for\n"
    "                         binary STL or ply for ASCII PLY (.ply is binary by default)\n"
    "      --triangulate      split polygons into triangles, keeping their corners, as\n"
    "                         triangles-only formats (stl, glb, gltf, 3ds) need\n"
    "      --time-limit S     stop reading, welding and writing after S seconds (default 300;\n"
    "                         0 for no limit)\n"
    "      --memory-limit MIB stop when the tool's address space would exceed MIB mebibytes\n"
    "                         (default 1024 plus 64 times the input file's size; 0 for no limit)\n"
    "      --allow-outside-references\n"
    "                         read files the input refers to outside its folder (absolute\n"
    "                         paths, file: URIs, ../); refused by default\n"
    "  -o, --output-dir DIR   batch mode: weld every INPUT into DIR\n"
    "      --output-ext EXT   batch mode: write the format EXT names (glb, ply, ...) instead\n"
    "                         of each input's own\n"
    "  -j N                   batch mode: weld N files at once (default: one per core)\n"
    "  -q, --quiet            print nothing but errors\n"
    "  -v, --verbose          also print the attributes welded, what was removed, and the\n"
    "                         export format\n"
    "  -h, --help             print this help and exit\n"
    "      --version          print the version and exit\n"
    "\n"
    "A .gltf or .glb written from a .gltf or .glb (without --format) keeps every byte of the\n"
    "asset but the duplicate vertices: each triangle primitive is welded on all its attributes\n"
    "and morph targets, merging corners only when all their bytes are equal (with\n"
    "--merge-distance, when they are close); each vertex left is one of the input's.\n"
    "\n"
    "Other formats go through Assimp, whose exporters decide what the file keeps: ply and obj\n"
    "keep positions, normals and uv exactly (ply stores colours in 8 bits, obj drops alpha and\n"
    "adds normals where there were none); stl keeps positions only; glb and gltf keep positions\n"
    "and colours exactly but normalize normals, store texture V as 1 - v and join nearly equal\n"
    "vertices again.\n"
    "\n"
    "No file that INPUT reads (its materials, buffers or images) is ever written, and output\n"
    "files appear only once all of them are complete; a failed run leaves every file as it\n"
    "was. Only regular files inside INPUT's folder are read. A reader that crashes or passes\n"
    "a limit costs one error line and exit status 1.\n";

namespace {

const unsigned long long kMiB = 1ull << 20;
const unsigned long long kMemoryLimitBase = 1024 * kMiB;
const unsigned kMemoryLimitPerInputByte = 64;

bool parse_count(const char* text, unsigned long long maximum, unsigned long long& value) {
    char* end;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && value <= maximum;
}

// A distance or a tolerance: a number of 0 or more, finite as a float. NaN, infinities and signs
// are refused by the first character.
bool parse_radius(const char* text, float& value) {
    char* end;
    value = float(std::strtod(text, &end));
    return ((*text >= '0' && *text <= '9') || *text == '.') && end != text && *end == '\0' &&
           std::isfinite(value);
}

const char kShortOptions[] = ":a:f:o:j:qvh";

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

} // namespace

ParseOutcome parse_options(int argc, char** argv, Options& options) {
    enum {
        versionOption = 256,
        triangulateOption,
        timeLimitOption,
        memoryLimitOption,
        allowOutsideOption,
        outputExtensionOption,
        mergeDistanceOption,
        toleranceOption
    };
    const option longOptions[] = {
        {"attributes", required_argument, nullptr, 'a'},
        {"format", required_argument, nullptr, 'f'},
        {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, versionOption},
        {"triangulate", no_argument, nullptr, triangulateOption},
        {"time-limit", required_argument, nullptr, timeLimitOption},
        {"memory-limit", required_argument, nullptr, memoryLimitOption},
        {"allow-outside-references", no_argument, nullptr, allowOutsideOption},
        {"output-dir", required_argument, nullptr, 'o'},
        {"output-ext", required_argument, nullptr, outputExtensionOption},
        {"merge-distance", required_argument, nullptr, mergeDistanceOption},
        {"tolerance", required_argument, nullptr, toleranceOption},
        {nullptr, 0, nullptr, 0}};
    // getopt's own messages would name the program by its full path.
    opterr = 0;
    int opt;
    unsigned long long value;
    bool toleranceGiven = false;
    while ((opt = getopt_long(argc, argv, kShortOptions, longOptions, nullptr)) != -1) {
        switch (opt) {
        case 'a': {
            const std::string unknown = parse_attribute_list(optarg, options.attributes);
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
        case 'o':
            options.outputDir = optarg;
            break;
        case outputExtensionOption:
            options.outputExtension = optarg[0] == '.' ? optarg + 1 : optarg;
            break;
        case 'j':
            if (!parse_count(optarg, 1024, value) || value == 0) {
                std::fprintf(stderr,
                             "weldmesh: -j takes a number of files from 1 to 1024, not "
                             "'%s'\n",
                             optarg);
                return ParseOutcome::usageError;
            }
            options.jobs = unsigned(value);
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
        case allowOutsideOption:
            options.allowOutsideReferences = true;
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
        case mergeDistanceOption:
            if (!parse_radius(optarg, options.merge.distance)) {
                std::fprintf(stderr,
                             "weldmesh: --merge-distance takes a distance of 0 or more, not '%s'\n",
                             optarg);
                return ParseOutcome::usageError;
            }
            options.merge.active = true;
            break;
        case toleranceOption:
            if (!parse_radius(optarg, options.merge.tolerance)) {
                std::fprintf(stderr,
                             "weldmesh: --tolerance takes a difference of 0 or more, not '%s'\n",
                             optarg);
                return ParseOutcome::usageError;
            }
            toleranceGiven = true;
            break;
        default:
            report_bad_option(opt, argv[optind - 1]);
            return ParseOutcome::usageError;
        }
    }
    if (toleranceGiven && !options.merge.active) {
        std::fputs("weldmesh: --tolerance goes with --merge-distance\n", stderr);
        return ParseOutcome::usageError;
    }
    if (is_batch(options)) {
        if (argc == optind) {
            std::fputs("weldmesh: expected at least one INPUT with -o\n", stderr);
            return ParseOutcome::usageError;
        }
        options.inputs.assign(argv + optind, argv + argc);
        return ParseOutcome::run;
    }
    if (!options.outputExtension.empty() || options.jobs != 0) {
        std::fputs("weldmesh: --output-ext and -j go with -o DIR\n", stderr);
        return ParseOutcome::usageError;
    }
    if (argc - optind != 2) {
        if (argc > 1)
            std::fputs("weldmesh: expected two file names, INPUT and OUTPUT\n", stderr);
        return ParseOutcome::usageError;
    }
    options.inputs = {argv[optind]};
    options.output = argv[optind + 1];
    return ParseOutcome::run;
}

bool is_batch(const Options& options) {
    return !options.outputDir.empty();
}

// Room for the largest real models, whose readers need a few times their file's size, while a
// small file that makes its reader swallow memory is stopped well before the machine suffers.
unsigned long long default_memory_limit(const std::string& input) {
    struct stat info;
    const unsigned long long size = stat(input.c_str(), &info) == 0 ? info.st_size : 0;
    return kMemoryLimitBase + kMemoryLimitPerInputByte * size;
}
