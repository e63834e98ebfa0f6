// Quorvex._convert: native helpers of the command-line converter, kept apart from the image
// module so that its surface stays as it is. The binding checks and pins the buffers; the
// work runs in plain C++ without the GIL. Files are written by the image module's own PNG
// writers: only the compressor differs.
#include "codec/png/filter_choice.hpp"
#include "interop/args.hpp"
#include "interop/errors.hpp"
#include "interop/ints.hpp"
#include "interop/module_state.hpp"
#include "interop/without_gil.hpp"
#include "png/png_api.hpp"

#include <cstring>
#include <memory>
#include <new>

namespace qv {

namespace {

const Param kChooseFiltersParams[] = {
    {.name = "width"}, {.name = "height"}, {.name = "pixels"}, {.name = "alpha", .required = false},
};
const Signature kChooseFiltersSig{"choose_filters", kChooseFiltersParams, "bytearray"};

// The leading (width, height, pixels, alpha) arguments, converted and checked, with the
// buffers exported for as long as the work reads them.
struct PinnedImage {
    int32_t width = 0;
    int32_t height = 0;
    BufferView pixels;
    BufferView alpha;
    bool has_alpha = false;
};

bool pin_image(const BoundArgs& bound, PinnedImage* out)
{
    // The conversions may run Python code: the buffers are exported only afterwards, and
    // their sizes are read from the exports themselves.
    if (!to_int32(bound[0], &out->width) || !to_int32(bound[1], &out->height)) return false;
    if (out->width < 0 || out->height < 0) return raise_value_error("Image dimensions must not be negative"), false;
    if (!out->pixels.acquire(bound[2], PyBUF_SIMPLE)) return false;
    out->has_alpha = bound[3] != Py_None;
    if (out->has_alpha && !out->alpha.acquire(bound[3], PyBUF_SIMPLE)) return false;
    const uint64_t area = uint64_t(uint32_t(out->width)) * uint32_t(out->height);  // < 2^62
    if (uint64_t(out->pixels.size()) / 3 != area || out->pixels.size() % 3 != 0) {
        return raise_value_error("Pixel data length does not match image dimensions"), false;
    }
    if (out->has_alpha && uint64_t(out->alpha.size()) != area) {
        return raise_value_error("Alpha channel length does not match image dimensions"), false;
    }
    return true;
}

// choose_filters(width, height, pixels, alpha=None) -> bytearray, one filter type a row.
PyObject* choose_filters(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    BoundArgs bound;
    if (!bind_vector(kChooseFiltersSig, args, nargs, kwnames, bound)) return nullptr;
    PinnedImage pinned;
    if (!pin_image(bound, &pinned)) return nullptr;
    const png::FilterChoiceImage image{
        .pixels = pinned.pixels.data(),
        .alpha = pinned.has_alpha ? pinned.alpha.data() : nullptr,
        .width = size_t(pinned.width),
        .height = size_t(pinned.height),
    };
    // Bounded by the buffers just checked: at most 4/3 of the pixel data, nothing without rows.
    const size_t scratch_size = png::filter_choice_scratch_size(image);
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[scratch_size == 0 ? 1 : scratch_size]);
    if (!scratch) return PyErr_NoMemory();

    Ref result = Ref::consume(PyByteArray_FromStringAndSize(nullptr, pinned.height));
    if (!result) return nullptr;
    BufferView out;
    if (!out.acquire(result.get(), PyBUF_WRITABLE)) return nullptr;

    without_gil([&] { png::choose_row_filters(image, scratch.get(), out.data()); });

    out.reset();
    return result.release();
}

const Param kWritePngParams[] = {
    {.name = "path"}, {.name = "width"}, {.name = "height"}, {.name = "pixels"},
    {.name = "alpha"}, {.name = "chunks"}, {.name = "filters"},
};
const Signature kWritePngSig{"write_png", kWritePngParams, "None"};

// The image module, imported at each call: its writers run on its state (the host's open,
// its error types) and its PNG_SIGNATURE, as save() would. Anything else bound under its name
// is refused, since its state would not have the layout read here.
Ref image_module()
{
    Ref module = Ref::consume(PyImport_ImportModule("Quorvex.simpleImage_ext"));
    if (!module) return {};
    const PyModuleDef* def = PyModule_Check(module.get()) ? PyModule_GetDef(module.get()) : nullptr;
    if (def == nullptr || def->m_size != static_cast<Py_ssize_t>(sizeof(ModuleState))
        || std::strcmp(def->m_name, "simpleImage_ext") != 0 || state_of(module.get())->builtin_open == nullptr) {
        return Ref::consume(raise_type_error("Quorvex.simpleImage_ext is not the image module"));
    }
    return module;
}

// write_png(path, width, height, pixels, alpha, chunks, filters) -> None: the file save()
// would write for these fields (_writePngWithChunks, or _writePng without chunks), with the
// image data compressed by libdeflate where the build has it.
PyObject* write_png(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    BoundArgs bound;
    if (!bind_vector(kWritePngSig, args, nargs, kwnames, bound)) return nullptr;
    Ref module = image_module();
    if (!module) return nullptr;
    return write_png_with_chunks(module.get(), bound, png::Compressor::kLibdeflate);
}

PyMethodDef kMethods[] = {
    {"choose_filters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(choose_filters)),
     METH_FASTCALL | METH_KEYWORDS,
     "choose_filters(width, height, pixels, alpha=None)\n--\n\n"
     "One PNG filter type a row: the one whose filtered bytes, read as signed, have the smallest\n"
     "sum of magnitudes (ties: the lowest type)."},
    {"write_png", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_png)),
     METH_FASTCALL | METH_KEYWORDS,
     "write_png(path, width, height, pixels, alpha, chunks, filters)\n--\n\n"
     "Writes the PNG file that save() writes for these fields, through the same writer, with the\n"
     "image data compressed by libdeflate (zlib in a build without it)."},
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
