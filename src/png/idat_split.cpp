// _split_idat_payload(data, lengths) and the piece arithmetic the chunk-preserving writer
// shares with it.
#include "png/idat_split.hpp"

#include "png/png_api.hpp"

#include <new>

namespace qv {

namespace png {

namespace {

// How many bytes one entry takes when `rest` bytes are left: 0 when the entry is skipped
// (<= 0). Ints are read natively; any other object goes through the host's own
// comparisons, as `length <= 0` and `min(length, rest)` would.
bool entry_take(PyObject* length, Py_ssize_t rest, bool last, Py_ssize_t* take)
{
    *take = 0;
    if (PyLong_Check(length)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(length, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow < 0 || (overflow == 0 && value <= 0)) return true;
        *take = last || overflow > 0 || value >= rest ? rest : static_cast<Py_ssize_t>(value);
        return true;
    }
    Ref zero = Ref::consume(PyLong_FromLong(0));
    if (!zero) return false;
    const int skipped = PyObject_RichCompareBool(length, zero.get(), Py_LE);
    if (skipped != 0) return skipped > 0;
    if (last) {
        *take = rest;
        return true;
    }
    Ref rest_obj = Ref::consume(PyLong_FromSsize_t(rest));
    if (!rest_obj) return false;
    const int capped = PyObject_RichCompareBool(rest_obj.get(), length, Py_LT);
    if (capped < 0) return false;
    if (capped) {
        *take = rest;
        return true;
    }
    const Py_ssize_t value = PyNumber_AsSsize_t(length, PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) return false;
    *take = value < 0 ? 0 : (value > rest ? rest : value);
    return true;
}

}  // namespace

bool split_sizes(PyObject* const* lengths, Py_ssize_t count, Py_ssize_t total, std::vector<Py_ssize_t>* pieces)
{
    try {
        pieces->clear();
        Py_ssize_t offset = 0;
        for (Py_ssize_t idx = 0; idx < count && offset < total; ++idx) {
            Py_ssize_t take = 0;
            if (!entry_take(lengths[idx], total - offset, idx == count - 1, &take)) return false;
            if (take == 0) continue;
            pieces->push_back(take);
            offset += take;
        }
        if (offset < total) pieces->push_back(total - offset);
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
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
    std::vector<Py_ssize_t> sizes;
    if (!png::split_sizes(PySequence_Fast_ITEMS(entries.get()), PyTuple_GET_SIZE(entries.get()), total, &sizes)) {
        return nullptr;
    }

    Ref parts = Ref::consume(PyList_New(static_cast<Py_ssize_t>(sizes.size())));
    if (!parts) return nullptr;
    const char* bytes = PyBytes_AS_STRING(data);
    Py_ssize_t offset = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        PyObject* piece = sizes[i] == total ? Py_NewRef(data) : PyBytes_FromStringAndSize(bytes + offset, sizes[i]);
        if (piece == nullptr) return nullptr;
        PyList_SET_ITEM(parts.get(), static_cast<Py_ssize_t>(i), piece);
        offset += sizes[i];
    }
    return parts.release();
}

}  // namespace qv
