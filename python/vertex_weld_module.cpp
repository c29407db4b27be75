// The vertex_weld extension module: WeldMesh over numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cstdint>
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

struct WeldResult {
    py::array_t<float> unique;
    py::array_t<int> inverse;
};

WeldResult weld_vertices(py::handle object) {
    const py::array vertices = as_array(object);
    require_exact_float32(vertices);
    const VertexShape shape = vertex_shape(vertices);
    std::vector<py::ssize_t> unique_shape = {shape.count};
    if (vertices.ndim() == 2)
        unique_shape.push_back(shape.floats);
    WeldResult result = {py::array_t<float>(unique_shape), py::array_t<int>(shape.count)};
    if (shape.count == 0)
        return result;

    // A C-contiguous, aligned float32 array passes through as it is; anything else is copied.
    const ContiguousFloats input(vertices);
    const float* input_data = input.data();
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

py::tuple weld(py::handle vertices) {
    WeldResult result = weld_vertices(vertices);
    return py::make_tuple(result.unique, result.inverse);
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
    WeldResult result = weld_vertices(vertices);

    std::vector<py::ssize_t> index_shape(indices.shape(), indices.shape() + indices.ndim());
    py::array_t<int> remapped(index_shape);
    BadIndex bad;
    if (!remap_any_integers(indices, result.inverse, remapped, &bad))
        throw py::index_error("indices hold " + bad.value + " at flat position " +
                              std::to_string(bad.position) + ", out of range for " +
                              std::to_string(result.inverse.size()) + " vertices");
    return py::make_tuple(result.unique, remapped);
}

const char* const module_doc = R"(Exact vertex welding for numpy arrays.

weld() removes exact duplicate vertices from an (n, k) float32 array; weld_indexed() does the
same for an indexed mesh and remaps its indices. Two vertices are equal when every component
compares equal as a float32: +0 equals -0, and a vertex holding a NaN equals nothing. The unique
vertices come out sorted lexicographically (component 0 first) for finite data, each a bit-exact
copy of one of the vertices it stands for; for finite data without mixed signed zeros the result
is that of numpy.unique(vertices, axis=0, return_inverse=True). The weld runs with the GIL
released, so threads weld in parallel.)";

const char* const weld_doc = R"(weld(vertices) -> (unique, inverse)

Remove exact duplicate vertices.

vertices: an (n, k) array, one vertex of k components per row, or a 1-D array of n vertices of
    one component. Any array-like whose dtype converts to float32 without loss is taken
    (float32, float16, int8, uint8, int16, uint16, bool); a C-contiguous float32 array is used
    without a copy, other arrays and non-contiguous views are copied first. float64 and other
    wider dtypes raise TypeError: convert with vertices.astype(numpy.float32) if rounding is
    acceptable, knowing that it can merge vertices that differ.

Returns unique, an (m, k) float32 array (1-D if vertices is), and inverse, an (n,) int32 array
with unique[inverse] equal to vertices as floats.

Raises ValueError for arrays that are not 1-D or 2-D, for vertices with no components, and for
more than 2**31 - 1 values in all (n * k), the library's limit; MemoryError when the weld's work
array cannot be allocated.)";

const char* const weld_indexed_doc = R"(weld_indexed(vertices, indices) -> (unique, new_indices)

Weld the vertices of an indexed mesh and remap its indices.

vertices: as for weld(). indices: an array of any shape and any integer dtype, each an index
into vertices. Every vertex is welded, referenced or not.

Returns unique, as weld() does, and new_indices, an int32 array of the shape of indices with
unique[new_indices] equal to vertices[indices] as floats.

Raises TypeError for indices that are not integers and IndexError for an index that is negative
or not below the number of vertices; otherwise as weld().)";

} // namespace

PYBIND11_MODULE(_vertex_weld, module) {
    // The docstrings carry signatures that say what the arguments may be.
    py::options options;
    options.disable_function_signatures();
    module.doc() = module_doc;
    module.attr("__version__") = VERTEX_WELD_VERSION;
    module.def("weld", &weld, py::arg("vertices"), weld_doc);
    module.def("weld_indexed", &weld_indexed, py::arg("vertices"), py::arg("indices"),
               weld_indexed_doc);
}
