// The byte maps behind mapped texts, made once from the fixed case tables.
#include "services/mapped_text.h"

#include "services/text.h"

namespace grenfel {

const ByteMaps& Maps() {
  static const ByteMaps maps = [] {
    ByteMaps m;
    for (size_t c = 0; c < 256; ++c) {
      m.identity[c] = static_cast<unsigned char>(c);
      m.lower[c] = kLowerTable[c];
      m.fold[c] = kFoldTable[c];
      m.domainFold[c] = kFoldTable[kLowerTable[c]];
    }
    return m;
  }();
  return maps;
}

}  // namespace grenfel
