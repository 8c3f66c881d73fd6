// LIST text parser: Unix long-listing lines ("drwxr-xr-x 2 owner group 4096 Aug 25 09:15 name")
// and DOS lines ("08-25-26 09:15AM <DIR> name"), one entry per line.
#include <cstring>

#include "tarnet/tnftp.h"

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

enum class LineResult { Entry, Skipped, Stop, NoMemory };

LineResult ParseLine(const char* line, std::size_t length, TnList* entries) {
    if (length >= 5 && std::memcmp(line, "total", 5) == 0) {
        return LineResult::Skipped;
    }
    const bool dos = line[0] >= '0' && line[0] <= '9';
    Field size{};
    Field name{};
    if (!FindField(line, length, dos ? 2 : 4, &size) ||
        !FindField(line, length, dos ? 3 : 8, &name)) {
        return LineResult::Stop;
    }
    // The size must be followed by a space (it is, a name follows) and be of sane length.
    if (size.length >= kMaxSizeText) {
        return LineResult::Stop;
    }
    char type[2]           = {dos ? ' ' : line[0], '\0'};
    const char* sizeText   = line + size.start;
    std::size_t sizeLength = size.length;
    if (dos && size.length == 5 && std::memcmp(sizeText, "<DIR>", 5) == 0) {
        sizeText   = "0";
        sizeLength = 1;
        type[0]    = 'd';
    }
    // The name runs to the end of the line, spaces included.
    if (!AppendEntry(entries, line + name.start, length - name.start, sizeText, sizeLength, type)) {
        return LineResult::NoMemory;
    }
    return LineResult::Entry;
}

}  // namespace

int TnFtpParseListing(const char* bytes, std::uint32_t count, TnList* entries,
                      std::uint32_t* droppedLines) {
    if (droppedLines != nullptr) {
        *droppedLines = 0;
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
    int found          = 0;
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
        if (overlong && droppedLines != nullptr) {
            ++*droppedLines;
        }
        if (length > 0 && !overlong) {
            const LineResult result = ParseLine(line, length, entries);
            if (result == LineResult::NoMemory) {
                return -1;
            }
            if (result == LineResult::Stop) {
                return found;
            }
            found += result == LineResult::Entry ? 1 : 0;
        }
        length   = 0;
        overlong = false;
    }
    // A last line without its end of line may be cut short: it is not parsed.
    return found;
}
