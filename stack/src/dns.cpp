// DNS stub resolver (RFC 1035): asks one configured server for the A record of a host name
// over UDP and keeps a few answers. It never calls back: a lookup answers from the cache at once
// or starts a query and reports "pending", and the caller asks again later.
#include <cstring>

#include "dns_internal.h"
#include "socket.h"
#include "tarnet/byteorder.h"
#include "tarnet/tndns.h"
#include "tarnet/tnlist.h"

namespace tarnet::dns {

namespace {

constexpr std::uint16_t kQrBit      = 0x8000;
constexpr unsigned kOpcodeShift     = 11;
constexpr std::uint16_t kOpcodeMask = 0x0F;
constexpr std::uint16_t kRcodeMask  = 0x0F;
constexpr std::uint8_t kPointerBits = 0xC0;  // RFC 1035 §4.1.4
constexpr std::size_t kFixedRrLen   = 10;    // TYPE, CLASS, TTL, RDLENGTH
constexpr std::size_t kNameSize     = kMaxNameLen + 1;

// The largest query: header, a 255-character name as labels (one length byte more than the
// name, plus the root label), QTYPE and QCLASS.
static_assert(kHeadroom + kHeaderLen + kMaxNameLen + 2 + 4 <= kBufferSize);

struct CacheEntry {
    char name[kNameSize];
    std::uint32_t address;  // host order
};

struct PendingQuery {
    TnSockEndpoint* endpoint;
    TnTimerHandle timer;
    std::uint16_t id;
    char name[kNameSize];
    int retries;
    TnListNode* link;
    std::uint32_t server;  // where the query last went; answers must come from there
};

struct Resolver {
    bool initialised;
    TnDnsConfig config;
    std::uint16_t idCounter;
    TnList cache;
    std::uint32_t cacheCount;
    TnList pending;
    std::uint32_t pendingCount;
};

Resolver g{};

PendingQuery* QueryOf(TnListNode* node) {
    return static_cast<PendingQuery*>(node->payload);
}
CacheEntry* EntryOf(TnListNode* node) {
    return static_cast<CacheEntry*>(node->payload);
}

std::uintptr_t ContextOf(const PendingQuery* query) {
    return reinterpret_cast<std::uintptr_t>(query);
}

// The pending query a timer or endpoint names, or null when it is no longer pending. User
// values are checked against the list, never dereferenced on trust.
PendingQuery* FindPending(std::uintptr_t context) {
    for (TnListNode* node = g.pending.first; node != nullptr; node = node->next) {
        if (ContextOf(QueryOf(node)) == context) {
            return QueryOf(node);
        }
    }
    return nullptr;
}

// ---- Query lifetime ---------------------------------------------------------------------------

void CloseEndpoint(PendingQuery* query) {
    // After the socket layer's shutdown the slot may already be free, or taken by someone else.
    TnSockEndpoint* endpoint = query->endpoint;
    query->endpoint          = nullptr;
    if (endpoint != nullptr && SockIsEndpoint(endpoint) && endpoint->callback == OnDatagram &&
        endpoint->appContext == ContextOf(query)) {
        TnSockClose(endpoint);
    }
}

void StopTimer(PendingQuery* query) {
    if (query->timer != nullptr) {
        g.config.timerStop(query->timer);
        query->timer = nullptr;
    }
}

// Ends a query whatever its outcome: timer, endpoint and record go.
void Drop(PendingQuery* query) {
    StopTimer(query);
    CloseEndpoint(query);
    TnListRemove(&g.pending, query->link);
    --g.pendingCount;
}

bool SendQuery(PendingQuery* query) {
    std::uint8_t buffer[kBufferSize] = {};
    const std::size_t length =
        EncodeQuery(query->id, query->name, std::span(buffer).subspan(kHeadroom));
    if (length == 0) {
        return false;
    }
    query->server = g.config.server;
    return TnSockUdpSendto(query->endpoint, query->server, kServerPort, buffer + kHeadroom,
                           static_cast<std::uint32_t>(length)) == TNSOCK_SUCCESS;
}

void OnTimer(std::uintptr_t context) {
    if (!g.initialised) {
        return;
    }
    PendingQuery* query = FindPending(context);
    if (query == nullptr) {
        return;
    }
    query->timer = nullptr;  // spent
    ++query->retries;
    if (query->retries >= kTransmissions) {
        Drop(query);
        return;
    }
    query->timer = g.config.timerStart(kRetryMs, context, OnTimer);
    if (query->timer == nullptr) {
        Drop(query);
        return;
    }
    SendQuery(query);
}

// ---- Cache ------------------------------------------------------------------------------------

const CacheEntry* CacheFind(const char* name) {
    for (TnListNode* node = g.cache.first; node != nullptr; node = node->next) {
        if (std::strcmp(EntryOf(node)->name, name) == 0) {
            return EntryOf(node);
        }
    }
    return nullptr;
}

// Appends an answer, evicting the oldest entry when full. A name already cached (two queries
// for it were in flight) keeps its place and takes the newer address.
void CacheStore(const char* name, std::uint32_t address) {
    for (TnListNode* node = g.cache.first; node != nullptr; node = node->next) {
        if (std::strcmp(EntryOf(node)->name, name) == 0) {
            EntryOf(node)->address = address;
            return;
        }
    }
    while (g.cacheCount >= g.config.cacheCapacity && g.cache.first != nullptr) {
        TnListRemove(&g.cache, g.cache.first);
        --g.cacheCount;
    }
    CacheEntry entry{};
    std::strncpy(entry.name, name, kMaxNameLen);
    entry.address = address;
    if (TnListAppendCopy(&g.cache, &entry, sizeof entry) != nullptr) {
        ++g.cacheCount;
    }
}

// ---- Names ------------------------------------------------------------------------------------

std::size_t LabelEnd(const char* name, std::size_t start, std::size_t nameLen) {
    std::size_t end = start;
    while (end < nameLen && name[end] != '.') {
        ++end;
    }
    return end;
}

// The length of a usable host name, or 0. Longer than 255 characters is refused, and so is an
// empty label: its zero length byte would end the name early and leave the rest of it as
// garbage in the query. A single trailing dot (the root of an absolute name) is accepted.
std::size_t HostNameLength(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    std::size_t length = 0;
    while (length <= kMaxNameLen && name[length] != '\0') {
        ++length;
    }
    if (length == 0 || length > kMaxNameLen) {
        return 0;
    }
    for (std::size_t start = 0; start < length;) {
        const std::size_t end = LabelEnd(name, start, length);
        if (end == start) {
            return 0;
        }
        start = end + 1;
    }
    return length;
}

// ---- Response reading -------------------------------------------------------------------------

// Bounds-checked sequential reads over one message: a read that would pass the end fails and
// leaves the position alone.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool Skip(std::size_t n) {
        if (n > bytes_.size() - pos_) {
            return false;
        }
        pos_ += n;
        return true;
    }

