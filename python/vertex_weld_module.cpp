// The vertex_weld extension module: WeldMesh and MergeCloseVertices over numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "mergeclose.h"
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

bool converts_exactly_to_float32(const py::array& vertices) {
    const py::dtype float32 = py::dtype::of<float>();
    return py::module_::import("numpy").attr("can_cast")(vertices.dtype(), float32).cast<bool>();
}

// Rounding to float32 could merge vertices that differ, so only dtypes numpy converts to float32
// exactly are taken; everything else is for the caller to convert knowingly.
void require_exact_float32(const py::array& vertices) {
    if (converts_exactly_to_float32(vertices))
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

// A C-contiguous, aligned float32 array passes through as it is; anything else is copied.
Vertices as_vertices(const py::array& vertices) {
    const VertexShape shape = vertex_shape(vertices);
    return {ContiguousFloats(vertices), shape};
}

Vertices checked_vertices(py::handle object) {
    const py::array vertices = as_array(object);
    require_exact_float32(vertices);
    return as_vertices(vertices);
}

// A merge within a distance does not hang on the last bit, so floats of any width are rounded to
// float32; integers must still convert exactly, as for the weld.
Vertices rounded_vertices(py::handle object) {
    const py::array vertices = as_array(object);
    if (vertices.dtype().kind() != 'f' && !converts_exactly_to_float32(vertices))
        throw py::type_error("vertices are " + dtype_text(vertices) +
                             ", which does not convert to float32 without loss: merge_close takes "
                             "floating-point arrays of any width, rounded to float32, and integer "
                             "arrays that convert exactly. Pass vertices.astype(numpy.float32) "
                             "if that rounding is acceptable.");
    return as_vertices(vertices);
}

struct WeldResult {
    py::array_t<float> unique;
    py::array_t<int> inverse;
};

// The memory a call needs besides its results, named for the MemoryError raised without it.
struct WorkMemory {
    const char* what;
    py::ssize_t bytes;
};

// Allocates the results for every vertex, lets find_unique fill them with the GIL released, and
// shrinks unique to the count it returns. The arguments are checked by then, so find_unique
// returns 0 only where its work memory could not be allocated.
template <typename FindUnique>
WeldResult unique_vertices(const Vertices& vertices, FindUnique find_unique, WorkMemory work) {
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
        unique_count = find_unique(inverse_data, unique_data, input_data,
                                   static_cast<int>(shape.count), static_cast<int>(shape.floats));
    }
    if (unique_count == 0) {
        PyErr_Format(PyExc_MemoryError, "%s %zd bytes could not be allocated", work.what,
                     work.bytes);
        throw py::error_already_set();
    }
    unique_shape[0] = unique_count;
    result.unique.resize(unique_shape, false);
    return result;
}

