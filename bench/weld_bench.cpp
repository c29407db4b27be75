// Times WeldMesh beside the tests' reference welder and meshoptimizer's hash-based welder, case by
// case in one process, and prints a table of median times, time ratios and WeldMesh's peak heap.
//
//   weld_bench [--tiny] [--worst-scale=F] [--repetitions=N] [Google Benchmark flags]
//
// --tiny runs every case once at a tiny size. --worst-scale multiplies the vertex counts of the
// worst cases, which take minutes at full size wherever a run is merged vertex by vertex.
#include "heap_counter.h"
#include "reference_weld.h"
#include "weldmesh.h"

#include <assimp/cimport.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <benchmark/benchmark.h>
#include <meshoptimizer.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <string>
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

// Two triangles per grid cell, each triangle's three vertices written out in full.
Soup GridSoup(int side, int floatsPerVert, bool shuffled) {
    std::vector<std::array<float, 8>> grid;
    for (int j = 0; j < side; j++)
        for (int i = 0; i < side; i++)
            grid.push_back(SurfaceVertex(i / double(side - 1), j / double(side - 1)));

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

// Every triangle of every mesh in the file, up to the limit: position, normal and, where every
// mesh has them, texture coordinates. Empty when the file cannot be read.
Soup ModelSoup(const std::string& path, size_t vertexLimit) {
    const aiScene* scene = aiImportFile(
        path.c_str(), aiProcess_Triangulate | aiProcess_GenSmoothNormals | aiProcess_SortByPType);
    Soup soup;
    if (scene == nullptr)
        return soup;
    bool allHaveUVs = true;
    for (unsigned m = 0; m < scene->mNumMeshes; m++)
        allHaveUVs = allHaveUVs && scene->mMeshes[m]->HasTextureCoords(0);
    soup.floatsPerVert = allHaveUVs ? 8 : 6;

    for (unsigned m = 0; m < scene->mNumMeshes; m++) {
        const aiMesh& mesh = *scene->mMeshes[m];
        for (unsigned f = 0; f < mesh.mNumFaces && mesh.HasNormals(); f++) {
            const aiFace& face = mesh.mFaces[f];
            for (unsigned k = 0; k < face.mNumIndices && face.mNumIndices == 3; k++) {
                if (size_t(soup.VertexCount()) == vertexLimit)
                    break;
                const aiVector3D& p = mesh.mVertices[face.mIndices[k]];
                const aiVector3D& n = mesh.mNormals[face.mIndices[k]];
                soup.values.insert(soup.values.end(), {p.x, p.y, p.z, n.x, n.y, n.z});
                if (allHaveUVs) {
                    const aiVector3D& uv = mesh.mTextureCoords[0][face.mIndices[k]];
                    soup.values.insert(soup.values.end(), {uv.x, uv.y});
                }
            }
        }
    }
    aiReleaseImport(scene);
    return soup;
}

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
    std::function<Soup()> make;
};

std::vector<Case> Cases(const Sizes& sizes) {
    std::vector<Case> cases;
    for (int floats : {3, 8})
        for (bool shuffled : {false, true})
            cases.push_back({"grid, " + std::to_string(floats) +
                                 (shuffled ? " floats, shuffled" : " floats, mesh order"),
                             false, [=] { return GridSoup(sizes.gridSide, floats, shuffled); }});
    for (const char* file : kModelFiles) {
        const std::string path = std::string(WELD_BENCH_MODEL_DIR) + "/" + file;
        cases.push_back({"model " + path.substr(path.rfind('/') + 1), false,
                         [=] { return ModelSoup(path, sizes.modelVertexLimit); }});
    }
    cases.push_back({"all identical", false, [=] { return IdenticalSoup(sizes.plainVertices); }});
    cases.push_back(
        {"all distinct, random", false, [=] { return RandomSoup(sizes.plainVertices, 3); }});
    cases.push_back({"64 floats, equal but the first and last", false,
                     [=] { return WideSoup(sizes.plainVertices / 16, 64); }});
    cases.push_back({"3 distinct values beside -inf, 1 float", false,
                     [=] { return FewDistinctWithInfSoup(sizes.plainVertices); }});
    cases.push_back({"one -inf, 1 float", true, [=] { return OneInfSoup(sizes.oneInfVertices); }});
    cases.push_back({"all NaN, 1 float", true, [=] {
                         return Soup{1, std::vector<float>(sizes.worstVertices, kNaN)};
                     }});
    cases.push_back(
        {"scattered NaN, 3 floats", true, [=] { return ScatteredNaNSoup(sizes.worstVertices); }});
    cases.push_back({"-inf and +inf in one channel, 2 floats", true,
                     [=] { return BothInfSoup(sizes.worstVertices); }});
    return cases;
}

