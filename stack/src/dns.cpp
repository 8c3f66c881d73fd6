// DNS stub resolver (RFC 1035): asks one configured server for the A record of a host name
// over UDP and keeps a few answers. It never calls back: a lookup answers from the cache at once
// or starts a query and reports "pending", and the caller asks again later.
#include <cstring>

#include "byte_view.h"
#include "counters.h"
#include "diag.h"
#include "dns_internal.h"
#include "socket.h"
#include "tarnet/byteorder.h"
#include "tarnet/tndns.h"
#include "tarnet/tnlist.h"

namespace tarnet::dns {

namespace {

constexpr std::uint16_t kQrBit      = 0x8000;
constexpr std::uint16_t kTcBit      = 0x0200;
constexpr unsigned kOpcodeShift     = 11;
constexpr std::uint16_t kOpcodeMask = 0x0F;
constexpr std::uint16_t kRcodeMask  = 0x0F;
constexpr std::uint8_t kPointerBits = 0xC0;  // RFC 1035 §4.1.4
constexpr std::size_t kNameSize     = kMaxNameLen + 1;

// Response codes (RFC 1035 §4.1.1) with an outcome of their own; any other is kept as it came.
enum class Rcode : std::uint8_t { kNoError = 0, kServerFailure = 2, kNameError = 3, kRefused = 5 };

// The largest query: header, a 255-octet name, QTYPE and QCLASS.
static_assert(kHeadroom + kHeaderLen + kMaxWireName + 4 <= kBufferSize);

struct CacheEntry {
    char name[kNameSize];
    std::uint32_t address;  // host order
};

struct PendingQuery {
    TnSockEndpoint* endpoint;
    TnTimerHandle timer;
    std::uint16_t id;  // random (RFC 5452 §9.2), like the endpoint's port
    char name[kNameSize];
    int retries;
    TnListNode* link;
    std::uint32_t server;  // where the query last went; answers must come from there
};

// How a recent lookup ended, for callers that poll TnDnsResolve and must stop when it failed.
struct EndedLookup {
    char name[kNameSize];
    Outcome outcome;
    std::uint32_t serial;  // grows with every ended lookup; 0 marks an empty slot
};
constexpr std::size_t kEndedLookups = TARNET_DNS_OUTCOMES;

struct Resolver {
    bool initialised;
    EndedLookup ended[kEndedLookups];
    std::uint32_t endedSerial;
    TnDnsConfig config;
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

PendingQuery* FindPendingName(const char* name) {
    for (TnListNode* node = g.pending.first; node != nullptr; node = node->next) {
        if (std::strcmp(QueryOf(node)->name, name) == 0) {
            return QueryOf(node);
        }
    }
    return nullptr;
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

// Appends an answer, evicting the oldest entry when full. A name is never cached and pending at
// once (a lookup answers from the cache before it looks at the pending list), so an answer is
// always a new entry.
void CacheStore(const char (&name)[kNameSize], std::uint32_t address) {
    while (g.cacheCount >= g.config.cacheCapacity && g.cache.first != nullptr) {
        TnListRemove(&g.cache, g.cache.first);
        --g.cacheCount;
    }
    CacheEntry entry{};
    std::memcpy(entry.name, name, sizeof entry.name);
    entry.address = address;
    if (TnListAppendCopy(&g.cache, &entry, sizeof entry) != nullptr) {
        ++g.cacheCount;
    }
}

// ---- Query lifetime ---------------------------------------------------------------------------

void CloseEndpoint(PendingQuery* query) {
    // After the socket layer's shutdown the slot may already be free, or taken by someone else.
    TnSockEndpoint* endpoint = query->endpoint;
    query->endpoint          = nullptr;
    if (endpoint != nullptr && SockIsUdpEndpointOf(endpoint, OnDatagram, ContextOf(query))) {
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

// Keeps the outcome in the small ring of ended lookups, overwriting the oldest.
void RememberEnded(const char (&name)[kNameSize], Outcome outcome) {
    if (++g.endedSerial == 0) {
        g.endedSerial = 1;  // 0 stays the mark of an empty slot
    }
    EndedLookup& slot = g.ended[g.endedSerial % kEndedLookups];
    std::memcpy(slot.name, name, sizeof slot.name);
    slot.outcome = outcome;
    slot.serial  = g.endedSerial;
}

// Ends a lookup with its outcome: an answer goes to the cache, the query goes, and the outcome
// goes to the diagnostic hook, so a caller that asks again learns when to stop.
void Finish(PendingQuery* query, Outcome outcome, std::uint32_t address) {
    if (outcome == Outcome::kAnswer) {
        CacheStore(query->name, address);
    }
    RememberEnded(query->name, outcome);
    char name[kNameSize];
    std::memcpy(name, query->name, sizeof name);
    Drop(query);
    TnSockDiagnostic d = DiagRecord(TNSOCK_DIAG_DNS_RESULT);
    d.name             = name;
    d.dnsOutcome       = OutcomeCode(outcome);
    d.address          = outcome == Outcome::kAnswer ? address : 0;
    DiagEmit(d);
}

bool SendQuery(PendingQuery* query) {
    std::uint8_t buffer[kBufferSize] = {};
    const std::size_t length =
        EncodeQuery(query->id, query->name, std::span(buffer).subspan(kHeadroom));
    if (length == 0) {
        return false;
    }
    query->server = g.config.server;
    ++g_counters.dnsQueries;
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
        Finish(query, Outcome::kNoResponse, 0);
        return;
    }
    query->timer = g.config.timerStart(kRetryMs, context, OnTimer);
    if (query->timer == nullptr) {
        Finish(query, Outcome::kNoResponse, 0);
        return;
    }
    SendQuery(query);
}

// ---- Names ------------------------------------------------------------------------------------

// A domain name in wire form, uncompressed: length-prefixed labels and the root's zero.
struct WireName {
    std::uint8_t bytes[kMaxWireName];
    std::size_t length;
};

// Converts a dotted host name to wire form. False for a name that is not usable: empty, an
// empty label (its zero length byte would end the name early), a label over 63 bytes (its length
// byte would carry the compression-pointer bits), or over 255 octets on the wire. A single
// trailing dot (the root of an absolute name) is accepted.
bool ToWire(const char* name, WireName& out) {
    out.length = 0;
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    std::size_t at = 0;
    while (name[at] != '\0') {
        std::size_t label = 0;
        while (name[at + label] != '\0' && name[at + label] != '.') {
            if (++label > kMaxLabelLen) {
                return false;
            }
        }
        // This label, its length byte and the root label must fit.
        if (label == 0 || out.length + 1 + label + 1 > kMaxWireName) {
            return false;
        }
        out.bytes[out.length++] = static_cast<std::uint8_t>(label);
        std::memcpy(out.bytes + out.length, name + at, label);
        out.length += label;
        at += label;
        if (name[at] == '.') {
            ++at;
        }
    }
    out.bytes[out.length++] = 0;
    return true;
}

// Names compare without regard to ASCII case (RFC 1035 2.3.3). Length bytes are at most 63 and
// so never fold.
bool SameName(const WireName& a, const WireName& b) {
    if (a.length != b.length) {
        return false;
    }
    for (std::size_t i = 0; i < a.length; ++i) {
        const auto fold = [](std::uint8_t c) {
            return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + ('a' - 'A')) : c;
        };
        if (fold(a.bytes[i]) != fold(b.bytes[i])) {
            return false;
        }
    }
    return true;
}

// ---- Response reading -------------------------------------------------------------------------

// Bounds-checked sequential reads over one message: a read that would pass the end fails and
// leaves the position alone.
class Reader {
  public:
    explicit Reader(ByteView bytes) : bytes_(bytes) {}

    std::size_t Pos() const { return pos_; }

    bool Skip(std::size_t n) {
        if (n > bytes_.Length() - pos_) {
            return false;
        }
        pos_ += n;
        return true;
    }

    bool U16(std::uint16_t& v) {
        if (2 > bytes_.Length() - pos_) {
            return false;
        }
        v = bytes_.Read16(pos_);
        pos_ += 2;
        return true;
    }

    // Reads a domain name (RFC 1035 §3.1, §4.1.4) into `out`, following compression pointers,
    // and moves past it as it lies here (up to its first pointer). A pointer must lead back
    // towards the start of the message; the 255-octet limit and a bound on the jumps end any
    // loop. Other label types are not understood.
    bool Name(WireName& out) {
        constexpr int kMaxJumps = 128;
        out.length              = 0;
        std::size_t at          = pos_;
        std::size_t after       = 0;  // where this name ends in place, once a pointer is taken
        int jumps               = 0;
        for (;;) {
            if (at >= bytes_.Length()) {
                return false;
            }
            const std::uint8_t length = bytes_.Read8(at);
            if ((length & kPointerBits) == kPointerBits) {
                if (at + 1 >= bytes_.Length() || ++jumps > kMaxJumps) {
                    return false;
                }
                const std::size_t target =
                    (std::size_t{length & 0x3FU} << 8) | bytes_.Read8(at + 1);
                if (target >= at) {
                    return false;
                }
                if (after == 0) {
                    after = at + 2;
                }
                at = target;
                continue;
            }
            if ((length & kPointerBits) != 0 || length >= bytes_.Length() - at ||
                out.length + 1 + length > kMaxWireName) {
                return false;
            }
            std::memcpy(out.bytes + out.length, bytes_.Bytes(at, 1U + length), 1U + length);
            out.length += 1U + length;
            at += 1U + length;
            if (length == 0) {
                pos_ = after != 0 ? after : at;
                return true;
            }
        }
    }

  private:
    ByteView bytes_;
    std::size_t pos_ = 0;
};

// One resource record of the answer section, its data not yet read.
struct Record {
    WireName owner;
    RecordType type;
    std::uint16_t klass;
    std::uint16_t rdlength;
    std::size_t rdata;  // offset in the message
};

bool NextRecord(Reader& r, Record& rec) {
    rec.rdata          = 0;
    std::uint16_t type = 0;
    if (!r.Name(rec.owner) || !r.U16(type) || !r.U16(rec.klass) || !r.Skip(4) ||
        !r.U16(rec.rdlength)) {
        return false;
    }
    rec.type  = static_cast<RecordType>(type);
    rec.rdata = r.Pos();
    return r.Skip(rec.rdlength);
}

// The alias a CNAME record names: its data must be exactly one name.
bool CnameTarget(ByteView message, const Record& rec, WireName& target) {
    Reader r(message);
    return r.Skip(rec.rdata) && r.Name(target) && r.Pos() == rec.rdata + rec.rdlength;
}

// Checks every record of the answer section: each must lie inside the message, an A record of
// class IN must hold 4 bytes and a CNAME exactly one name. A section that fails is not read.
// `addresses` tells whether it holds any A record.
bool AnswersWellFormed(ByteView message, std::size_t start, std::uint16_t ancount,
                       bool& addresses) {
    addresses = false;
    Reader r(message);
    if (!r.Skip(start)) {
        return false;
    }
    for (std::uint16_t i = 0; i < ancount; ++i) {
        Record rec{};
        WireName target{};
        if (!NextRecord(r, rec) ||
            (rec.klass == kClassIn && rec.type == RecordType::kA && rec.rdlength != 4) ||
            (rec.klass == kClassIn && rec.type == RecordType::kCname &&
             !CnameTarget(message, rec, target))) {
            return false;
        }
        addresses = addresses || (rec.klass == kClassIn && rec.type == RecordType::kA);
    }
    return true;
}

// Follows the CNAME chain from the name asked and takes the first A record owned by the name
// it reaches (RFC 1034 §5.3.3, RFC 2181 §5.4.1). A name with a CNAME has no other data
// (RFC 1034 §3.6.2), so an A record beside one is not believed; nor is any record for a name off
// the chain, whatever the section: only the server's answer about the chain itself is.
Outcome FollowAnswers(ByteView message, std::size_t start, std::uint16_t ancount,
                      const WireName& asked, std::uint32_t& address) {
    WireName current = asked;
    for (int hop = 0; hop <= kMaxCnameHops; ++hop) {
        Reader r(message);
        r.Skip(start);
        bool aliased = false, found = false;
        std::uint32_t first = 0;
        WireName next{};
        for (std::uint16_t i = 0; i < ancount; ++i) {
            Record rec{};
            NextRecord(r, rec);  // checked by AnswersWellFormed
            if (rec.klass != kClassIn || !SameName(rec.owner, current)) {
                continue;
            }
            if (rec.type == RecordType::kA && !found) {
                first = message.Read32(rec.rdata);
                found = true;
            } else if (rec.type == RecordType::kCname && !aliased) {
                aliased = CnameTarget(message, rec, next);
            }
        }
        if (!aliased) {
            address = first;
            return found ? Outcome::kAnswer : Outcome::kNoAddress;
        }
        current = next;
    }
    return Outcome::kNoAddress;  // the chain loops
}

Outcome RcodeOutcome(Rcode rcode) {
    switch (rcode) {
        case Rcode::kServerFailure:
            return Outcome::kServfail;
        case Rcode::kNameError:
            return Outcome::kNxdomain;
        case Rcode::kRefused:
            return Outcome::kRefused;
        default:
            return Outcome::kOtherError;
    }
}

}  // namespace

std::size_t EncodeQuery(std::uint16_t id, const char* name, std::span<std::uint8_t> out) {
    WireName wire{};
    if (!ToWire(name, wire) || out.size() < kHeaderLen + wire.length + 4) {
        return 0;
    }
    std::uint8_t* p = out.data();
    std::memset(p, 0, kHeaderLen);
    TnWrite16(p + 0, id);
    TnWrite16(p + 2, kFlagsQuery);
    TnWrite16(p + 4, 1);  // QDCOUNT
    p += kHeaderLen;
    std::memcpy(p, wire.bytes, wire.length);
    p += wire.length;
    TnWrite16(p, static_cast<std::uint16_t>(RecordType::kA));
    TnWrite16(p + 2, kClassIn);
    p += 4;
    return static_cast<std::size_t>(p - out.data());
}

Outcome ReadResponse(std::span<const std::uint8_t> bytes, std::uint16_t id, const char* name,
                     std::uint32_t& address) {
    WireName asked{};
    if (!ToWire(name, asked)) {
        return Outcome::kNotTheAnswer;
    }
    const ByteView message(bytes.data(), bytes.size());
    Reader r(message);
    std::uint16_t rid = 0, flags = 0, qdcount = 0, ancount = 0;
    if (!r.U16(rid) || rid != id || !r.U16(flags) || (flags & kQrBit) == 0 ||
        ((flags >> kOpcodeShift) & kOpcodeMask) != 0) {
        return Outcome::kNotTheAnswer;
    }
    // The question must be the one asked, echoed (RFC 5452 §9.1): an id and a port guessed
    // blind are not enough to answer for a name.
    WireName question{};
    std::uint16_t qtype = 0, qclass = 0;
    if (!r.U16(qdcount) || qdcount != 1 || !r.U16(ancount) || !r.Skip(4) || !r.Name(question) ||
        !r.U16(qtype) || !r.U16(qclass) || !SameName(question, asked) ||
        qtype != static_cast<std::uint16_t>(RecordType::kA) || qclass != kClassIn) {
        return Outcome::kNotTheAnswer;
    }
    if ((flags & kRcodeMask) != 0) {
        return RcodeOutcome(static_cast<Rcode>(flags & kRcodeMask));
    }
    if ((flags & kTcBit) != 0) {
        return Outcome::kTruncated;  // what came may be a part; a TCP retry is not made
    }
    bool addresses = false;
    if (!AnswersWellFormed(message, r.Pos(), ancount, addresses)) {
        return Outcome::kNotTheAnswer;
    }
    const Outcome outcome = FollowAnswers(message, r.Pos(), ancount, asked, address);
    // Addresses, but none for the name asked: a sender that answers another question (or
    // forges), not a server saying the name has none. Wait for the real answer.
    return outcome == Outcome::kNoAddress && addresses ? Outcome::kNotTheAnswer : outcome;
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
    const Outcome outcome = ReadResponse(std::span(static_cast<const std::uint8_t*>(data), length),
                                         query->id, query->name, address);
    if (outcome == Outcome::kNotTheAnswer) {
        return 0;  // not the answer: the query stays pending for it, retransmissions go on
    }
    ++g_counters.dnsAnswers;
    Finish(query, outcome, address);
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

const char* NewestPendingName() {
    return g.pending.last != nullptr ? QueryOf(g.pending.last)->name : "";
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

int TnDnsLastOutcome(const char* name, std::uint32_t* serial) {
    if (serial != nullptr) {
        *serial = 0;
    }
    if (!g.initialised || name == nullptr) {
        return 0;
    }
    const EndedLookup* latest = nullptr;
    for (const EndedLookup& slot : g.ended) {
        if (slot.serial != 0 && std::strcmp(slot.name, name) == 0 &&
            (latest == nullptr || slot.serial - latest->serial < 0x80000000U)) {
            latest = &slot;
        }
    }
    if (latest == nullptr) {
        return 0;
    }
    if (serial != nullptr) {
        *serial = latest->serial;
    }
    return OutcomeCode(latest->outcome);
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
    if (WireName wire{}; !ToWire(name, wire)) {
        return TNDNS_BAD_PARAMETER;  // empty, an empty or too long label, too long
    }
    if (FindPendingName(name) != nullptr) {
        return TNDNS_PENDING;  // asked again: the query in flight answers both
    }
    if (g.config.server == 0) {
        return TNDNS_FAILED;  // no server to ask
    }

    // Make room by abandoning the oldest query; its lookup ends without an answer.
    while (g.pendingCount >= g.config.pendingLimit && g.pending.first != nullptr) {
        Finish(QueryOf(g.pending.first), Outcome::kNoResponse, 0);
    }

    PendingQuery record{};
    record.id = static_cast<std::uint16_t>(tarnet::SockRandom32());
    std::memcpy(record.name, name, std::strlen(name));  // checked above: it fits
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
