// Everything that touches NumPy's C API: its lazy import, the array argument views (read and
// write), and result arrays that adopt a routine's std::vector<double> through a keeper object.
// Keeping NumPy in this one translation unit means no other file needs its headers or the
// unique-symbol dance.
#define PY_ARRAY_UNIQUE_SYMBOL vostrel_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION

#include "python/boundary.hpp"

#include <numpy/arrayobject.h>

#include <cstring>
#include <type_traits>

namespace vostrel::py {
namespace {

// NumPy's array API is fetched on first use, not at import of the module.
bool numpy_ready = false;

bool ensure_numpy() {
    if (numpy_ready) return true;
    if (_import_array() < 0) return false;
    numpy_ready = true;
    return true;
}

// Native float64 and int64 without the cost of building a descriptor: the type number must
// match and the byte order be native; anything else goes through NumPy's own equivalence test.
bool dtype_is(PyArrayObject* array, int type_num) {
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (descr->type_num == type_num) return PyArray_ISNBO(descr->byteorder);
    PyArray_Descr* wanted = PyArray_DescrFromType(type_num);
    if (wanted == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool equivalent = PyArray_EquivTypes(descr, wanted) != 0;
    Py_DECREF(wanted);
    return equivalent;
}

bool is_1d_of(PyObject* object, int type_num) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    return PyArray_NDIM(array) == 1 && dtype_is(array, type_num);
}

bool is_contiguous(PyArrayObject* array) {
    return PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array);
}

// Byte range [begin, end) touched by a one-dimensional array, whatever the sign of its stride.
void byte_range(PyArrayObject* array, const char*& begin, const char*& end) {
    const npy_intp n = PyArray_DIM(array, 0);
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    if (n == 0) {
        begin = end = data;
        return;
    }
    const npy_intp stride = PyArray_STRIDE(array, 0);
    const npy_intp item = PyArray_ITEMSIZE(array);
    const char* last = data + (n - 1) * stride;
    begin = stride >= 0 ? data : last;
    end = (stride >= 0 ? last : data) + item;
}

template <class T>
bool misaligned(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer) % alignof(T) != 0;
}

// Reads a contiguous array's elements, copying them into `copy` only when the caller's buffer is
// not aligned for T (the core reads through typed pointers).
template <class T>
const T* readable_data(PyArrayObject* array, std::size_t size, std::vector<T>& copy) {
    const void* data = PyArray_DATA(array);
    if (size == 0 || !misaligned<T>(data)) return static_cast<const T*>(data);
    allocating("an aligned copy of an array argument", size, sizeof(T), [&] { copy.resize(size); });
    std::memcpy(copy.data(), data, size * sizeof(T));
    return copy.data();
}

}  // namespace

namespace {

// The array behind an argument of a one-dimensional array type, or null with the argument
// error set.
PyArrayObject* accept_1d(PyObject* object, int type_num) {
    if (!ensure_numpy()) return nullptr;
    if (!is_1d_of(object, type_num)) {
        cast_error(object, "ndarray");
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject*>(object);
}

}  // namespace

template <class T>
bool convert_read_view(PyObject* object, ReadView<T>& out) {
    PyArrayObject* array = accept_1d(object, std::is_same_v<T, double> ? NPY_DOUBLE : NPY_INT64);
    if (array == nullptr) return false;
    out.object_ = Py_NewRef(object);
    out.size_ = static_cast<std::size_t>(PyArray_DIM(array, 0));
    out.contiguous_ = is_contiguous(array);
    byte_range(array, out.begin_, out.end_);
    // A strided array is never read: the contiguity check refuses it before any computation.
    out.data_ = out.contiguous_ ? readable_data<T>(array, out.size_, out.aligned_copy_) : nullptr;
    return true;
}

bool convert_value(PyObject* object, ArrayF64& out) { return convert_read_view(object, out); }
bool convert_value(PyObject* object, ArrayI64& out) { return convert_read_view(object, out); }

bool convert_value(PyObject* object, ArrayF64Out& out) {
    PyArrayObject* array = accept_1d(object, NPY_DOUBLE);
    if (array == nullptr) return false;
    out.object_ = Py_NewRef(object);
    out.size_ = static_cast<std::size_t>(PyArray_DIM(array, 0));
    out.contiguous_ = is_contiguous(array);
    out.writeable_ = PyArray_ISWRITEABLE(array);
    byte_range(array, out.begin_, out.end_);
    return true;
}

ArrayF64Out::Refusal ArrayF64Out::acquire(std::initializer_list<const ArrayF64*> readers) {
    if (!writeable_) return Refusal::NotWriteable;
    if (begin_ != end_) {
        for (const ArrayF64* reader : readers) {
            if (reader->begin_byte() != reader->end_byte() && reader->begin_byte() < end_ &&
                begin_ < reader->end_byte()) {
                return Refusal::AlreadyBorrowed;
            }
        }
    }
    if (contiguous_ && size_ != 0) {
        char* data = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(object_)));
        if (misaligned<double>(data)) {
            allocating("an aligned buffer for `out`", size_, sizeof(double),
                       [&] { scratch_.assign(size_, 0.0); });
            target_ = data;
            data_ = scratch_.data();
        } else {
            data_ = reinterpret_cast<double*>(data);
        }
    }
    return Refusal::None;
}

