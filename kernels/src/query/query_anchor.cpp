#include "tavro/query_anchor.hpp"

#include <cmath>
#include <cstdint>

namespace tavro::query {
namespace {

// A set of the bytes a text contains, folded to 64 bits. A substring's set
// lies within its container's set, so most pairs are ruled out without a
// search (folding merges some bytes, which can only let a pair through).
constexpr std::uint64_t byte_set(std::string_view text) {
    std::uint64_t set = 0;
    for (char c : text) set |= std::uint64_t{1} << (static_cast<unsigned char>(c) & 63);
    return set;
}

struct Keyword {
    std::string_view text;
    std::uint64_t bytes;
    constexpr Keyword() : text(), bytes(0) {}
    constexpr Keyword(const char* t) : text(t), bytes(byte_set(text)) {}  // NOLINT: table entries
};

constexpr Keyword kKeywords[kAnchorCount][10] = {
    {"matter", "mass", "structure", "proton", "strong", "nuclear", "baryon", "quark", "gluon",
     "hadron"},
    {"em", "light", "charge", "electromagnetic", "electromagnetism", "photon", "optical", "electric",
     "magnetic", "radiation"},
    {"time", "causality", "weak", "decay", "temporal", "irreversible", "arrow", "entropy",
     "chiral"},
    {"cosmos", "dark", "energy", "hubble", "expansion", "cosmological", "universe", "inflation",
     "vacuum"},
};

constexpr std::string_view kCreativeWords[] = {"creative", "synthesize", "novel",
                                               "bridge",   "combine",    "cross"};

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

}  // namespace

void score_word(std::string_view word, AnchorScores& scores) noexcept {
    const std::uint64_t word_bytes = byte_set(word);
    for (int anchor = 0; anchor < kAnchorCount; ++anchor) {
        for (const Keyword& keyword : kKeywords[anchor]) {
            if (keyword.text.empty()) continue;  // anchors with fewer than ten keywords
            bool related;
            if (word.size() >= keyword.text.size()) {
                related = (keyword.bytes & ~word_bytes) == 0 && contains(word, keyword.text);
            } else {
                related = (word_bytes & ~keyword.bytes) == 0 && contains(keyword.text, word);
            }
            scores.score[anchor] += related ? 1 : 0;
        }
    }
}

bool has_creative_marker(std::string_view lowered_text) noexcept {
    for (std::string_view marker : kCreativeWords) {
        if (contains(lowered_text, marker)) return true;
    }
    return false;
}

double k_from_scores(const AnchorScores& scores, bool creative) noexcept {
    int scored = 0;
    std::int64_t total = 0;
    for (std::int64_t score : scores.score) {
        scored += score > 0 ? 1 : 0;
        total += score;
    }
    if (scored == 0) return kFallbackK;
    if (creative && scored >= 2) {
        // A stable sort by descending score: the first maximum wins a tie.
        int best = -1, second = -1;
        for (int a = 0; a < kAnchorCount; ++a) {
            if (scores.score[a] == 0) continue;
            if (best < 0 || scores.score[a] > scores.score[best]) {
                second = best;
                best = a;
            } else if (second < 0 || scores.score[a] > scores.score[second]) {
                second = a;
            }
        }
        return std::sqrt(kAnchorK[best] * kAnchorK[second]);
    }
    double weighted = 0.0;
    for (int a = 0; a < kAnchorCount; ++a) {
        if (scores.score[a] > 0) weighted += kAnchorK[a] * static_cast<double>(scores.score[a]);
    }
    return weighted / static_cast<double>(total);
}

}  // namespace tavro::query
