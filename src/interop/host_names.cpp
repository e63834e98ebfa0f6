#include "interop/host_names.hpp"

namespace qv {

int HostNames::make()
{
    const struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&read, "read"},         {&seek, "seek"},
        {&tell, "tell"},         {&getvalue, "getvalue"},
        {&startswith, "startswith"}, {&close, "close"},
        {&png_signature, "PNG_SIGNATURE"}, {&path, "Path"},
        {&bytes_io, "BytesIO"},  {&stream_to_image, "_streamToImage"},
    };
    for (const auto& name : names) {
        *name.slot = PyUnicode_InternFromString(name.text);
        if (*name.slot == nullptr) return -1;
    }
    return 0;
}

void HostNames::clear()
{
    for (PyObject** slot : {&read, &seek, &tell, &getvalue, &startswith, &close, &png_signature, &path, &bytes_io,
                            &stream_to_image}) {
        Py_CLEAR(*slot);
    }
}

}  // namespace qv
