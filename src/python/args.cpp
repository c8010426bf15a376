// Argument matching against a callable's parameter table, and the converters for scalar
// parameter types (double, unsigned 64-bit integer, boolean, string, list). Every TypeError text
// about a call's arguments is produced here.
#include <cstring>
#include <string>

#include "python/boundary.hpp"

namespace vostrel::py {

std::string Signature::full_name() const {
    std::string text;
    if (class_name != nullptr) {
        text += class_name;
        text += '.';
    }
    text += name;
    text += "()";
    return text;
}

std::string Signature::docstring(const char* body) const {
    const bool constructor = class_name != nullptr && std::strcmp(name, "__new__") == 0;
    std::string text = constructor ? class_name : name;
    text += '(';
    const char* separator = "";
    auto add = [&](const char* parameter, const char* default_value) {
        text += separator;
        separator = ", ";
        text += parameter;
        if (default_value != nullptr) {
            text += '=';
            text += default_value;
        }
    };
    if (class_name != nullptr && !constructor) add("$self", nullptr);
    const char* const* next_default = defaults.data();
    for (std::size_t k = 0; k < positional.size(); ++k) {
        add(positional[k], k < required ? nullptr : *next_default++);
    }
    if (!keyword_only.empty()) add("*", nullptr);
    for (const char* parameter : keyword_only) add(parameter, *next_default++);
    text += ")\n--\n\n";
    text += body;
    return text;
}

namespace {

void raise_positional_count(const Signature& sig, Py_ssize_t given) {
    const std::size_t n = sig.positional.size();
    const char* verb = given == 1 ? "was" : "were";
    const std::string full = sig.full_name();
    if (sig.required == n) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     full.c_str(), n, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given", full.c_str(),
                     sig.required, n, given, verb);
    }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quote_names(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() == 2) {
                text += " and ";
            } else {
                text += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

}  // namespace

namespace {

// The slots are a fixed array; a table larger than it is a bug in a binding, never a call error.
bool table_fits(const Signature& sig) {
    if (sig.size() <= kMaxParameters) return true;
    raise_internal_error(sig.full_name() + " declares more parameters than the matcher holds");
    return false;
}

}  // namespace

bool Arguments::match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!table_fits(signature_)) return false;
    const std::size_t n_positional = signature_.positional.size();
    if (static_cast<std::size_t>(nargs) > n_positional) {
        raise_positional_count(signature_, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = Py_NewRef(args[i]);
    if (kwnames != nullptr) {
        const Py_ssize_t n_keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < n_keywords; ++k) {
            if (!fill_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
        }
    }
    return finish();
}

bool Arguments::match(PyObject* args, PyObject* kwargs) {
    if (!table_fits(signature_)) return false;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const std::size_t n_positional = signature_.positional.size();
    if (static_cast<std::size_t>(nargs) > n_positional) {
        raise_positional_count(signature_, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        // Matching only compares names, so nothing can change the dict while it is walked.
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!fill_keyword(key, value)) return false;
        }
    }
    return finish();
}

bool Arguments::fill_keyword(PyObject* name, PyObject* value) {
    // Comparison with the ASCII parameter names never fails and never matches a name with an
    // embedded NUL or characters that have no UTF-8 form.
    const std::size_t n_positional = signature_.positional.size();
    const std::size_t n_names = signature_.size();
    std::size_t index = kMaxParameters;
    if (signature_.interned[0] == nullptr) {
        for (std::size_t k = 0; k < n_names; ++k) {
            signature_.interned[k] = PyUnicode_InternFromString(signature_.name_at(k));
            if (signature_.interned[k] == nullptr) return false;
        }
    }
    // Keyword-only names are looked up before positional ones.
    for (std::size_t k = n_positional; k < n_names && index == kMaxParameters; ++k) {
        if (name == signature_.interned[k]) index = k;
    }
    for (std::size_t k = 0; k < n_positional && index == kMaxParameters; ++k) {
        if (name == signature_.interned[k]) index = k;
    }
    if (index == kMaxParameters && PyUnicode_Check(name)) {
        for (std::size_t k = 0; k < signature_.keyword_only.size(); ++k) {
            if (PyUnicode_CompareWithASCIIString(name, signature_.keyword_only[k]) == 0) {
                index = n_positional + k;
                break;
            }
        }
        if (index == kMaxParameters) {
            for (std::size_t k = 0; k < n_positional; ++k) {
                if (PyUnicode_CompareWithASCIIString(name, signature_.positional[k]) == 0) {
                    index = k;
                    break;
                }
            }
        }
    }
    if (index == kMaxParameters) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                     signature_.full_name().c_str(), name);
        return false;
    }
    if (slots_[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                     signature_.full_name().c_str(), name);
        return false;
    }
    slots_[index] = Py_NewRef(value);
    return true;
}

