// query_to_k: a text query to the k-scale of the keyword anchors it matches.
#include <memory>
#include <new>

#include "functions.hpp"
#include "tavro/query_anchor.hpp"

namespace tavro::hxm {
namespace {

// UTF-8 bytes of a str; lone surrogates are kept as their 3-byte forms,
// which no ASCII keyword can match inside. `holder` keeps the bytes alive
// when they had to be encoded.
bool utf8_view(PyObject* text, std::string_view* out, PyObject** holder) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        *holder = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
        if (*holder == nullptr) return false;
        data = PyBytes_AS_STRING(*holder);
        size = PyBytes_GET_SIZE(*holder);
    }
    *out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// Pure-ASCII text: lower-casing and splitting need no Unicode tables.
PyObject* k_for_ascii(std::string_view text) {
    std::unique_ptr<char[]> lowered(new (std::nothrow) char[text.size() + 1]);
    if (!lowered) return PyErr_NoMemory();
    query::AnchorScores scores;
    query::for_each_lowered_ascii_word(
        text, lowered.get(), [&scores](std::string_view word) { query::score_word(word, scores); });
    const bool creative =
        query::has_creative_marker(std::string_view(lowered.get(), text.size()));
    return PyFloat_FromDouble(query::k_from_scores(scores, creative));
}

// Any text: the interpreter's own str.lower() and str.split().
PyObject* k_for_unicode(PyObject* query_text) {
    PyObject* lowered = PyObject_CallMethod(query_text, "lower", nullptr);
    if (lowered == nullptr) return nullptr;
    PyObject* words = PyUnicode_Split(lowered, nullptr, -1);
    PyObject* result = nullptr;
    query::AnchorScores scores;
    bool ok = words != nullptr;
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(words); ++i) {
        std::string_view word;
        PyObject* holder = nullptr;
        ok = utf8_view(PyList_GET_ITEM(words, i), &word, &holder);
        if (ok) query::score_word(word, scores);
        Py_XDECREF(holder);
    }
    std::string_view whole;
    PyObject* holder = nullptr;
    if (ok && utf8_view(lowered, &whole, &holder)) {
        result = PyFloat_FromDouble(query::k_from_scores(scores, query::has_creative_marker(whole)));
    }
    Py_XDECREF(holder);
    Py_XDECREF(words);
    Py_DECREF(lowered);
    return result;
}

PyObject* query_to_k(PyObject* const* args) {
    PyObject* text = args[0];
    if (!PyUnicode_CheckExact(text)) {
        PyErr_Format(PyExc_TypeError, "query_to_k() argument 'query' must be str, not %.200s",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
    if (PyUnicode_IS_ASCII(text)) {
        return k_for_ascii(std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))));
    }
    return k_for_unicode(text);
}

constexpr py::Param kQueryParams[] = {{"query", {}, "str"}};

}  // namespace

const py::FunctionSpec kQueryToK = {"query_to_k", "Map a text query to the HXM k-scale anchor.",
                                    kQueryParams, 1, query_to_k, "float"};

}  // namespace tavro::hxm
