// LIST text parser: Unix long-listing lines ("drwxr-xr-x 2 owner group 4096 Aug 25 09:15 name")
// and DOS lines ("08-25-26 09:15AM <DIR> name"), one entry per line.
#include <cstring>

#include "ftp_internal.h"

std::uint32_t g_ftpListingEntryLimit = TNFTP_MAX_LISTING_ENTRIES;

namespace {

constexpr std::size_t kMaxSizeText = 80;

struct Field {
    std::size_t start;
    std::size_t length;
};

// Finds field `wanted` (0-based) of a line: runs of non-space characters.
bool FindField(const char* line, std::size_t length, int wanted, Field* out) {
    std::size_t i = 0;
    for (int index = 0;; ++index) {
        while (i < length && line[i] == ' ') {
            ++i;
        }
        if (i == length) {
            return false;
        }
        const std::size_t start = i;
        while (i < length && line[i] != ' ') {
            ++i;
        }
        if (index == wanted) {
            *out = Field{start, i - start};
            return true;
        }
    }
}

bool AppendEntry(TnList* entries, const char* name, std::size_t nameLength, const char* size,
                 std::size_t sizeLength, const char* type) {
    TnListNode* node = TnListAppendCopy(entries, name, static_cast<int>(nameLength));
    if (node == nullptr) {
        return false;
    }
    TnListSetExtra1(node, size, static_cast<int>(sizeLength));
    TnListSetExtra2(node, type, 1);
    if (node->extra1 == nullptr || node->extra2 == nullptr) {
        TnListRemove(entries, node);
        return false;
    }
    return true;
}

enum class LineResult { Entry, Skipped, Unreadable };

// The fields of a readable line; name and size point into the line.
struct Line {
    const char* name;
    std::size_t nameLength;
    const char* size;
    std::size_t sizeLength;
    char type[2];
};

LineResult ReadLine(const char* line, std::size_t length, Line* out) {
    if (length >= 5 && std::memcmp(line, "total", 5) == 0) {
        return LineResult::Skipped;
    }
    const bool dos = line[0] >= '0' && line[0] <= '9';
    Field size{};
    Field name{};
    if (!FindField(line, length, dos ? 2 : 4, &size) ||
        !FindField(line, length, dos ? 3 : 8, &name)) {
        return LineResult::Unreadable;
    }
    // The size must be followed by a space (it is, a name follows) and be of sane length.
    if (size.length >= kMaxSizeText) {
        return LineResult::Unreadable;
    }
    // The name runs to the end of the line, spaces included.
    *out = Line{
        line + name.start,
        length - name.start,
        line + size.start,
        size.length,
        {dos ? ' ' : line[0], '\0'}
    };
    if (dos && size.length == 5 && std::memcmp(out->size, "<DIR>", 5) == 0) {
        out->size       = "0";
        out->sizeLength = 1;
        out->type[0]    = 'd';
    }
    return LineResult::Entry;
}

// The parse of one listing: the line being gathered and what has been found and left out.
struct Parse {
    TnList* entries;
    TnFtpListingSkips skips;
    int found;
};

// Takes one complete line. False when a node could not be allocated.
bool TakeLine(Parse& p, const char* text, std::size_t length) {
    Line line{};
    const LineResult result = ReadLine(text, length, &line);
    if (result == LineResult::Unreadable) {
        // One line in a layout we do not read hides nothing after it.
        ++p.skips.unreadable;
        return true;
    }
    if (result != LineResult::Entry) {
        return true;
    }
    if (static_cast<std::uint32_t>(p.found) >= g_ftpListingEntryLimit) {
        ++p.skips.overCap;
        return true;
    }
    if (!AppendEntry(p.entries, line.name, line.nameLength, line.size, line.sizeLength,
                     line.type)) {
        return false;
    }
    ++p.found;
    return true;
}

}  // namespace

int TnFtpParseListing(const char* bytes, std::uint32_t count, TnList* entries,
                      std::uint32_t* droppedLines) {
    TnFtpListingSkips skips{};
    const int found = TnFtpParseListingSkips(bytes, count, entries, &skips);
    if (droppedLines != nullptr) {
        *droppedLines = skips.overlong + skips.unreadable + skips.overCap;
    }
    return found;
}

int TnFtpParseListingSkips(const char* bytes, std::uint32_t count, TnList* entries,
                           TnFtpListingSkips* skips) {
    Parse p{entries, {}, 0};
    if (skips != nullptr) {
        *skips = p.skips;
    }
    if (entries == nullptr || (bytes == nullptr && count > 0)) {
        return 0;
    }
    if (count == 0) {
        return AppendEntry(entries, "..", 2, "0", 1, "d") ? 1 : -1;
    }
    char line[TNFTP_MAX_LISTING_LINE];
    std::size_t length = 0;
    bool overlong      = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') {
            // A line that does not fit is dropped whole: a cut name would name another file.
            if (length < sizeof line) {
                line[length++] = c;
            } else {
                overlong = true;
            }
            continue;
        }
        if (overlong) {
            ++p.skips.overlong;
        } else if (length > 0 && !TakeLine(p, line, length)) {
            return -1;
        }
        length   = 0;
        overlong = false;
    }
    // A last line without its end of line may be cut short: it is not parsed.
    if (skips != nullptr) {
        *skips = p.skips;
    }
    return p.found;
}
