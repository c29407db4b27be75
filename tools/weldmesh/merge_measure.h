// What a merge within a distance did to a mesh, for its summary: measured on the rows the merge
// read and wrote, whose first columns are the position.
#ifndef WELDMESH_MERGE_MEASURE_H
#define WELDMESH_MERGE_MEASURE_H

#include "weld_report.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class MergeMeasure {
  public:
    // `rows`: the merge's input, `count` rows of `floats`; `merged` and `remap`: its output.
    MergeMeasure(const float* rows, const float* merged, const int* remap, size_t count,
                 size_t floats, size_t positionFloats);

    // Whether input vertex v's representative holds other bytes than v.
    bool moved(uint32_t v);
    // A face corner on input vertex v.
    void add_corner(uint32_t v);
    // A face on the input vertices `vertices`: counted when the merge put two of its corners on
    // one vertex and no two of them held the same bytes before.
    void add_face(const uint32_t* vertices, size_t corners);

    const MergeSummary& summary() const { return summary_; }

  private:
    enum class State : uint8_t { unknown, same, moved, measured };

    const float* row(uint32_t v) const { return rows_ + size_t(v) * floats_; }
    bool same_bytes(uint32_t a, uint32_t b) const;
    void measure(uint32_t v);

    const float* rows_;
    const float* merged_;
    const int* remap_;
    size_t floats_;
    size_t positionFloats_;
    std::vector<State> states_;                         // per input vertex
    std::vector<std::pair<int, uint32_t>> faceCorners_; // a face's outputs and input vertices
    MergeSummary summary_;
};

#endif
