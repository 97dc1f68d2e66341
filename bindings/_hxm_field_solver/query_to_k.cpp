// query_to_k: a text query to the k-scale of the keyword anchors it matches.
#include <memory>
#include <new>

#include "functions.hpp"
#include "py_ref.hpp"
#include "tavro/query_anchor.hpp"

namespace tavro::hxm {
namespace {

// UTF-8 bytes of a str; lone surrogates are kept as their 3-byte forms,
// which no ASCII keyword can match inside. `holder` keeps the bytes alive
// when they had to be encoded.
bool utf8_view(PyObject* text, std::string_view* out, py::PyRef* holder) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        *holder = py::PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
        if (!*holder) return false;
        data = PyBytes_AS_STRING(holder->get());
        size = PyBytes_GET_SIZE(holder->get());
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

// Bytes a code point takes in UTF-8 (a lone surrogate: its 3-byte form).
std::size_t utf8_length(Py_UCS4 ch) {
    return ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
}

// Any text: lower-cased by the interpreter's own str.lower(), then cut where
// str.split() cuts (the interpreter's own whitespace test), walking the code
// points and their UTF-8 bytes side by side.
PyObject* k_for_unicode(PyObject* query_text) {
    const py::PyRef lowered = py::PyRef::steal(PyObject_CallMethod(query_text, "lower", nullptr));
    if (!lowered) return nullptr;
    std::string_view bytes;
    py::PyRef holder;
    if (!utf8_view(lowered.get(), &bytes, &holder)) return nullptr;
    const int kind = PyUnicode_KIND(lowered.get());
    const void* data = PyUnicode_DATA(lowered.get());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(lowered.get());
    query::AnchorScores scores;
    std::size_t offset = 0, word_start = 0;
    bool in_word = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        const bool space = Py_UNICODE_ISSPACE(ch);
        if (space && in_word) query::score_word(bytes.substr(word_start, offset - word_start), scores);
        if (!space && !in_word) word_start = offset;
        in_word = !space;
        offset += utf8_length(ch);
    }
    if (in_word) query::score_word(bytes.substr(word_start, offset - word_start), scores);
    return PyFloat_FromDouble(query::k_from_scores(scores, query::has_creative_marker(bytes)));
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

const py::FunctionSpec kQueryToK = py::function_spec(
    "query_to_k", "Map a text query to the HXM k-scale anchor.", kQueryParams, query_to_k, "float");

}  // namespace tavro::hxm
