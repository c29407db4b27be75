#include "weld_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

void MergeSummary::add(const MergeSummary& other) {
    cornersMoved += other.cornersMoved;
    farthestPosition = std::max(farthestPosition, other.farthestPosition);
    largestOtherDifference = std::max(largestOtherDifference, other.largestOtherDifference);
    degenerateFaces += other.degenerateFaces;
}

void WeldReport::add(const std::string& label, const MeshWeldResult& result) {
    lines.push_back({label, result});
    total.faces += result.faces;
    total.verticesBefore += result.verticesBefore;
    total.verticesAfter += result.verticesAfter;
    total.weldSeconds += result.weldSeconds;
    if (result.merge) {
        if (!total.merge)
            total.merge = MergeSummary{};
        total.merge->add(*result.merge);
    }
}

namespace {

const char* plural(uint64_t count, const char* one, const char* many) {
    return count == 1 ? one : many;
}

} // namespace

void print_summary_line(const std::string& label, const MeshWeldResult& result) {
    std::printf("%s: %u faces, %u -> %u vertices, %.3f ms\n", label.c_str(), result.faces,
                result.verticesBefore, result.verticesAfter, result.weldSeconds * 1e3);
    if (result.merge)
        print_merge_line(*result.merge);
}

void print_merge_line(const MergeSummary& merge) {
    std::printf("  merge: %" PRIu64 " %s moved, position by at most %.3g, other components by at "
                "most %.3g; %" PRIu64 " %s made degenerate, kept\n",
                merge.cornersMoved, plural(merge.cornersMoved, "corner", "corners"),
                merge.farthestPosition, merge.largestOtherDifference, merge.degenerateFaces,
                plural(merge.degenerateFaces, "face", "faces"));
}

void print_report(const WeldReport& report, Verbosity verbosity, bool withTotal) {
    if (verbosity == Verbosity::quiet || (!withTotal && verbosity != Verbosity::verbose))
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
    const std::string total =
        "total (" + std::to_string(report.meshes) + (report.meshes == 1 ? " mesh)" : " meshes)");
    if (withTotal && report.total.verticesBefore > 0)
        print_summary_line(total, report.total);
    else if (withTotal)
        std::printf("%s: nothing welded\n", total.c_str());
    for (const std::string& note : report.notes)
        std::printf("%s\n", note.c_str());
    if (verbosity == Verbosity::verbose)
        for (const std::string& note : report.verboseNotes)
            std::printf("%s\n", note.c_str());
}
