// Quorvex._convert: native helpers of the command-line converter, kept apart from the image
// module so that its surface stays as it is. The binding checks and pins the buffers; the
// work runs in plain C++ without the GIL.
#include "codec/png/filter_choice.hpp"
#include "interop/args.hpp"
#include "interop/errors.hpp"
#include "interop/ints.hpp"
#include "interop/without_gil.hpp"

#include <memory>
#include <new>

namespace qv {

namespace {

const Param kChooseFiltersParams[] = {
    {.name = "width"}, {.name = "height"}, {.name = "pixels"}, {.name = "alpha", .required = false},
};
const Signature kChooseFiltersSig{"choose_filters", kChooseFiltersParams, "bytearray"};

// choose_filters(width, height, pixels, alpha=None) -> bytearray, one filter type a row.
PyObject* choose_filters(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    BoundArgs bound;
    if (!bind_vector(kChooseFiltersSig, args, nargs, kwnames, bound)) return nullptr;
    int32_t width = 0;
    int32_t height = 0;
    // The conversions may run Python code: the buffers are exported only afterwards, and
    // their sizes are read from the exports themselves.
    if (!to_int32(bound[0], &width) || !to_int32(bound[1], &height)) return nullptr;
    if (width < 0 || height < 0) return raise_value_error("Image dimensions must not be negative");

    BufferView pixels;
    if (!pixels.acquire(bound[2], PyBUF_SIMPLE)) return nullptr;
    BufferView alpha;
    const bool has_alpha = bound[3] != Py_None;
    if (has_alpha && !alpha.acquire(bound[3], PyBUF_SIMPLE)) return nullptr;

    const uint64_t area = uint64_t(uint32_t(width)) * uint32_t(height);  // < 2^62
    if (uint64_t(pixels.size()) / 3 != area || pixels.size() % 3 != 0) {
        return raise_value_error("Pixel data length does not match image dimensions");
    }
    if (has_alpha && uint64_t(alpha.size()) != area) {
        return raise_value_error("Alpha channel length does not match image dimensions");
    }

    const png::FilterChoiceImage image{
        .pixels = pixels.data(),
        .alpha = has_alpha ? alpha.data() : nullptr,
        .width = size_t(width),
        .height = size_t(height),
    };
    // Bounded by the buffers just checked: at most 4/3 of the pixel data, nothing without rows.
    const size_t scratch_size = png::filter_choice_scratch_size(image);
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[scratch_size == 0 ? 1 : scratch_size]);
    if (!scratch) return PyErr_NoMemory();

    Ref result = Ref::consume(PyByteArray_FromStringAndSize(nullptr, height));
    if (!result) return nullptr;
    BufferView out;
    if (!out.acquire(result.get(), PyBUF_WRITABLE)) return nullptr;

    without_gil([&] { png::choose_row_filters(image, scratch.get(), out.data()); });

    out.reset();
    return result.release();
}

PyMethodDef kMethods[] = {
    {"choose_filters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(choose_filters)),
     METH_FASTCALL | METH_KEYWORDS,
     "choose_filters(width, height, pixels, alpha=None)\n--\n\n"
     "One PNG filter type a row: the one whose filtered bytes, read as signed, have the smallest\n"
     "sum of magnitudes (ties: the lowest type)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_convert",
    .m_doc = "Native helpers of the command-line converter.",
    .m_size = 0,
    .m_methods = kMethods,
    .m_slots = kSlots,
};

}  // namespace

}  // namespace qv

PyMODINIT_FUNC PyInit__convert() { return PyModuleDef_Init(&qv::kModule); }
