// _split_idat_payload(data, lengths) and the lengths the chunk-preserving writer shares
// with it.
#include "png/idat_split.hpp"

#include "codec/png/idat_split.hpp"
#include "png/png_api.hpp"

namespace qv {

namespace png {

namespace {

// The length an entry stands for in the split: ints are read natively (beyond 64 bits, as
// the largest or smallest length); any other object goes through the host's own
// comparisons, as `length <= 0` and `min(length, rest)` would, and only those the rule needs.
bool entry_length(PyObject* length, const IdatSplit& split, int64_t* out)
{
    if (PyLong_Check(length)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(length, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        *out = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : value;
        return true;
    }
    *out = INT64_MAX;  // takes the rest
    Ref zero = Ref::consume(PyLong_FromLong(0));
    if (!zero) return false;
    const int skipped = PyObject_RichCompareBool(length, zero.get(), Py_LE);
    if (skipped < 0) return false;
    if (skipped > 0) return *out = 0, true;
    if (split.entry_is_last()) return true;
    Ref rest = Ref::consume(PyLong_FromLongLong(split.rest()));
    if (!rest) return false;
    const int capped = PyObject_RichCompareBool(rest.get(), length, Py_LT);
    if (capped < 0) return false;
    if (capped > 0) return true;
    const Py_ssize_t value = PyNumber_AsSsize_t(length, PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

}  // namespace

bool split_sizes(PyObject* const* lengths, Py_ssize_t count, Py_ssize_t total, std::vector<int64_t>* pieces)
{
    IdatSplit split(total, static_cast<size_t>(count));
    for (Py_ssize_t idx = 0; split.wants_entry(); ++idx) {
        int64_t length = 0;
        if (!entry_length(lengths[idx], split, &length)) return false;
        split.take(length);
    }
    if (!split.finish(pieces)) return PyErr_NoMemory(), false;
    return true;
}

}  // namespace png

PyObject* split_idat_payload(const Call& call)
{
    PyObject* data = call.args[0];     // bytes or None
    PyObject* lengths = call.args[1];  // list or None
    const Py_ssize_t total = PyObject_Size(data);
    if (total < 0) return nullptr;
    if (PyObject_Size(lengths) < 0) return nullptr;

    // The comparisons may run code that changes the list: work on a snapshot.
    Ref entries = Ref::consume(PyList_AsTuple(lengths));
    if (!entries) return nullptr;
    std::vector<int64_t> sizes;
    if (!png::split_sizes(PySequence_Fast_ITEMS(entries.get()), PyTuple_GET_SIZE(entries.get()), total, &sizes)) {
        return nullptr;
    }

    Ref parts = Ref::consume(PyList_New(static_cast<Py_ssize_t>(sizes.size())));
    if (!parts) return nullptr;
    const char* bytes = PyBytes_AS_STRING(data);
    Py_ssize_t offset = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        const auto size = static_cast<Py_ssize_t>(sizes[i]);
        PyObject* piece = size == total ? Py_NewRef(data) : PyBytes_FromStringAndSize(bytes + offset, size);
        if (piece == nullptr) return nullptr;
        PyList_SET_ITEM(parts.get(), static_cast<Py_ssize_t>(i), piece);
        offset += size;
    }
    return parts.release();
}

}  // namespace qv
