#include "code/words.h"

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "transfer/payload.h"

namespace tqr {

namespace {

const char kPlatePersonal[] = "tqr plate key 1";
constexpr size_t kPlateKeyBytes = 32;
constexpr size_t kMaxNameplateDigits = 6;
static_assert(sizeof kPlatePersonal <= crypto_generichash_blake2b_PERSONALBYTES, "personalisation fits");

bool word_less(const char* word, const std::string& key) { return key.compare(word) > 0; }

bool listed(const std::string& word) {
    const char* const* end = g_code_words + kCodeWordCount;
    const char* const* found = std::lower_bound(g_code_words, end, word, word_less);
    return found != end && word == *found;
}

std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Line ends too: a code pasted with its line, or read from a file, is the same code.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_separator(char c) { return c == '-' || is_blank(c); }

}  // namespace

std::string make_code(size_t words) {
    ensure_sodium();
    return make_code_with_nameplate(1 + randombytes_uniform(kMaxDrawnNameplate), words);
}

std::string make_code_with_nameplate(unsigned nameplate, size_t words) {
    if (nameplate < 1 || nameplate > kMaxNameplate || words < kMinCodeWords || words > kMaxCodeWords) return "";
    ensure_sodium();
    std::string code = std::to_string(nameplate);
    for (size_t i = 0; i < words; ++i)
        code += std::string("-") + g_code_words[randombytes_uniform(static_cast<uint32_t>(kCodeWordCount))];
    return code;
}

bool parse_code(const std::string& typed, Code* out) {
    size_t begin = 0, end = typed.size();
    while (begin < end && is_blank(typed[begin])) ++begin;
    while (end > begin && is_blank(typed[end - 1])) --end;
    // Blanks are trimmed, so a separator at either end is a hyphen: a part is missing there.
    std::vector<std::string> parts;
    for (size_t at = begin; at < end;) {
        size_t stop = at;
        while (stop < end && !is_separator(typed[stop])) ++stop;
        if (stop == at) return false;
        parts.push_back(typed.substr(at, stop - at));
        at = stop;
        while (at < end && is_separator(typed[at])) ++at;
        if (at == end && stop != end) return false;
    }
    if (parts.size() < 1 + kMinCodeWords || parts.size() > 1 + kMaxCodeWords) return false;

    const std::string& plate = parts[0];
    if (plate.size() > kMaxNameplateDigits || plate[0] == '0') return false;
    unsigned nameplate = 0;
    for (char c : plate) {
        if (c < '0' || c > '9') return false;
        nameplate = nameplate * 10 + static_cast<unsigned>(c - '0');
    }
    Code code;
    code.nameplate = nameplate;
    code.text = plate;
    for (size_t i = 1; i < parts.size(); ++i) {
        code.words.push_back(lower(parts[i]));
        if (!listed(code.words.back())) return false;
        code.text += "-" + code.words.back();
    }
    *out = code;
    return true;
}

std::vector<std::string> words_starting_with(const std::string& prefix) {
    std::string key = lower(prefix);
    std::vector<std::string> found;
    const char* const* end = g_code_words + kCodeWordCount;
    for (const char* const* at = std::lower_bound(g_code_words, end, key, word_less);
         at != end && strncmp(*at, key.c_str(), key.size()) == 0; ++at)
        found.push_back(*at);
    return found;
}

std::string complete_code(const std::string& typed, std::vector<std::string>* choices) {
    choices->clear();
    size_t start = typed.size();
    while (start > 0 && !is_separator(typed[start - 1])) --start;
    if (start == 0 || start == typed.size()) return typed;
    std::vector<std::string> found = words_starting_with(typed.substr(start));
    if (found.empty()) return typed;
    // The list is sorted: what its first and last match share, all of them share.
    const std::string &first = found.front(), &last = found.back();
    size_t common = 0;
    while (common < first.size() && common < last.size() && first[common] == last[common]) ++common;
    std::string completed = typed.substr(0, start) + first.substr(0, common);
    if (found.size() == 1) {
        size_t parts = 0;
        for (size_t i = 0; i < start; ++i) parts += !is_separator(typed[i]) && (i == 0 || is_separator(typed[i - 1]));
        return parts < kCodeWordsPerCode ? completed + "-" : completed;
    }
    if (common == typed.size() - start) *choices = found;
    return completed;
}

namespace {

constexpr size_t kFarthestSuggested = 2;

// The optimal-string-alignment distance between `a` and `b`, or kFarthestSuggested + 1 for anything
// farther: lengths that differ by more cannot come nearer.
size_t distance(const std::string& a, const std::string& b) {
    size_t n = a.size(), m = b.size();
    if ((n > m ? n - m : m - n) > kFarthestSuggested) return kFarthestSuggested + 1;
    std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (size_t i = 1; i <= n; ++i) {
        for (size_t j = 1; j <= m; ++j) {
            size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return std::min(d[n][m], kFarthestSuggested + 1);
}

// "a, b or c": `items` as a person says them.
std::string spoken_list(const std::vector<std::string>& items, const char* last_joint) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) text += (i == 0 ? "" : i + 1 == items.size() ? last_joint : ", ") + items[i];
    return text;
}

}  // namespace

std::vector<std::string> nearest_words(const std::string& word, size_t most) {
    std::string key = lower(word);
    std::vector<std::pair<size_t, const char*>> found;
    for (const char* listed_word : g_code_words) {
        size_t d = distance(key, listed_word);
        if (d >= 1 && d <= kFarthestSuggested) found.emplace_back(d, listed_word);
    }
    // The list is sorted, so a stable sort by distance keeps equals in alphabetical order.
    std::stable_sort(found.begin(), found.end(),
                     [](const std::pair<size_t, const char*>& x, const std::pair<size_t, const char*>& y) {
                         return x.first < y.first;
                     });
    // Only the nearest: one slip away, the words two slips away only mislead.
    std::vector<std::string> nearest;
    for (size_t i = 0; i < found.size() && i < most && found[i].first == found[0].first; ++i)
        nearest.push_back(found[i].second);
    return nearest;
}

std::string code_mistake(const std::string& typed) {
    Code code;
    if (parse_code(typed, &code)) return "";
    const std::string shape = "a number and two to eight words of the list, as in 7-guitar-ocean-tulip";
    std::vector<std::string> parts;
    std::string part;
    for (char c : typed + " ") {
        if (!is_separator(c)) {
            part += c;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    if (parts.empty()) return "that is not a code: " + shape;
    if (parts.size() < 1 + kMinCodeWords || parts.size() > 1 + kMaxCodeWords)
        return "a code is " + shape + "; that has " + std::to_string(parts.size()) + " parts";
    const std::string& plate = parts[0];
    bool digits = plate.size() <= kMaxNameplateDigits && plate[0] != '0' &&
                  std::all_of(plate.begin(), plate.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits)
        return plate + " is not the code's number: it starts with a number from 1 to " +
               std::to_string(kMaxNameplate) + " without leading zeros, as in 7-guitar-ocean-tulip";
    std::vector<std::string> wrong, guesses;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (listed(lower(parts[i]))) continue;
        wrong.push_back(parts[i]);
        std::vector<std::string> near = nearest_words(parts[i]);
        if (!near.empty()) guesses.push_back(parts[i] + ": " + spoken_list(near, " or ") + "?");
    }
    // Only a hyphen at either end is left: the parts are right, their separators not.
    if (wrong.empty()) return "that is not a code: " + shape;
    if (wrong.size() == 1) {
        std::vector<std::string> near = nearest_words(wrong[0]);
        return wrong[0] + " is not a word of the code list" +
               (near.empty() ? "" : "; did you mean " + spoken_list(near, " or ") + "?");
    }
    std::string line = spoken_list(wrong, " and ") + " are not words of the code list";
    for (size_t i = 0; i < guesses.size(); ++i) line += (i == 0 ? " (" : " ") + guesses[i];
    if (!guesses.empty()) line += ")";
    return line;
}

std::string code_password(const Code& code) {
    std::string password = code.words[0];
    for (size_t i = 1; i < code.words.size(); ++i) password += "-" + code.words[i];
    return password;
}

std::string conference_of(unsigned nameplate) { return "tqr-code-" + std::to_string(nameplate); }

std::string nameplate_check_key(unsigned nameplate) {
    ensure_sodium();
    std::string conference = conference_of(nameplate);
    unsigned char personal[crypto_generichash_blake2b_PERSONALBYTES] = {};
    memcpy(personal, kPlatePersonal, strlen(kPlatePersonal));
    unsigned char key[kPlateKeyBytes];
    crypto_generichash_blake2b_salt_personal(key, sizeof key, reinterpret_cast<const unsigned char*>(conference.data()),
                                             conference.size(), nullptr, 0, nullptr, personal);
    char hex[2 * kPlateKeyBytes + 1];
    sodium_bin2hex(hex, sizeof hex, key, sizeof key);
    return hex;
}

}  // namespace tqr
