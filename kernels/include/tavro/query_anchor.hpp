// Maps the words of a text query to a k-scale by scoring them against four
// keyword anchors. Works on UTF-8 bytes: the keywords are ASCII, and an ASCII
// byte never occurs inside a multi-byte sequence, so byte substrings here
// are exactly code-point substrings. Lower-casing and splitting are the
// caller's (they follow the interpreter's own string rules).
#pragma once

#include <cstdint>
#include <string_view>

namespace tavro::query {

inline constexpr int kAnchorCount = 4;
inline constexpr double kAnchorK[kAnchorCount] = {66.0, 90.0, 120.0, 200.0};
inline constexpr double kFallbackK = 66.0;

// Match counts per anchor, in table order.
struct AnchorScores {
    std::int64_t score[kAnchorCount] = {0, 0, 0, 0};
};

// Adds, for each anchor, the number of its keywords that contain `word` or
// that `word` contains.
void score_word(std::string_view word, AnchorScores& scores) noexcept;

// True when `lowered_text` contains one of the creative-marker words.
bool has_creative_marker(std::string_view lowered_text) noexcept;

// The k-scale for the scores: 66.0 when nothing scored; for a creative
// query with at least two scored anchors the geometric mean of the two best
// (ties to the earlier anchor); otherwise the score-weighted mean.
double k_from_scores(const AnchorScores& scores, bool creative) noexcept;

// Lower-cases ASCII text and splits it at runs of the characters Python's
// str.isspace() accepts in ASCII, calling on_word for each word in order.
// Requires `ascii` to hold only ASCII; `buffer` receives the lowered text
// and must hold ascii.size() bytes.
template <class OnWord>
void for_each_lowered_ascii_word(std::string_view ascii, char* buffer, OnWord&& on_word) {
    std::size_t start = 0;
    bool in_word = false;
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        const char c = ascii[i];
        const bool space = c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
        buffer[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
        if (space && in_word) on_word(std::string_view(buffer + start, i - start));
        if (!space && !in_word) start = i;
        in_word = !space;
    }
    if (in_word) on_word(std::string_view(buffer + start, ascii.size() - start));
}

}  // namespace tavro::query
