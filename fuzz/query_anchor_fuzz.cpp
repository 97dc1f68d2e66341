// libFuzzer target: the query-anchor scoring (tavro::query) on ASCII text.
// Input bytes are masked to ASCII, split and lower-cased by
// for_each_lowered_ascii_word, scored with score_word, checked for creative
// markers and mapped with k_from_scores. Aborts unless: the result is 66.0
// when nothing scores; it lies within [66, 200]; it equals the anchor's
// value when exactly one anchor scores; and the scores, the marker flag and
// the result agree with a plain model of the same rules written here.
//   Build and run: tools/fuzz.sh   (or see fuzz/CMakeLists.txt)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tavro/query_anchor.hpp"

namespace {

namespace q = tavro::query;

const std::vector<std::vector<std::string_view>> kModelAnchors = {
    {"matter", "mass", "structure", "proton", "strong", "nuclear", "baryon", "quark", "gluon", "hadron"},
    {"em", "light", "charge", "electromagnetic", "electromagnetism", "photon", "optical", "electric",
     "magnetic", "radiation"},
    {"time", "causality", "weak", "decay", "temporal", "irreversible", "arrow", "entropy", "chiral"},
    {"cosmos", "dark", "energy", "hubble", "expansion", "cosmological", "universe", "inflation", "vacuum"},
};
const double kModelK[] = {66.0, 90.0, 120.0, 200.0};
const std::string_view kModelMarkers[] = {"creative", "synthesize", "novel", "bridge", "combine", "cross"};

bool has(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

[[noreturn]] void fail(const char* what, const std::string& text, double got, double want) {
    std::fprintf(stderr, "query anchor: %s: got %.17g, want %.17g, text \"%s\"\n", what, got, want,
                 text.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(data[i] & 0x7f);

    std::string lowered(size, '\0');
    q::AnchorScores scores;
    std::int64_t model[4] = {0, 0, 0, 0};
    std::size_t words = 0;
    q::for_each_lowered_ascii_word(text, lowered.data(), [&](std::string_view word) {
        if (word.empty()) fail("empty word", text, 0, 1);
        ++words;
        q::score_word(word, scores);
        for (int a = 0; a < 4; ++a)
            for (std::string_view kw : kModelAnchors[a]) model[a] += (has(word, kw) || has(kw, word)) ? 1 : 0;
    });
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        const char want = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        if (lowered[i] != want) fail("lowered byte", text, lowered[i], want);
    }
    if (size == 0 && words != 0) fail("words in empty text", text, double(words), 0);

    int scored = 0, last = -1;
    std::int64_t total = 0;
    for (int a = 0; a < 4; ++a) {
        if (scores.score[a] != model[a]) fail("anchor score", text, double(scores.score[a]), double(model[a]));
        if (model[a] > 0) ++scored, last = a;
        total += model[a];
    }

    const bool creative = q::has_creative_marker(lowered);
    bool model_creative = false;
    for (std::string_view m : kModelMarkers) model_creative = model_creative || has(lowered, m);
    if (creative != model_creative) fail("creative marker", text, creative, model_creative);

    const double k = q::k_from_scores(scores, creative);
    if (!(k >= 66.0 && k <= 200.0)) fail("k outside [66, 200]", text, k, 66.0);
    if (scored == 0 && k != 66.0) fail("k with nothing scored", text, k, 66.0);
    if (scored == 1 && k != kModelK[last]) fail("k with one anchor scored", text, k, kModelK[last]);

    double want;
    if (scored == 0) {
        want = 66.0;
    } else if (creative && scored >= 2) {
        int best = -1, second = -1;  // stable: the earlier anchor wins a tie
        for (int a = 0; a < 4; ++a) {
            if (model[a] == 0) continue;
            if (best < 0 || model[a] > model[best]) second = best, best = a;
            else if (second < 0 || model[a] > model[second]) second = a;
        }
        want = std::sqrt(kModelK[best] * kModelK[second]);
    } else {
        double sum = 0.0;
        for (int a = 0; a < 4; ++a)
            if (model[a] > 0) sum += kModelK[a] * static_cast<double>(model[a]);
        want = sum / static_cast<double>(total);
    }
    if (k != want) fail("k against the model", text, k, want);
    return 0;
}