WeldResult weld_vertices(const Vertices& vertices) {
    const WorkMemory work = {"the weld's work array of",
                             vertices.shape.count * static_cast<py::ssize_t>(sizeof(int))};
    return unique_vertices(vertices, WeldMesh, work);
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
py::tuple in_unique_order(const Vertices& vertices, const WeldResult& result, bool return_index,
                          bool return_counts) {
    py::list results;
    results.append(result.unique);
    if (return_index)
        results.append(first_rows(vertices, result));
    results.append(result.inverse);
    if (return_counts)
        results.append(group_sizes(result));
    return py::tuple(results);
}

py::tuple weld(py::handle object, bool return_index, bool return_counts) {
    const Vertices vertices = checked_vertices(object);
    return in_unique_order(vertices, weld_vertices(vertices), return_index, return_counts);
}

std::string float_text(double value) {
    return py::repr(py::float_(value)).cast<std::string>();
}

// A distance or tolerances as the merge reads them: float32, each checked, before the rounding,
// to be 0 or more.
std::vector<float> radii(const py::array& values, const std::string& name) {
    const char kind = values.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::type_error(name + " must be a real number, not " + dtype_text(values));
    const py::array_t<double, py::array::c_style | py::array::forcecast> doubles(values);
    const double* begin = doubles.data();
    const double* end = begin + doubles.size();
    for (const double* value = begin; value != end; ++value)
        if (!(*value >= 0.0))
            throw py::value_error(
                (values.ndim() == 0 ? name : name + "[" + std::to_string(value - begin) + "]") +
                " must be 0 or more, not " + float_text(*value));
    return std::vector<float>(begin, end);
}

// What a merge compares, checked against the vertices' shape.
struct CloseRequest {
    int position_floats;
    float distance;
    std::vector<float> tolerances;
};

int checked_columns(py::handle object, const VertexShape& shape) {
    const py::int_ columns = py::reinterpret_steal<py::int_>(PyNumber_Index(object.ptr()));
    if (!columns)
        throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(columns.ptr(), &overflow);
    if (overflow != 0 || value < 1 || value > shape.floats)
        throw py::value_error("columns must be between 1 and the vertex size, " +
                              std::to_string(shape.floats) + ", not " +
                              py::repr(columns).cast<std::string>());
    return static_cast<int>(value);
}

CloseRequest checked_request(const VertexShape& shape, py::handle distance_object,
                             py::handle columns, py::handle tolerance_object) {
    CloseRequest request;
    request.position_floats = checked_columns(columns, shape);
    const py::array distance = as_array(distance_object);
    if (distance.ndim() != 0)
        throw py::value_error("distance must be one number, not an array of shape " +
                              shape_text(distance));
    request.distance = radii(distance, "distance")[0];

    const py::array tolerance = as_array(tolerance_object);
    const py::ssize_t other_floats = shape.floats - request.position_floats;
    if (tolerance.ndim() > 1)
        throw py::value_error("tolerance must be one number or a sequence of numbers, not an "
                              "array of shape " +
                              shape_text(tolerance));
    if (tolerance.ndim() == 1 && tolerance.shape(0) != other_floats)
        throw py::value_error("tolerance must hold one number per component after the "
                              "position, " +
                              std::to_string(other_floats) + " here, not " +
                              std::to_string(tolerance.shape(0)) +
                              ", or be one number for all of them");
    request.tolerances = radii(tolerance, "tolerance");
    return request;
}

WeldResult merge_vertices(const Vertices& vertices, const CloseRequest& request) {
    const auto merge = [&request](int* remap, float* unique, const float* input, int count,
                                  int floats) {
        return MergeCloseVertices(remap, unique, input, count, floats, request.position_floats,
                                  request.distance, request.tolerances.data(),
                                  static_cast<int>(request.tolerances.size()));
    };
    // The weld's work array, freed, then at most 16 bytes per vertex and 48 per component.
    const WorkMemory work = {"the merge's work memory of up to",
                             16 * vertices.shape.count + 48 * vertices.shape.floats};
    return unique_vertices(vertices, merge, work);
}

py::tuple merge_close(py::handle object, py::handle distance, py::handle columns,
                      py::handle tolerance, bool return_index, bool return_counts) {
    const Vertices vertices = rounded_vertices(object);
    const CloseRequest request = checked_request(vertices.shape, distance, columns, tolerance);
    return in_unique_order(vertices, merge_vertices(vertices, request), return_index,
                           return_counts);
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

const char* const merge_close_doc =
    R"(merge_close(vertices, distance, columns, tolerance, return_index, return_counts) -> tuple

The merge behind vertex_weld.merge_close, where it is documented: results in numpy.unique's order.)";

const char* const weld_indexed_doc = R"(weld_indexed(vertices, indices) -> (unique, new_indices)

The weld behind vertex_weld.weld_indexed, where it is documented.)";

} // namespace

PYBIND11_MODULE(_vertex_weld, module) {
    // The docstrings carry signatures that say what the arguments may be.
    py::options options;
    options.disable_function_signatures();
    module.doc() = "The extension under the vertex_weld package: WeldMesh and MergeCloseVertices "
                   "over numpy arrays.";
    module.attr("__version__") = VERTEX_WELD_VERSION;
    module.def("weld", &weld, py::arg("vertices"), py::arg("return_index"),
               py::arg("return_counts"), weld_doc);
    module.def("merge_close", &merge_close, py::arg("vertices"), py::arg("distance"),
               py::arg("columns"), py::arg("tolerance"), py::arg("return_index"),
               py::arg("return_counts"), merge_close_doc);
    module.def("weld_indexed", &weld_indexed, py::arg("vertices"), py::arg("indices"),
               weld_indexed_doc);
}
