// Times WeldMesh beside the tests' reference welder and meshoptimizer's hash-based welder, case by
// case in one process, and prints a table of median times, time ratios and WeldMesh's peak heap.
// The real-mesh cases weld every mesh of the sample models in a size class once per timed
// iteration, so their times are sums over the meshes; their peak heap is that of the largest call
// beside the most bytes per vertex of any call.
//
//   weld_bench [--tiny] [--worst-scale=F] [--repetitions=N] [Google Benchmark flags]
//
// --tiny runs every case once at a tiny size. --worst-scale multiplies the vertex counts of the
// worst cases, which take minutes at full size wherever a run is merged vertex by vertex.
#include "heap_counter.h"
#include "reference_weld.h"
#include "weld_shapes.h"
#include "weldmesh.h"

#include <assimp/cimport.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <benchmark/benchmark.h>
#include <meshoptimizer.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

const unsigned kSeed = 20240601;
const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// The largest triangle meshes among the sample models.
const char* const kModelFiles[] = {
    "BLEND/yxa_1.blend",
    "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb",
    "IFC/AC14-FZK-Haus.ifc",
    "Collada/human.zae",
};

struct Options {
    bool tiny = false;
    double worstScale = 1.0;
    int repetitions = 5;
};

struct Sizes {
    int gridSide;
    int plainVertices;
    int oneInfVertices;
    int worstVertices;
    size_t modelVertexLimit;
};

Sizes SizesFor(const Options& options) {
    if (options.tiny)
        return {12, 1000, 1000, 200, 1000};
    const auto scaled = [&](int count) { return std::max(2, int(count * options.worstScale)); };
    return {1000, 1000000, scaled(1000000), scaled(200000), SIZE_MAX};
}

struct Soup {
    int floatsPerVert = 0;
    std::vector<float> values;
    int VertexCount() const { return floatsPerVert ? int(values.size() / floatsPerVert) : 0; }
};

// Position, normal and texture coordinate of a wavy height field over the unit square.
std::array<float, 8> SurfaceVertex(double u, double v) {
    const double height = 0.2 * std::sin(3 * u) * std::cos(4 * v);
    const double slopeU = 0.6 * std::cos(3 * u) * std::cos(4 * v);
    const double slopeV = -0.8 * std::sin(3 * u) * std::sin(4 * v);
    const double length = std::sqrt(slopeU * slopeU + slopeV * slopeV + 1);
    return {float(u),
            float(v),
            float(height),
            float(-slopeU / length),
            float(-slopeV / length),
            float(1 / length),
            float(u),
            float(v)};
}

// Which coordinate of the surface comes second: the grid's other axis, so that a position is
// settled on its second component, or the height, as in a height field stored x, height, y.
enum class SecondChannel { kAxis, kHeight };

// Two triangles per grid cell, each triangle's three vertices written out in full.
Soup GridSoup(int side, int floatsPerVert, bool shuffled, SecondChannel second) {
    std::vector<std::array<float, 8>> grid;
    for (int j = 0; j < side; j++) {
        for (int i = 0; i < side; i++) {
            grid.push_back(SurfaceVertex(i / double(side - 1), j / double(side - 1)));
            if (second == SecondChannel::kHeight)
                std::swap(grid.back()[1], grid.back()[2]);
        }
    }

    std::vector<std::array<int, 3>> triangles;
    for (int j = 0; j + 1 < side; j++) {
        for (int i = 0; i + 1 < side; i++) {
            const int corner = j * side + i;
            triangles.push_back({corner, corner + 1, corner + side});
            triangles.push_back({corner + side, corner + 1, corner + side + 1});
        }
    }
    if (shuffled)
        std::shuffle(triangles.begin(), triangles.end(), std::mt19937(kSeed));

    Soup soup{floatsPerVert, {}};
    soup.values.reserve(triangles.size() * 3 * floatsPerVert);
    for (const std::array<int, 3>& triangle : triangles)
        for (int corner : triangle)
            soup.values.insert(soup.values.end(), grid[corner].begin(),
                               grid[corner].begin() + floatsPerVert);
    return soup;
}

const aiScene* ImportTriangles(const std::string& path) {
    return aiImportFile(path.c_str(),
                        aiProcess_Triangulate | aiProcess_GenSmoothNormals | aiProcess_SortByPType);
}

