// Keyword-anchor scoring on lowered UTF-8 words, without Python.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "tavro/query_anchor.hpp"

namespace {

using tavro::query::AnchorScores;

std::vector<std::string> lowered_words(std::string_view text) {
    std::string buffer(text.size(), '\0');
    std::vector<std::string> words;
    tavro::query::for_each_lowered_ascii_word(
        text, buffer.data(), [&words](std::string_view w) { words.emplace_back(w); });
    return words;
}

double k_for(std::string_view text) {
    std::string buffer(text.size(), '\0');
    AnchorScores scores;
    tavro::query::for_each_lowered_ascii_word(
        text, buffer.data(), [&scores](std::string_view w) { tavro::query::score_word(w, scores); });
    return tavro::query::k_from_scores(scores, tavro::query::has_creative_marker(buffer));
}

TEST(QueryAnchor, SplitsAtPythonsAsciiWhitespace) {
    EXPECT_EQ(lowered_words(""), std::vector<std::string>{});
    EXPECT_EQ(lowered_words(" \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f "), std::vector<std::string>{});
    EXPECT_EQ(lowered_words("  Dark\x1fMATTER,\x0b(x) "),
              (std::vector<std::string>{"dark", "matter,", "(x)"}));
    EXPECT_EQ(lowered_words("a\x1b" "b"), std::vector<std::string>{"a\x1b" "b"});  // ESC is no space
}

TEST(QueryAnchor, ScoresCountBothSubstringDirections) {
    AnchorScores scores;
    tavro::query::score_word("a", scores);
    EXPECT_EQ(scores.score[0], 6);
    EXPECT_EQ(scores.score[1], 6);
    EXPECT_EQ(scores.score[2], 6);
    EXPECT_EQ(scores.score[3], 5);
    AnchorScores electro;
    tavro::query::score_word("electromagnetic", electro);
    // "electromagnetic" itself and "magnetic"; not "electromagnetism" (longer, not contained).
    EXPECT_EQ(electro.score[1], 2);
}

TEST(QueryAnchor, WorkedQueries) {
    const struct {
        const char* text;
        double k;
    } cases[] = {
        {"", 66.0},
        {"hello world", 66.0},
        {"DARK MATTER", 133.0},
        {"quark quark photon", 74.0},
        {"a", 115.47826086956522},
        {"novel bridge between quark and photon", 77.07139547199077},
        {"synthesize time and dark energy", 154.91933384829667},
        {"across the universe and time", 154.91933384829667},
        {"creative quark", 66.0},
        {"combine photon light", 90.0},
    };
    for (const auto& c : cases) EXPECT_EQ(k_for(c.text), c.k) << c.text;
}

}  // namespace
