// The code a person reads out and types: "NAMEPLATE-word-word-word", for instance "7-guitar-ocean-tulip".
//
// The nameplate (a decimal number) names the conference and is public: the coordinator sees it, and so
// does anyone who watches the library's key check, whose key comes from the nameplate alone. The words
// (three unless the sender asks for 2 to 8) are the password of the CPace run on the direct link
// (pake.h) and never leave the two ends; each word is one of 2,048, so a code carries 11 bits a word
// beyond its nameplate, and an attacker in the middle gets one guess per live run.
//
// The words are common, lower-case, 3 to 7 letters, each in the American English dictionary, with no
// homophones and no two that a slip of the ear or of one letter (b/p, d/t, m/n, an extra or a missing
// letter, two letters swapped) turns into each other. The list is sorted, which lookups rely on.
//
// Pure functions and constant data: any thread.
#ifndef ZEL_TOOLS_TQR_CODE_WORDS_H
#define ZEL_TOOLS_TQR_CODE_WORDS_H

#include <cstddef>
#include <string>
#include <vector>

namespace tqr {

constexpr size_t kCodeWordCount = 2048;
constexpr size_t kCodeWordsPerCode = 3;  // what a sender draws unless told otherwise (--words)
constexpr size_t kMinCodeWords = 2;
constexpr size_t kMaxCodeWords = 8;
constexpr unsigned kMaxDrawnNameplate = 999;    // make_code draws 1..999; a sender draws beyond when crowded
constexpr unsigned kMaxNameplate = 999999;      // the largest that a code may have, and parse_code takes

extern const char* const g_code_words[kCodeWordCount];

struct Code {
    unsigned nameplate = 0;
    std::vector<std::string> words;  // lower case, kMinCodeWords to kMaxCodeWords of them
    std::string text;                      // the canonical form, "7-guitar-ocean-tulip"
};

// A fresh code: a random nameplate in 1..kMaxDrawnNameplate and `words` random words (libsodium).
std::string make_code(size_t words = kCodeWordsPerCode);
// The same with a given nameplate (for when the drawn one is taken); "" outside 1..kMaxNameplate or
// for a count of words outside kMinCodeWords..kMaxCodeWords.
std::string make_code_with_nameplate(unsigned nameplate, size_t words = kCodeWordsPerCode);

// Reads a typed code: blanks and hyphens in any mix between the parts, blanks around it, letters in any
// case ("  7 - Guitar ocean-TULIP "). The nameplate is 1..kMaxNameplate in decimal without leading
// zeros (the tool never prints any, so "07" is a slip worth showing), then kMinCodeWords to kMaxCodeWords
// words. false, with `out` untouched, for
// anything else: a missing or extra part, a word not in the list, a nameplate that is no such number.
bool parse_code(const std::string& typed, Code* out);

// The list's words nearest to `word` (any case) by Damerau-Levenshtein distance (a letter added,
// dropped or changed, or two neighbours swapped, counting one each), at 1 or 2 only, and only those
// at the nearest distance found, alphabetically, at most `most`. For a word a person got wrong.
std::vector<std::string> nearest_words(const std::string& word, size_t most = 3);

// Why `typed` is no code, for a person, in one line: the part that is wrong, and for a word not in
// the list the nearest ones ("wardan is not a word of the code list; did you mean warden?"). "" when
// it is a code.
std::string code_mistake(const std::string& typed);

// The list's words that start with `prefix` (any case), in order: for Tab completion.
std::vector<std::string> words_starting_with(const std::string& prefix);

// What Tab makes of a partly typed code: its last word completed as far as the list allows, with a
// hyphen after it when it is whole and fewer than kCodeWordsPerCode words are in (a longer code's
// later hyphens are typed: nothing tells how long the code is); unchanged while the nameplate is typed or
// when nothing fits. `choices` gets the words still possible when Tab had nothing to add.
std::string complete_code(const std::string& typed, std::vector<std::string>* choices);

// The CPace password of a code: its words joined by hyphens.
std::string code_password(const Code& code);

// The conference identifier of a nameplate: "tqr-code-7".
std::string conference_of(unsigned nameplate);
// The key the library checks on the direct link for a nameplate: 64 hex characters of BLAKE2b-256,
// personalisation "tqr plate key 1", of conference_of(nameplate). Public by design: it is a function of
// the nameplate alone and tells nothing of the words.
std::string nameplate_check_key(unsigned nameplate);

}  // namespace tqr

#endif
