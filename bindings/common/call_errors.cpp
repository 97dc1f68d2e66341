#include "call_errors.hpp"

#include <algorithm>
#include <cstdint>

#include "py_ref.hpp"

namespace tavro::py {

void raise_too_many_positional(PyObject* qualname, Py_ssize_t param_count,
                               Py_ssize_t default_count, Py_ssize_t given) {
    const PyRef range = PyRef::steal(
        default_count != 0
            ? PyUnicode_FromFormat("from %zd to %zd", param_count - default_count, param_count)
            : PyUnicode_FromFormat("%zd", param_count));
    if (!range) return;
    const bool plural = default_count != 0 || param_count != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 qualname, range.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void raise_missing_positional(PyObject* qualname, PyObject* const* missing, Py_ssize_t count) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    PyRef listing = PyRef::steal(PyUnicode_FromString(""));
    for (Py_ssize_t i = 0; listing && i < count; ++i) {
        const char* separator = "";
        if (i > 0 && count == 2) {
            separator = " and ";
        } else if (i > 0 && i == count - 1) {
            separator = ", and ";
        } else if (i > 0) {
            separator = ", ";
        }
        listing =
            PyRef::steal(PyUnicode_FromFormat("%U%s%R", listing.get(), separator, missing[i]));
    }
    if (!listing) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", qualname,
                 count, count == 1 ? "" : "s", listing.get());
}

void raise_multiple_values(PyObject* qualname, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname, keyword);
}

void raise_unexpected_keyword(PyObject* qualname, PyObject* keyword, PyObject* const* names,
                              Py_ssize_t name_count) {
    PyObject* suggestion = suggest_keyword(keyword, names, name_count);
    if (suggestion == nullptr && PyErr_Occurred()) return;
    if (suggestion != nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", qualname,
                     keyword, suggestion);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname,
                     keyword);
    }
}

namespace {

// CPython's weighted edit distance for name suggestions: a case change costs
// 1, any other edit 2; strings longer than 40 characters are never close.
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxStringSize = 40;

std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    return a == b ? kCaseCost : kMoveCost;
}

std::size_t levenshtein_distance(const char* a, std::size_t a_size, const char* b,
                                 std::size_t b_size, std::size_t max_cost) {
    while (a_size != 0 && b_size != 0 && a[0] == b[0]) {
        ++a, ++b, --a_size, --b_size;
    }
    while (a_size != 0 && b_size != 0 && a[a_size - 1] == b[b_size - 1]) {
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;

    std::size_t row[kMaxStringSize];
    for (std::size_t i = 0; i < a_size; ++i) row[i] = (i + 1) * kMoveCost;
    std::size_t result = 0;
    for (std::size_t b_index = 0; b_index < b_size; ++b_index) {
        const char code = b[b_index];
        std::size_t distance = result = b_index * kMoveCost;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t index = 0; index < a_size; ++index) {
            const std::size_t substitute = distance + substitution_cost(code, a[index]);
            distance = row[index];
            const std::size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            row[index] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

}  // namespace

PyObject* suggest_keyword(PyObject* keyword, PyObject* const* names, Py_ssize_t name_count) {
    if (!PyUnicode_Check(keyword)) return nullptr;
    Py_ssize_t keyword_size = 0;
    const char* keyword_text = PyUnicode_AsUTF8AndSize(keyword, &keyword_size);
    if (keyword_text == nullptr) return nullptr;
    PyObject* best = nullptr;
    Py_ssize_t best_distance = PY_SSIZE_T_MAX;
    for (Py_ssize_t i = 0; i < name_count; ++i) {
        Py_ssize_t name_size = 0;
        const char* name_text = PyUnicode_AsUTF8AndSize(names[i], &name_size);
        if (name_text == nullptr) return nullptr;
        // No more than a third of the characters involved may change.
        Py_ssize_t max_distance = (keyword_size + name_size + 3) * Py_ssize_t{kMoveCost} / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        if (max_distance < 0) continue;
        const auto distance = static_cast<Py_ssize_t>(levenshtein_distance(
            keyword_text, static_cast<std::size_t>(keyword_size), name_text,
            static_cast<std::size_t>(name_size), static_cast<std::size_t>(max_distance)));
        if (distance > max_distance) continue;
        if (best == nullptr || distance < best_distance) {
            best = names[i];
            best_distance = distance;
        }
    }
    return best;
}

}  // namespace tavro::py