void ArrayF64Out::commit() {
    if (target_ != nullptr) std::memcpy(target_, scratch_.data(), size_ * sizeof(double));
}

bool inspect_array(PyObject* object, ArrayInfo& info) {
    if (!ensure_numpy()) return false;
    info = ArrayInfo{};
    if (!PyArray_Check(object)) return true;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    info.is_array = true;
    info.ndim = PyArray_NDIM(array);
    if (info.ndim != 1) return true;
    info.is_float64 = dtype_is(array, NPY_DOUBLE);
    info.size = static_cast<std::size_t>(PyArray_DIM(array, 0));
    info.stride = PyArray_STRIDE(array, 0);
    info.contiguous_flag = is_contiguous(array);
    info.data = static_cast<const double*>(PyArray_DATA(array));
    return true;
}

// ---------------------------------------------------------------------------------------------
// Result arrays

namespace {

// Owns the buffer of a result array; set as the array's base, freed with it.
struct BufferKeeper {
    PyObject_HEAD std::vector<double> buffer;
};

void keeper_dealloc(PyObject* self) {
    auto* keeper = reinterpret_cast<BufferKeeper*>(self);
    keeper->buffer.~vector();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot keeper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(keeper_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of a result array's buffer.")},
    {0, nullptr},
};

PyType_Spec keeper_spec = {
    "vostrel._libvostrel.BufferKeeper",
    sizeof(BufferKeeper),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    keeper_slots,
};

PyTypeObject* keeper_type = nullptr;

// Storage for the data pointer of empty results, which never read or write it.
double empty_storage[1] = {0.0};

}  // namespace

PyObject* to_python(std::vector<double>&& values) {
    if (!ensure_numpy()) return nullptr;
    PyTypeObject* type = create_class(&keeper_spec, keeper_type);
    if (type == nullptr) return nullptr;
    PyObject* keeper_object = type->tp_alloc(type, 0);
    if (keeper_object == nullptr) return nullptr;
    auto* keeper = reinterpret_cast<BufferKeeper*>(keeper_object);
    new (&keeper->buffer) std::vector<double>(std::move(values));
    npy_intp length = static_cast<npy_intp>(keeper->buffer.size());
    double* data = keeper->buffer.empty() ? empty_storage : keeper->buffer.data();
    PyObject* array = PyArray_New(&PyArray_Type, 1, &length, NPY_DOUBLE, nullptr, data, 0,
                                  NPY_ARRAY_CARRAY, nullptr);
    if (array == nullptr) {
        Py_DECREF(keeper_object);
        return nullptr;
    }
    // Steals the keeper reference, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), keeper_object) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

PyObject* to_python(std::vector<std::vector<double>>&& lists) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(lists.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < lists.size(); ++i) {
        PyObject* array = to_python(std::move(lists[i]));
        if (array == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), array);
    }
    return list;
}

}  // namespace vostrel::py
