// What the weld of one file found, and how it is printed: a line per mesh (or glTF primitive),
// then the total.
#ifndef WELDMESH_WELD_REPORT_H
#define WELDMESH_WELD_REPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a merge within a distance did besides the weld's counts.
struct MergeSummary {
    uint64_t cornersMoved = 0;           // corners whose vertex now holds other bytes
    double farthestPosition = 0.0;       // from a vertex's position to its representative's
    double largestOtherDifference = 0.0; // of any other component, likewise
    uint64_t degenerateFaces = 0; // faces the merge left with two corners on one vertex, kept

    void add(const MergeSummary& other);
};

struct MeshWeldResult {
    unsigned faces = 0;
    unsigned verticesBefore = 0;
    unsigned verticesAfter = 0;
    double weldSeconds = 0.0;
    // Non-empty when the mesh was left as it was, and why.
    std::string skipReason;
    // The per-vertex attributes the mesh carries afterwards, and those it had that were removed,
    // for the verbose report.
    std::string kept;
    std::string dropped;
    // Set when the mesh was merged within a distance.
    std::optional<MergeSummary> merge;
};

struct WeldReportLine {
    std::string label;
    MeshWeldResult result;
};

struct WeldReport {
    std::vector<WeldReportLine> lines;
    MeshWeldResult total;
    unsigned meshes = 0;
    // Said of the whole file, after the per-mesh lines (the glTF back-end's reasons for keeping
    // every buffer in place, or for writing the asset unchanged).
    std::vector<std::string> notes;
    std::vector<std::string> verboseNotes;

    void add(const std::string& label, const MeshWeldResult& result);
};

enum class Verbosity { quiet, normal, verbose };

// The lines of every mesh and the total; `withTotal` false (batch mode) keeps the mesh lines for
// -v and leaves the total to the line that names the file.
void print_report(const WeldReport& report, Verbosity verbosity, bool withTotal);

// "LABEL: F faces, A -> B vertices, T ms", and after a merge within a distance its line.
void print_summary_line(const std::string& label, const MeshWeldResult& result);

// "  merge: C corners moved, ...": what a merge within a distance did.
void print_merge_line(const MergeSummary& merge);

#endif