    bool U8(std::uint8_t& v) {
        if (pos_ >= bytes_.size()) {
            return false;
        }
        v = bytes_[pos_++];
        return true;
    }

    bool U16(std::uint16_t& v) {
        if (2 > bytes_.size() - pos_) {
            return false;
        }
        v = TnRead16(bytes_.data() + pos_);
        pos_ += 2;
        return true;
    }

    bool U32(std::uint32_t& v) {
        if (4 > bytes_.size() - pos_) {
            return false;
        }
        v = TnRead32(bytes_.data() + pos_);
        pos_ += 4;
        return true;
    }

    // Skips a domain name label by label (RFC 1035 §3.1, §4.1.4): a zero length ends it, and so
    // does a compression pointer, which is not followed. Other label types are not understood.
    bool SkipName() {
        for (;;) {
            std::uint8_t length = 0;
            if (!U8(length)) {
                return false;
            }
            if (length == 0) {
                return true;
            }
            if ((length & kPointerBits) == kPointerBits) {
                return Skip(1);
            }
            if ((length & kPointerBits) != 0 || !Skip(length)) {
                return false;
            }
        }
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

}  // namespace

std::size_t EncodeQuery(std::uint16_t id, const char* name, std::span<std::uint8_t> out) {
    const std::size_t nameLen = HostNameLength(name);
    if (nameLen == 0 || out.size() < kHeaderLen + nameLen + 2 + 4) {
        return 0;
    }
    std::uint8_t* p = out.data();
    std::memset(p, 0, kHeaderLen);
    TnWrite16(p + 0, id);
    TnWrite16(p + 2, kFlagsQuery);
    TnWrite16(p + 4, 1);  // QDCOUNT
    p += kHeaderLen;

    // Each piece between dots becomes a length byte and its characters.
    std::size_t start = 0;
    while (start < nameLen) {
        const std::size_t end   = LabelEnd(name, start, nameLen);
        const std::size_t label = end - start;
        *p++                    = static_cast<std::uint8_t>(label);
        std::memcpy(p, name + start, label);
        p += label;
        start = end + 1;
    }
    *p++ = 0;
    TnWrite16(p, kTypeA);
    TnWrite16(p + 2, kClassIn);
    p += 4;
    return static_cast<std::size_t>(p - out.data());
}

bool ReadResponse(std::span<const std::uint8_t> message, std::uint16_t id, std::uint32_t& address) {
    Reader r(message);
    std::uint16_t rid = 0, flags = 0, qdcount = 0, ancount = 0;
    if (!r.U16(rid) || rid != id) {
        return false;
    }
    if (!r.U16(flags) || (flags & kQrBit) == 0 || ((flags >> kOpcodeShift) & kOpcodeMask) != 0 ||
        (flags & kRcodeMask) != 0) {
        return false;
    }
    if (!r.U16(qdcount) || qdcount != 1) {
        return false;
    }
    if (!r.U16(ancount) || ancount == 0) {
        return false;
    }
    // NSCOUNT, ARCOUNT; then the question: name, QTYPE, QCLASS.
    if (!r.Skip(4) || !r.SkipName() || !r.Skip(4)) {
        return false;
    }
    // The first A record wins, after any number of other records (a CNAME chain, say).
    for (std::uint16_t i = 0; i < ancount; ++i) {
        std::uint16_t type = 0, rdlength = 0;
        if (!r.SkipName() || !r.U16(type) || !r.Skip(kFixedRrLen - 4) || !r.U16(rdlength)) {
            return false;
        }
        if (type == kTypeA) {
            return rdlength == 4 && r.U32(address);
        }
        if (!r.Skip(rdlength)) {
            return false;
        }
    }
    return false;
}

std::uintptr_t OnDatagram(std::uintptr_t context, int event, void* data, std::uint32_t length,
                          std::uint32_t srcPort, std::uint32_t srcAddress) {
    if (!g.initialised || event != TNSOCK_EVENT_DATA || data == nullptr || length == 0) {
        return 0;
    }
    PendingQuery* query = FindPending(context);
    if (query == nullptr) {
        return 0;
    }
    // Only the server asked may answer (RFC 5452 §9.1).
    if (srcAddress != query->server || srcPort != kServerPort) {
        return 0;
    }
    std::uint32_t address = 0;
    if (!ReadResponse(std::span(static_cast<const std::uint8_t*>(data), length), query->id,
                      address)) {
        return 0;  // the query stays pending; its retransmissions go on
    }
    CacheStore(query->name, address);
    Drop(query);
    return 0;
}

std::uint32_t CacheCount() {
    return g.cacheCount;
}
std::uint32_t PendingCount() {
    return g.pendingCount;
}

std::uint16_t NewestPendingId() {
    return g.pending.last != nullptr ? QueryOf(g.pending.last)->id : std::uint16_t{0};
}

std::uintptr_t NewestPendingContext() {
    return g.pending.last != nullptr ? ContextOf(QueryOf(g.pending.last)) : 0;
}

}  // namespace tarnet::dns