// Appends the mesh's triangles until the soup holds the limit of vertices: position, normal and,
// where the soup has room for them, texture coordinates.
void AppendTriangles(const aiMesh& mesh, size_t vertexLimit, Soup& soup) {
    if (!mesh.HasNormals())
        return;
    for (unsigned f = 0; f < mesh.mNumFaces; f++) {
        const aiFace& face = mesh.mFaces[f];
        for (unsigned k = 0; k < face.mNumIndices && face.mNumIndices == 3; k++) {
            if (size_t(soup.VertexCount()) == vertexLimit)
                return;
            const aiVector3D& p = mesh.mVertices[face.mIndices[k]];
            const aiVector3D& n = mesh.mNormals[face.mIndices[k]];
            soup.values.insert(soup.values.end(), {p.x, p.y, p.z, n.x, n.y, n.z});
            if (soup.floatsPerVert == 8) {
                const aiVector3D& uv = mesh.mTextureCoords[0][face.mIndices[k]];
                soup.values.insert(soup.values.end(), {uv.x, uv.y});
            }
        }
    }
}

// Every triangle of every mesh in the file, up to the limit: position, normal and, where every
// mesh has them, texture coordinates. Empty when the file cannot be read.
Soup ModelSoup(const std::string& path, size_t vertexLimit) {
    const aiScene* scene = ImportTriangles(path);
    Soup soup;
    if (scene == nullptr)
        return soup;
    bool allHaveUVs = true;
    for (unsigned m = 0; m < scene->mNumMeshes; m++)
        allHaveUVs = allHaveUVs && scene->mMeshes[m]->HasTextureCoords(0);
    soup.floatsPerVert = allHaveUVs ? 8 : 6;
    for (unsigned m = 0; m < scene->mNumMeshes; m++)
        AppendTriangles(*scene->mMeshes[m], vertexLimit, soup);
    aiReleaseImport(scene);
    return soup;
}

// The real-mesh cases: the corner counts where each size class starts, the last one open-ended.
const int kRealMeshClassFloors[] = {300, 10000, 100000};
const char* const kRealMeshClassNames[] = {"300-10k", "10k-100k", ">= 100k"};
const int kRealMeshClasses = 3;

// Each mesh of every sample model that Assimp reads, as its own soup with texture coordinates
// where the mesh has them, sorted into the size classes. Imported once, by the first case that
// asks, and timed.
class RealMeshes {
  public:
    RealMeshes(std::string directory, bool tiny) : directory(std::move(directory)), tiny(tiny) {}

    const std::vector<Soup>& Class(int sizeClass) {
        if (!imported)
            Import();
        return classes[sizeClass];
    }

    void PrintSummary() const {
        if (!imported)
            return;
        std::printf(
            "\nReal meshes: %d of %d files read, %d meshes, %zu with at least %d corners "
            "(%zu / %zu / %zu by class)%s; importing them took %.1f s.\n",
            filesRead, files, meshes, classes[0].size() + classes[1].size() + classes[2].size(),
            kRealMeshClassFloors[0], classes[0].size(), classes[1].size(), classes[2].size(),
            tiny ? ", --tiny: until every class had one" : "", importSeconds);
    }

