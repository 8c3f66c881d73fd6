// The listing parser on arbitrary LIST text: every entry it yields has a name, a size text and a
// one-character type, no name is longer than a listing line, no more entries are kept than the
// entry cap allows, and the lines left out are counted the same by both entry points.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ftp_internal.h"
#include "tarnet/tnftp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks a small entry cap (0: the real one), so inputs reach the cap.
    g_ftpListingEntryLimit = data[0] == 0 ? TNFTP_MAX_LISTING_ENTRIES : data[0] % 8u;
    std::vector<char> text(data + 1, data + size);
    const auto count = static_cast<std::uint32_t>(text.size());
    TnList list;
    TnListInit(&list);
    TnFtpListingSkips skips{};
    const int n = TnFtpParseListingSkips(text.data(), count, &list, &skips);
    int counted = 0;
    for (const TnListNode* node = list.first; node != nullptr; node = node->next, ++counted) {
        const auto* name = static_cast<const char*>(node->payload);
        const auto* type = static_cast<const char*>(node->extra2);
        if (name == nullptr || node->extra1 == nullptr || type == nullptr ||
            std::strlen(type) > 1 || std::strlen(name) > TNFTP_MAX_LISTING_LINE) {
            __builtin_trap();
        }
    }
    if (n >= 0 &&
        (n != counted || (count > 0 && static_cast<std::uint32_t>(n) > g_ftpListingEntryLimit))) {
        __builtin_trap();
    }
    if (n >= 0 && skips.overCap > 0 && static_cast<std::uint32_t>(n) != g_ftpListingEntryLimit) {
        __builtin_trap();
    }
    TnListFreeAll(&list);
    TnListInit(&list);
    std::uint32_t dropped = 0;
    if (n >= 0 && TnFtpParseListing(text.data(), count, &list, &dropped) == n &&
        dropped != skips.overlong + skips.unreadable + skips.overCap) {
        __builtin_trap();
    }
    TnListFreeAll(&list);
    g_ftpListingEntryLimit = TNFTP_MAX_LISTING_ENTRIES;
    return 0;
}