using namespace tarnet::dns;

int TnDnsInit(const TnDnsConfig* config) {
    // A resolver with no room for a query could never fill its cache; one without timers could
    // never retransmit nor abandon a query.
    if (config == nullptr || config->cacheCapacity == 0 || config->pendingLimit == 0 ||
        config->timerStart == nullptr || config->timerStop == nullptr) {
        return TNDNS_BAD_PARAMETER;
    }
    if (g.initialised) {
        return TNDNS_ALREADY_INITIALIZED;
    }
    g        = Resolver{};
    g.config = *config;
    TnListInit(&g.cache);
    TnListInit(&g.pending);
    g.initialised = true;
    return TNDNS_RESOLVED;
}

void TnDnsSetServer(const std::uint32_t* address) {
    if (g.initialised && address != nullptr) {
        g.config.server = *address;
    }
}

void TnDnsDeinit() {
    if (!g.initialised) {
        return;
    }
    for (TnListNode* node = g.pending.first; node != nullptr; node = node->next) {
        StopTimer(QueryOf(node));
        CloseEndpoint(QueryOf(node));
    }
    TnListFreeAll(&g.pending);
    TnListFreeAll(&g.cache);
    g.pendingCount = 0;
    g.cacheCount   = 0;
    g.initialised  = false;
}

int TnDnsResolve(const char* name, std::uint32_t* address) {
    if (!g.initialised) {
        return TNDNS_NOT_INITIALIZED;
    }
    if (name == nullptr || address == nullptr) {
        return TNDNS_BAD_PARAMETER;
    }
    if (const CacheEntry* entry = CacheFind(name); entry != nullptr) {
        *address = entry->address;
        return TNDNS_RESOLVED;
    }
    if (HostNameLength(name) == 0) {
        return TNDNS_BAD_PARAMETER;  // empty, an empty label, or 256 characters or more
    }
    if (g.config.server == 0) {
        return TNDNS_FAILED;  // no server to ask
    }

    // Make room by abandoning the oldest query.
    while (g.pendingCount >= g.config.pendingLimit && g.pending.first != nullptr) {
        Drop(QueryOf(g.pending.first));
    }

    PendingQuery record{};
    record.id = ++g.idCounter;
    std::strncpy(record.name, name, kMaxNameLen);
    TnListNode* node = TnListAppendCopy(&g.pending, &record, sizeof record);
    if (node == nullptr) {
        return TNDNS_NO_MEMORY;
    }
    ++g.pendingCount;
    PendingQuery* query = QueryOf(node);
    query->link         = node;

    if (TnSockUdpOpen(ContextOf(query), OnDatagram, 0, &query->endpoint) != TNSOCK_SUCCESS) {
        query->endpoint = nullptr;
        Drop(query);
        return TNDNS_FAILED;
    }
    query->timer = g.config.timerStart(kRetryMs, ContextOf(query), OnTimer);
    if (query->timer == nullptr || !SendQuery(query)) {
        Drop(query);
        return TNDNS_FAILED;
    }
    return TNDNS_PENDING;
}
