#pragma once
// The text rules of one machine identity value: white space folding, the
// control-character and length limits, and the firmware placeholder list.
// Pure code over UTF-16 units; the only system knowledge it needs (which
// characters above U+00FF are white space) comes in as a classifier, so the
// rules can be built natively and fuzzed.
#include <cstddef>

constexpr size_t kIdentityValueMaxUnits = 256;

// Answers for code units above U+00FF only.
using WideSpaceClassifier = bool (*)(wchar_t unit);

bool IsIdentityWhiteSpace(wchar_t unit, WideSpaceClassifier classifyAbove00FF);

// Drops leading and trailing white space, folds every inner run of it into
// one U+0020 and writes the result to `folded` (room for
// kIdentityValueMaxUnits units, no terminator). False for a control
// character, more than kIdentityValueMaxUnits units after folding, or an
// empty result.
bool FoldIdentityValue(const wchar_t* value, size_t length, WideSpaceClassifier classifyAbove00FF,
                       wchar_t* folded, size_t* foldedLength);

// Whole-text match, ignoring the case of A to Z only, against the texts that
// firmware and vendors put where a real identifier is missing.
bool IsPlaceholderIdentityValue(const wchar_t* value, size_t length);