  private:
    // The models under invalid/ exist to break importers; one of them aborts the process.
    std::vector<std::string> ModelPaths() const {
        std::vector<std::string> paths;
        std::error_code error;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(directory, error)) {
            const std::string relative = entry.path().lexically_relative(directory).string();
            if (entry.is_regular_file() && relative.rfind("invalid/", 0) != 0)
                paths.push_back(entry.path().string());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    bool EveryClassHasAMesh() const {
        return std::none_of(classes.begin(), classes.end(),
                            [](const std::vector<Soup>& c) { return c.empty(); });
    }

    void AddMesh(const aiMesh& mesh) {
        meshes++;
        Soup soup{mesh.HasTextureCoords(0) ? 8 : 6, {}};
        AppendTriangles(mesh, SIZE_MAX, soup);
        for (int c = kRealMeshClasses - 1; c >= 0; c--) {
            if (soup.VertexCount() >= kRealMeshClassFloors[c]) {
                classes[c].push_back(std::move(soup));
                return;
            }
        }
    }

    void Import() {
        const auto start = std::chrono::steady_clock::now();
        for (const std::string& path : ModelPaths()) {
            if (tiny && EveryClassHasAMesh())
                break;
            files++;
            const aiScene* scene = ImportTriangles(path);
            if (scene == nullptr)
                continue;
            filesRead++;
            for (unsigned m = 0; m < scene->mNumMeshes; m++)
                AddMesh(*scene->mMeshes[m]);
            aiReleaseImport(scene);
        }
        importSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        imported = true;
    }

    std::string directory;
    bool tiny;
    bool imported = false;
    std::array<std::vector<Soup>, kRealMeshClasses> classes;
    int files = 0, filesRead = 0, meshes = 0;
    double importSeconds = 0;
};

Soup RandomSoup(int vertices, int floatsPerVert) {
    std::mt19937 random(kSeed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    Soup soup{floatsPerVert, std::vector<float>(size_t(vertices) * floatsPerVert)};
    for (float& f : soup.values)
        f = value(random);
    return soup;
}

Soup IdenticalSoup(int vertices) {
    Soup soup{3, {}};
    for (int i = 0; i < vertices; i++)
        soup.values.insert(soup.values.end(), {0.5f, -2.0f, 7.25f});
    return soup;
}

Soup OneInfSoup(int vertices) {
    Soup soup = RandomSoup(vertices, 1);
    soup.values[vertices / 2] = -kInf;
    return soup;
}

Soup ScatteredNaNSoup(int vertices) {
    Soup soup = RandomSoup(vertices, 3);
    std::mt19937 random(kSeed + 1);
    std::bernoulli_distribution isNaN(1.0 / 16);
    for (float& f : soup.values)
        if (isNaN(random))
            f = kNaN;
    return soup;
}

// Channel 0 is the same everywhere, so channel 1, where both infinities stand, has to decide.
Soup BothInfSoup(int vertices) {
    Soup soup = RandomSoup(vertices, 2);
    for (int i = 0; i < vertices; i++)
        soup.values[2 * i] = 1.0f;
    soup.values[1] = -kInf;
    soup.values[2 * vertices - 1] = kInf;
    return soup;
}

// Groups of 64 vertices agree on every float but the first, the group number, and the last, set
// on one vertex of each group: every float between is passed over before the last one decides.
Soup WideSoup(int vertices, int floatsPerVert) {
    Soup soup{floatsPerVert, std::vector<float>(size_t(vertices) * floatsPerVert, 0.0f)};
    for (int i = 0; i < vertices; i++) {
        soup.values[size_t(i) * floatsPerVert] = float(i / 64);
        if (i % 64 == 63)
            soup.values[size_t(i) * floatsPerVert + floatsPerVert - 1] = 1.0f;
    }
    return soup;
}

// -inf keeps the one channel from splitting, so a single run holds three distinct vertices.
Soup FewDistinctWithInfSoup(int vertices) {
    Soup soup{1, std::vector<float>(vertices)};
    for (int i = 0; i < vertices; i++)
        soup.values[i] = i % 3 == 0 ? -kInf : i % 3 == 1 ? 5.0f : -0.0f;
    return soup;
}

struct Case {
    std::string name;
    bool quadratic; // the reference welder would take minutes
    bool meshSet;   // many meshes, each welded once per timed iteration
    std::function<std::vector<Soup>()> make;
};

std::vector<Case> Cases(const Sizes& sizes, RealMeshes& realMeshes) {
    std::vector<Case> cases;
    const auto add = [&](std::string name, bool quadratic, std::function<Soup()> make) {
        cases.push_back({std::move(name), quadratic, false, [=] {
                             std::vector<Soup> soups;
                             soups.push_back(make());
                             return soups;
                         }});
    };
    for (SecondChannel second : {SecondChannel::kAxis, SecondChannel::kHeight})
        for (int floats : {3, 8})
            for (bool shuffled : {false, true})
                add(std::string(second == SecondChannel::kAxis ? "grid, " : "height field, ") +
                        std::to_string(floats) +
                        (shuffled ? " floats, shuffled" : " floats, mesh order"),
                    false, [=] { return GridSoup(sizes.gridSide, floats, shuffled, second); });
    for (const char* file : kModelFiles) {
        const std::string path = std::string(WELD_BENCH_MODEL_DIR) + "/" + file;
        add("model " + path.substr(path.rfind('/') + 1), false,
            [=] { return ModelSoup(path, sizes.modelVertexLimit); });
    }
    for (int c = 0; c < kRealMeshClasses; c++)
        cases.push_back({std::string("real meshes, ") + kRealMeshClassNames[c] + " corners", false,
                         true, [&realMeshes, c] { return realMeshes.Class(c); }});
    add("all identical", false, [=] { return IdenticalSoup(sizes.plainVertices); });
    add("all distinct, random", false, [=] { return RandomSoup(sizes.plainVertices, 3); });
    add("64 floats, equal but the first and last", false,
        [=] { return WideSoup(sizes.plainVertices / 16, 64); });
    add("3 distinct values beside -inf, 1 float", false,
        [=] { return FewDistinctWithInfSoup(sizes.plainVertices); });
    add("one -inf, 1 float", true, [=] { return OneInfSoup(sizes.oneInfVertices); });
    add("all NaN, 1 float", true, [=] {
        return Soup{1, std::vector<float>(sizes.worstVertices, kNaN)};
    });
    add("scattered NaN, 3 floats", true, [=] { return ScatteredNaNSoup(sizes.worstVertices); });
    add("-inf and +inf in one channel, 2 floats", true,
        [=] { return BothInfSoup(sizes.worstVertices); });
    add("-inf and +inf among 5,000 integers, 2 floats", true, [=] {
        return Soup{2, BothInfinitiesAmongIntegers(sizes.worstVertices, kSeed)};
    });
    return cases;
}

// Output arrays of a case, shared by its welders and sized for its largest soup; every call
// overwrites them.
struct WeldBuffers {
    std::vector<int> remap;
    std::vector<unsigned int> meshoptRemap;
    std::vector<float> out;
};

WeldBuffers BuffersFor(const std::vector<Soup>& soups) {
    size_t vertices = 0, values = 0;
    for (const Soup& soup : soups) {
        vertices = std::max(vertices, size_t(soup.VertexCount()));
        values = std::max(values, soup.values.size());
    }
    return {std::vector<int>(vertices), std::vector<unsigned int>(vertices),
            std::vector<float>(values)};
}

using Welder = int (*)(const Soup&, WeldBuffers&);

int WeldWithLibrary(const Soup& soup, WeldBuffers& buffers) {
    return WeldMesh(buffers.remap.data(), buffers.out.data(), soup.values.data(),
                    soup.VertexCount(), soup.floatsPerVert);
}

int WeldWithReference(const Soup& soup, WeldBuffers& buffers) {
    return ReferenceWeldMesh(buffers.remap.data(), buffers.out.data(), soup.values.data(),
                             soup.VertexCount(), soup.floatsPerVert);
}

int WeldWithMeshopt(const Soup& soup, WeldBuffers& buffers) {
    const size_t vertices = soup.VertexCount();
    const size_t vertexSize = sizeof(float) * soup.floatsPerVert;
    const size_t unique = meshopt_generateVertexRemap(
        buffers.meshoptRemap.data(), nullptr, vertices, soup.values.data(), vertices, vertexSize);
    meshopt_remapVertexBuffer(buffers.out.data(), soup.values.data(), vertices, vertexSize,
                              buffers.meshoptRemap.data());
    return int(unique);
}

struct NamedWelder {
    const char* name;
    Welder weld;
};

const NamedWelder kWelders[] = {
    {"WeldMesh", WeldWithLibrary},
    {"reference", WeldWithReference},
    {"meshopt", WeldWithMeshopt},
};

void TimeWelder(benchmark::State& state, Welder weld, const std::vector<Soup>& soups,
                WeldBuffers& buffers) {
    for (auto _ : state) {
        for (const Soup& soup : soups)
            benchmark::DoNotOptimize(weld(soup, buffers));
        benchmark::ClobberMemory();
    }
}

// WeldMesh's distinct vertices summed over the soups, and its peak heap: that of the largest call,
// and the most bytes per vertex of any call. Measured outside the timed runs.
struct WeldMeshFigures {
    long long distinct = 0;
    double peakHeapBytes = 0;
    double peakHeapBytesPerVertex = 0;
};

WeldMeshFigures MeasureWeldMesh(const std::vector<Soup>& soups, WeldBuffers& buffers) {
    WeldMeshFigures figures;
    for (const Soup& soup : soups) {
        HeapCounterRestart();
        figures.distinct += WeldWithLibrary(soup, buffers);
        const double peak = double(HeapCounterPeakGrowth());
        figures.peakHeapBytes = std::max(figures.peakHeapBytes, peak);
        figures.peakHeapBytesPerVertex =
            std::max(figures.peakHeapBytesPerVertex, peak / soup.VertexCount());
    }
    return figures;
}

void PrintTableHeader() {
    std::printf("\n| case | vertices | floats | distinct | WeldMesh ms | reference ms | meshopt ms "
                "| WeldMesh / meshopt | reference / meshopt | WeldMesh peak heap |\n");
    std::printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
}

// Keeps each welder's median (or only) time in milliseconds for the case being timed.
class ResultCollector : public benchmark::BenchmarkReporter {
  public:
    std::map<std::string, double> milliseconds;

    bool ReportContext(const Context& context) override {
        if (!contextPrinted) {
            PrintBasicContext(&GetOutputStream(), context);
            GetOutputStream().flush();
            PrintTableHeader();
            contextPrinted = true;
        }
        return true;
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool only = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (median || only)
                milliseconds[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }

  private:
    bool contextPrinted = false;
};

std::string Formatted(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string VerticesCell(const Case& c, const std::vector<Soup>& soups) {
    long long vertices = 0;
    for (const Soup& soup : soups)
        vertices += soup.VertexCount();
    if (!c.meshSet)
        return std::to_string(vertices);
    return std::to_string(soups.size()) + (soups.size() == 1 ? " mesh, " : " meshes, ") +
           std::to_string(vertices) + " corners";
}

std::string FloatsCell(const std::vector<Soup>& soups) {
    std::set<int> floats;
    for (const Soup& soup : soups)
        floats.insert(soup.floatsPerVert);
    std::string cell;
    for (int f : floats)
        cell += (cell.empty() ? "" : " or ") + std::to_string(f);
    return cell;
}

void PrintRow(const Case& c, const std::vector<Soup>& soups, const WeldMeshFigures& figures,
              const std::map<std::string, double>& milliseconds) {
    const double weld = milliseconds.at("WeldMesh");
    const double meshopt = milliseconds.at("meshopt");
    std::string referenceTime = "skipped: quadratic", referenceRatio = "-";
    if (!c.quadratic) {
        const double reference = milliseconds.at("reference");
        referenceTime = Formatted("%.3f", reference);
        referenceRatio = Formatted("%.2f", reference / meshopt);
    }
    std::printf("| %s | %s | %s | %lld | %.3f | %s | %.3f | %.2f | %s | %.1f KiB%s, %.2f "
                "B/vertex%s |\n",
                c.name.c_str(), VerticesCell(c, soups).c_str(), FloatsCell(soups).c_str(),
                figures.distinct, weld, referenceTime.c_str(), meshopt, weld / meshopt,
                referenceRatio.c_str(), figures.peakHeapBytes / 1024,
                c.meshSet ? " largest call" : "", figures.peakHeapBytesPerVertex,
                c.meshSet ? " at most" : "");
    std::fflush(stdout);
}

void RunCase(const Case& c, const Options& options, ResultCollector& collector) {
    const std::vector<Soup> soups = c.make();
    if (std::all_of(soups.begin(), soups.end(),
                    [](const Soup& soup) { return soup.VertexCount() == 0; })) {
        std::printf("| %s | skipped: no mesh data |\n", c.name.c_str());
        return;
    }
    WeldBuffers buffers = BuffersFor(soups);
    const WeldMeshFigures figures = MeasureWeldMesh(soups, buffers);
    for (const NamedWelder& welder : kWelders) {
        if (c.quadratic && welder.weld == WeldWithReference)
            continue;
        benchmark::internal::Benchmark* timing = benchmark::RegisterBenchmark(
            welder.name, [&soups, &buffers, weld = welder.weld](benchmark::State& state) {
                TimeWelder(state, weld, soups, buffers);
            });
        timing->Unit(benchmark::kMillisecond)
            ->Repetitions(options.repetitions)
            ->ReportAggregatesOnly(true);
        if (options.tiny)
            timing->Iterations(1);
    }
    collector.milliseconds.clear();
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::ClearRegisteredBenchmarks();
    PrintRow(c, soups, figures, collector.milliseconds);
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const std::string value = arg.substr(arg.find('=') + 1);
        if (arg == "--tiny") {
            options.tiny = true;
            options.repetitions = 1;
        } else if (arg.rfind("--worst-scale=", 0) == 0 && std::atof(value.c_str()) > 0) {
            options.worstScale = std::atof(value.c_str());
        } else if (arg.rfind("--repetitions=", 0) == 0 && std::atoi(value.c_str()) > 0) {
            options.repetitions = std::atoi(value.c_str());
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // The welders' repetitions take turns, so that a change in the machine's load falls on all
    // three alike; a flag on the command line still overrides this.
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> args(argv, argv + argc);
    args.insert(args.begin() + 1, interleave);
    int argCount = int(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&argCount, args.data());
    Options options;
    if (!ParseOptions(argCount, args.data(), options)) {
        std::fprintf(stderr,
                     "usage: %s [--tiny] [--worst-scale=F] [--repetitions=N] "
                     "[benchmark flags]\n",
                     argv[0]);
        return 2;
    }
    ResultCollector collector;
    RealMeshes realMeshes(WELD_BENCH_MODEL_DIR, options.tiny);
    for (const Case& c : Cases(SizesFor(options), realMeshes))
        RunCase(c, options, collector);
    realMeshes.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
