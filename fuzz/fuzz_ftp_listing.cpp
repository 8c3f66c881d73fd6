// The listing parser on arbitrary LIST text: every entry it yields has a name, a size text and a
// one-character type, and no name is longer than a listing line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tarnet/tnftp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text(data, data + size);
    TnList list;
    TnListInit(&list);
    std::uint32_t dropped = 0;
    const int n =
        TnFtpParseListing(text.data(), static_cast<std::uint32_t>(text.size()), &list, &dropped);
    int counted = 0;
    for (const TnListNode* node = list.first; node != nullptr; node = node->next, ++counted) {
        const auto* name = static_cast<const char*>(node->payload);
        const auto* type = static_cast<const char*>(node->extra2);
        if (name == nullptr || node->extra1 == nullptr || type == nullptr ||
            std::strlen(type) > 1 || std::strlen(name) > TNFTP_MAX_LISTING_LINE) {
            __builtin_trap();
        }
    }
    if (n >= 0 && n != counted) {
        __builtin_trap();
    }
    TnListFreeAll(&list);
    return 0;
}
