// The PE images of the tests: the shared builder with a resource the tests
// know, and a message-table resource.
#pragma once

#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "sharedcode/peimage.h"

namespace peimage {

const uint8_t kKeyBytes[] = {'k', 'e', 'y', ' ', 'b', 'y', 't', 'e', 's', 0, 0xFF};

// The layout the tests start from: resource 1000 of type 2 holding kKeyBytes.
inline PeLayout KeyLayout() {
    PeLayout layout;
    layout.payload.assign(std::begin(kKeyBytes), std::end(kKeyBytes));
    return layout;
}

// A message-table resource holding one block per text.
inline std::vector<uint8_t> MessageTable(const std::vector<std::pair<uint32_t, std::string>>& texts) {
    std::vector<uint8_t> v(4 + 12 * texts.size(), 0);
    Put32(v, 0, static_cast<uint32_t>(texts.size()));
    for (size_t i = 0; i < texts.size(); ++i) {
        const size_t at = v.size();
        const size_t length = (4 + texts[i].second.size() + 1 + 3) & ~size_t{3};
        v.resize(at + length, 0);
        Put16(v, at, static_cast<uint32_t>(length));
        std::memcpy(&v[at + 4], texts[i].second.data(), texts[i].second.size());
        Put32(v, 4 + 12 * i, texts[i].first);
        Put32(v, 8 + 12 * i, texts[i].first);
        Put32(v, 12 + 12 * i, static_cast<uint32_t>(at));
    }
    return v;
}

}  // namespace peimage
