#include "standin/store/faults.h"

#include <algorithm>
#include <iterator>

#include "standin/store/metadata.h"

namespace standin::store {

bool ParseFaults(FaultScope scope, std::wstring_view words, uint32_t& faults, std::wstring& bad) {
    faults = 0;
    for (const std::wstring& word : SplitWords(words)) {
        const auto found =
            std::find_if(std::begin(kFaultWords), std::end(kFaultWords),
                         [&](const FaultWord& entry) { return entry.scope == scope && entry.word == word; });
        if (found == std::end(kFaultWords)) {
            bad = word;
            return false;
        }
        faults |= found->bit;
    }
    return true;
}

std::wstring FaultWords(FaultScope scope, uint32_t faults) {
    std::wstring words;
    for (const FaultWord& entry : kFaultWords) {
        if (entry.scope != scope || (faults & entry.bit) == 0) continue;
        if (!words.empty()) words += L' ';
        words += entry.word;
    }
    return words;
}

}  // namespace standin::store