bool Arguments::finish() {
    std::vector<const char*> missing;
    for (std::size_t k = 0; k < signature_.required; ++k) {
        if (slots_[k] == nullptr) missing.push_back(signature_.positional[k]);
    }
    if (missing.empty()) return true;
    const std::string full = signature_.full_name();
    const std::string names = quote_names(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", full.c_str(),
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

// ---------------------------------------------------------------------------------------------
// Errors raised by converters

void cast_error(PyObject* object, const char* target) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(object));
    if (qualname == nullptr) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname, target);
    Py_DECREF(qualname);
}

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;  // other failures pass unchanged
    PyObject* cause = take_raised_exception();
    if (cause == nullptr) return;
    PyObject* reason = PyObject_Str(cause);
    if (reason == nullptr) {
        Py_DECREF(cause);
        return;
    }
    PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, reason);
    Py_DECREF(reason);
    if (message == nullptr) {
        Py_DECREF(cause);
        return;
    }
    PyObject* error = PyObject_CallOneArg(PyExc_TypeError, message);
    Py_DECREF(message);
    if (error == nullptr) {
        Py_DECREF(cause);
        return;
    }
    PyException_SetContext(error, Py_NewRef(cause));
    PyException_SetCause(error, cause);  // steals cause
    PyErr_SetObject(PyExc_TypeError, error);
    Py_DECREF(error);
}

// ---------------------------------------------------------------------------------------------
// Scalar converters

bool convert_value(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    // Only -1.0 can signal a failure; -1.0 itself is a valid value.
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert_value(PyObject* object, std::uint64_t& out) {
    if (PyLong_Check(object)) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(object);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = value;
        return true;
    }
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

namespace {

// A NumPy boolean scalar: its type is named "bool_" or "bool" and lives in module "numpy".
bool is_numpy_bool(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject* name = PyType_GetName(type);
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool name_matches = PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
                              PyUnicode_CompareWithASCIIString(name, "bool") == 0;
    Py_DECREF(name);
    if (!name_matches) return false;
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool in_numpy =
        PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
    Py_DECREF(module);
    return in_numpy;
}

}  // namespace

bool convert_value(PyObject* object, bool& out) {
    if (object == Py_True || object == Py_False) {
        out = object == Py_True;
        return true;
    }
    if (!is_numpy_bool(object)) {
        cast_error(object, "bool");
        return false;
    }
    PyTypeObject* type = Py_TYPE(object);
    inquiry nb_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (nb_bool == nullptr) {
        PyObject* qualname = PyType_GetQualName(type);
        if (qualname == nullptr) return false;
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     qualname);
        Py_DECREF(qualname);
        return false;
    }
    // The slot checks that __bool__ returned a bool and raises otherwise.
    const int truth = nb_bool(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool convert_value(PyObject* object, Text& out) {
    if (!PyUnicode_Check(object)) {
        cast_error(object, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;  // e.g. lone surrogates: UnicodeEncodeError, unchanged
    out.utf8 = std::string_view(data, static_cast<std::size_t>(size));
    out.object = object;
    return true;
}

bool convert_value(PyObject* object, ListArg& out) {
    if (!PyList_Check(object)) {
        cast_error(object, "list");
        return false;
    }
    out.object = object;
    return true;
}

}  // namespace vostrel::py
