// The vertex_weld extension module: WeldMesh over numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "weldmesh.h"

namespace py = pybind11;

namespace {

struct VertexShape {
    py::ssize_t count;
    py::ssize_t floats;
};

std::string shape_text(const py::array& array) {
    return py::str(array.attr("shape")).cast<std::string>();
}

std::string dtype_text(const py::array& array) {
    return py::str(array.dtype()).cast<std::string>();
}

py::array as_array(py::handle object) {
    if (py::isinstance<py::array>(object))
        return py::reinterpret_borrow<py::array>(object);
    return py::module_::import("numpy").attr("asarray")(object);
}

// Rounding to float32 could merge vertices that differ, so only dtypes numpy converts to float32
// exactly are taken; everything else is for the caller to convert knowingly.
void require_exact_float32(const py::array& vertices) {
    const py::dtype float32 = py::dtype::of<float>();
    if (py::module_::import("numpy").attr("can_cast")(vertices.dtype(), float32).cast<bool>())
        return;
    throw py::type_error("vertices are " + dtype_text(vertices) +
                         ", which does not convert to float32 without loss: the weld compares "
                         "float32 values, and rounding could merge distinct vertices. Pass "
                         "vertices.astype(numpy.float32) if that rounding is acceptable.");
}

// Checked on the shape alone, before any conversion copies the data.
VertexShape vertex_shape(const py::array& vertices) {
    if (vertices.ndim() != 1 && vertices.ndim() != 2)
        throw py::value_error("vertices must be a 1-D array (one value per vertex) or a 2-D array "
                              "(one row per vertex), not of shape " +
                              shape_text(vertices));
    const VertexShape shape = {vertices.shape(0), vertices.ndim() == 2 ? vertices.shape(1) : 1};
    if (shape.count == 0)
        return shape;
    if (shape.floats == 0)
        throw py::value_error("vertices of shape " + shape_text(vertices) +
                              " have no components to weld on");
    if (shape.count > INT_MAX || shape.floats > INT_MAX / shape.count)
        throw py::value_error("vertices of shape " + shape_text(vertices) +
                              " hold more than 2**31 - 1 values, the library's limit for one weld");
    return shape;
}

using ContiguousFloats = py::array_t<float, py::array::c_style | py::array::forcecast |
                                                py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

// The vertices as the weld reads them.
struct Vertices {
    ContiguousFloats floats;
    VertexShape shape;
};

Vertices checked_vertices(py::handle object) {
    const py::array vertices = as_array(object);
    require_exact_float32(vertices);
    const VertexShape shape = vertex_shape(vertices);
    // A C-contiguous, aligned float32 array passes through as it is; anything else is copied.
    return {ContiguousFloats(vertices), shape};
}

struct WeldResult {
    py::array_t<float> unique;
    py::array_t<int> inverse;
};

WeldResult weld_vertices(const Vertices& vertices) {
    const VertexShape shape = vertices.shape;
    std::vector<py::ssize_t> unique_shape = {shape.count};
    if (vertices.floats.ndim() == 2)
        unique_shape.push_back(shape.floats);
    WeldResult result = {py::array_t<float>(unique_shape), py::array_t<int>(shape.count)};
    if (shape.count == 0)
        return result;

    const float* input_data = vertices.floats.data();
    float* unique_data = result.unique.mutable_data();
    int* inverse_data = result.inverse.mutable_data();
    int unique_count;
    {
        py::gil_scoped_release release;
        unique_count = WeldMesh(inverse_data, unique_data, input_data,
                                static_cast<int>(shape.count), static_cast<int>(shape.floats));
    }
    // The arguments are valid by now, so the only failure left is the work array's allocation.
    if (unique_count == 0) {
        PyErr_Format(PyExc_MemoryError, "the weld's work array of %zd bytes could not be allocated",
                     shape.count * static_cast<py::ssize_t>(sizeof(int)));
        throw py::error_already_set();
    }
    unique_shape[0] = unique_count;
    result.unique.resize(unique_shape, false);
    return result;
}

// For each unique vertex, the first input row with its bits. The unique vertex is a bit copy of
// one member of its group, but members may differ in the sign of a zero, so the group's first
// row need not be that copy: a row counts only once its bits match.
py::array_t<std::int64_t> first_rows(const Vertices& vertices, const WeldResult& result) {
    const py::ssize_t unique_count = result.unique.shape(0);
    py::array_t<std::int64_t> index(unique_count);
    const float* input = vertices.floats.data();
    const float* unique = result.unique.data();
    const int* inverse = result.inverse.data();
    std::int64_t* index_data = index.mutable_data();
    const py::ssize_t floats = vertices.shape.floats;
    py::gil_scoped_release release;
    std::fill(index_data, index_data + unique_count, -1);
    for (py::ssize_t row = 0; row < vertices.shape.count; ++row) {
        const int group = inverse[row];
        if (index_data[group] < 0 &&
            std::memcmp(input + row * floats, unique + group * floats, floats * sizeof(float)) == 0)
            index_data[group] = row;
    }
    return index;
}

py::array_t<std::int64_t> group_sizes(const WeldResult& result) {
    const py::ssize_t unique_count = result.unique.shape(0);
    py::array_t<std::int64_t> counts(unique_count);
    const int* inverse = result.inverse.data();
    std::int64_t* counts_data = counts.mutable_data();
    const py::ssize_t row_count = result.inverse.size();
    py::gil_scoped_release release;
    std::fill(counts_data, counts_data + unique_count, 0);
    for (py::ssize_t row = 0; row < row_count; ++row)
        ++counts_data[inverse[row]];
    return counts;
}

// The results in numpy.unique's order: unique, index, inverse, counts.
py::tuple weld(py::handle object, bool return_index, bool return_counts) {
    const Vertices vertices = checked_vertices(object);
    const WeldResult result = weld_vertices(vertices);
    py::list results;
    results.append(result.unique);
    if (return_index)
        results.append(first_rows(vertices, result));
    results.append(result.inverse);
    if (return_counts)
        results.append(group_sizes(result));
    return py::tuple(results);
}

struct BadIndex {
    py::ssize_t position;
    std::string value;
};

template <typename Index>
bool remap_indices(const Index* indices, py::ssize_t count, const int* remap, int vertex_count,
                   int* remapped, BadIndex* bad) {
    for (py::ssize_t i = 0; i < count; ++i) {
        const Index index = indices[i];
        bool negative = false;
        if constexpr (std::is_signed_v<Index>)
            negative = index < 0;
        if (negative ||
            static_cast<std::uint64_t>(index) >= static_cast<std::uint64_t>(vertex_count)) {
            bad->position = i;
            bad->value = std::to_string(index);
            return false;
        }
        remapped[i] = remap[index];
    }
    return true;
}

template <typename Index>
bool try_remap(const py::array& indices, const py::array_t<int>& remap, py::array_t<int>& remapped,
               BadIndex* bad, bool* valid) {
    if (!py::isinstance<py::array_t<Index>>(indices))
        return false;
    const py::array_t<Index, py::array::c_style | py::array::forcecast> contiguous(indices);
    const Index* index_data = contiguous.data();
    const int* remap_data = remap.data();
    int* remapped_data = remapped.mutable_data();
    const py::ssize_t count = contiguous.size();
    const int vertex_count = static_cast<int>(remap.size());
    py::gil_scoped_release release;
    *valid = remap_indices(index_data, count, remap_data, vertex_count, remapped_data, bad);
    return true;
}

bool remap_any_integers(const py::array& indices, const py::array_t<int>& remap,
                        py::array_t<int>& remapped, BadIndex* bad) {
    bool valid = false;
    const bool handled = try_remap<std::int8_t>(indices, remap, remapped, bad, &valid) ||
                         try_remap<std::int16_t>(indices, remap, remapped, bad, &valid) ||
                         try_remap<std::int32_t>(indices, remap, remapped, bad, &valid) ||
                         try_remap<std::int64_t>(indices, remap, remapped, bad, &valid) ||
                         try_remap<std::uint8_t>(indices, remap, remapped, bad, &valid) ||
                         try_remap<std::uint16_t>(indices, remap, remapped, bad, &valid) ||
                         try_remap<std::uint32_t>(indices, remap, remapped, bad, &valid) ||
                         try_remap<std::uint64_t>(indices, remap, remapped, bad, &valid);
    if (handled)
        return valid;
    // Integers in the other byte order: the same values in the native one.
    const py::array native = indices.attr("astype")(indices.dtype().attr("newbyteorder")("="));
    return remap_any_integers(native, remap, remapped, bad);
}

py::tuple weld_indexed(py::handle vertices, py::handle index_object) {
    const py::array indices = as_array(index_object);
    const char kind = indices.dtype().kind();
    if (kind != 'i' && kind != 'u')
        throw py::type_error("indices must be integers, not " + dtype_text(indices));
    const WeldResult result = weld_vertices(checked_vertices(vertices));

    std::vector<py::ssize_t> index_shape(indices.shape(), indices.shape() + indices.ndim());
    py::array_t<int> remapped(index_shape);
    BadIndex bad;
    if (!remap_any_integers(indices, result.inverse, remapped, &bad))
        throw py::index_error("indices hold " + bad.value + " at flat position " +
                              std::to_string(bad.position) + ", out of range for " +
                              std::to_string(result.inverse.size()) + " vertices");
    return py::make_tuple(result.unique, remapped);
}

const char* const weld_doc = R"(weld(vertices, return_index, return_counts) -> tuple

The weld behind vertex_weld.weld, where it is documented: results in numpy.unique's order.)";

const char* const weld_indexed_doc = R"(weld_indexed(vertices, indices) -> (unique, new_indices)

The weld behind vertex_weld.weld_indexed, where it is documented.)";

} // namespace

PYBIND11_MODULE(_vertex_weld, module) {
    // The docstrings carry signatures that say what the arguments may be.
    py::options options;
    options.disable_function_signatures();
    module.doc() = "The extension under the vertex_weld package: WeldMesh over numpy arrays.";
    module.attr("__version__") = VERTEX_WELD_VERSION;
    module.def("weld", &weld, py::arg("vertices"), py::arg("return_index"),
               py::arg("return_counts"), weld_doc);
    module.def("weld_indexed", &weld_indexed, py::arg("vertices"), py::arg("indices"),
               weld_indexed_doc);
}