// Output arrays of a case, shared by its welders; every call overwrites them.
struct WeldBuffers {
    std::vector<int> remap;
    std::vector<unsigned int> meshoptRemap;
    std::vector<float> out;
};

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

void TimeWelder(benchmark::State& state, Welder weld, const Soup& soup, WeldBuffers& buffers) {
    int distinct = 0;
    HeapCounterRestart();
    for (auto _ : state) {
        distinct = weld(soup, buffers);
        benchmark::ClobberMemory();
    }
    state.counters["peak_heap"] = double(HeapCounterPeakGrowth());
    state.counters["distinct"] = distinct;
}

void PrintTableHeader() {
    std::printf("\n| case | vertices | floats | distinct | WeldMesh ms | reference ms | meshopt ms "
                "| WeldMesh / meshopt | reference / meshopt | WeldMesh peak heap |\n");
    std::printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
}

struct WelderResult {
    double milliseconds;
    double peakHeapBytes;
    int distinct;
};

// Keeps each welder's median (or only) run of the case being timed.
class ResultCollector : public benchmark::BenchmarkReporter {
  public:
    std::map<std::string, WelderResult> results;

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
                results[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                       run.counters.at("peak_heap").value,
                                                       int(run.counters.at("distinct").value)};
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

void PrintRow(const Case& c, const Soup& soup, const std::map<std::string, WelderResult>& results) {
    const WelderResult& weld = results.at("WeldMesh");
    const WelderResult& meshopt = results.at("meshopt");
    std::string referenceTime = "skipped: quadratic", referenceRatio = "-";
    if (!c.quadratic) {
        const double milliseconds = results.at("reference").milliseconds;
        referenceTime = Formatted("%.3f", milliseconds);
        referenceRatio = Formatted("%.2f", milliseconds / meshopt.milliseconds);
    }
    std::printf("| %s | %d | %d | %d | %.3f | %s | %.3f | %.2f | %s | %.1f KiB, %.2f B/vertex |\n",
                c.name.c_str(), soup.VertexCount(), soup.floatsPerVert, weld.distinct,
                weld.milliseconds, referenceTime.c_str(), meshopt.milliseconds,
                weld.milliseconds / meshopt.milliseconds, referenceRatio.c_str(),
                weld.peakHeapBytes / 1024, weld.peakHeapBytes / soup.VertexCount());
    std::fflush(stdout);
}

void RunCase(const Case& c, const Options& options, ResultCollector& collector) {
    const Soup soup = c.make();
    if (soup.VertexCount() == 0) {
        std::printf("| %s | skipped: no mesh data |\n", c.name.c_str());
        return;
    }
    const size_t vertices = soup.VertexCount();
    WeldBuffers buffers{std::vector<int>(vertices), std::vector<unsigned int>(vertices),
                        std::vector<float>(soup.values.size())};
    for (const NamedWelder& welder : kWelders) {
        if (c.quadratic && welder.weld == WeldWithReference)
            continue;
        benchmark::internal::Benchmark* timing = benchmark::RegisterBenchmark(
            welder.name, [&soup, &buffers, weld = welder.weld](benchmark::State& state) {
                TimeWelder(state, weld, soup, buffers);
            });
        timing->Unit(benchmark::kMillisecond)
            ->Repetitions(options.repetitions)
            ->ReportAggregatesOnly(true);
        if (options.tiny)
            timing->Iterations(1);
    }
    collector.results.clear();
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::ClearRegisteredBenchmarks();
    PrintRow(c, soup, collector.results);
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
    for (const Case& c : Cases(SizesFor(options)))
        RunCase(c, options, collector);
    benchmark::Shutdown();
    return 0;
}
