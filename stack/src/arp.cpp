// ARP cache and protocol (RFC 826), Ethernet and IPv4 only.
#include "arp.h"

#include <cstring>
#include <optional>

#include "byte_view.h"
#include "counters.h"
#include "ethernet.h"
#include "tarnet/byteorder.h"

namespace tarnet {

namespace {

// Offsets in the 28-byte ARP packet (RFC 826), which follows the Ethernet header.
namespace field {
constexpr std::uint32_t kHwType    = 0;
constexpr std::uint32_t kProtoType = 2;
constexpr std::uint32_t kHwLen     = 4;
constexpr std::uint32_t kProtoLen  = 5;
constexpr std::uint32_t kOperation = 6;
constexpr std::uint32_t kSenderMac = 8;
constexpr std::uint32_t kSenderIp  = 14;
constexpr std::uint32_t kTargetMac = 18;
constexpr std::uint32_t kTargetIp  = 24;
}  // namespace field

constexpr std::uint32_t kArpLen = 28;

constexpr std::uint16_t kOpRequest  = 1;
constexpr std::uint16_t kOpReply    = 2;
constexpr std::uint16_t kHwEthernet = 1;

// The fields of one received ARP packet, read once its length was checked and its formats were
// found to be Ethernet and IPv4 (RFC 826: other hardware or protocol types are not ours).
// `packet` starts at the ARP header.
struct ArpHeader {
    std::uint16_t operation;
    std::uint8_t senderMac[6];
    std::uint32_t senderIp;
    std::uint32_t targetIp;

    static std::optional<ArpHeader> Check(ByteView packet) {
        if (packet.Length() < kArpLen) {
            ++g_counters.dropMalformed;
            return std::nullopt;
        }
        if (packet.Read16(field::kHwType) != kHwEthernet ||
            packet.Read16(field::kProtoType) != kEtherTypeIpv4 ||
            packet.Read8(field::kHwLen) != 6 || packet.Read8(field::kProtoLen) != 4) {
            ++g_counters.dropUnknownProtocol;
            return std::nullopt;
        }
        ArpHeader p{};
        p.operation = packet.Read16(field::kOperation);
        std::memcpy(p.senderMac, packet.Bytes(field::kSenderMac, 6), 6);
        p.senderIp = packet.Read32(field::kSenderIp);
        p.targetIp = packet.Read32(field::kTargetIp);
        return p;
    }
};

// An entry is linked into its bucket list and into either the age list or the free list.
struct Entry {
    int bucket;
    std::uint8_t mac[6];
    std::uint32_t ip;
    Entry* bucketNext;
    Entry* bucketPrev;
    Entry* ageNext;
    Entry* agePrev;
};

struct Chain {
    Entry* head;
    Entry* tail;
};

// Addresses we have sent requests for and not yet learned. A reply from one of them is taken
// even when its target is no longer our address (our address may have changed while the
// request was out), as a reply to our own question.
constexpr int kOutstanding = 4;

struct ArpState {
    bool initialised;
    std::uint32_t outstanding[kOutstanding];
    int nextOutstanding;
    std::uint32_t ownAddress;
    std::uint32_t watched;  // an address under probe, 0 when none
    ArpConflictFn onConflict;
    std::uint8_t ownMac[6];
    TnSendFrameFn sendFrame;
    TnLogTextFn logText;
    ArpLearnedFn learned;
    Entry entries[kArpEntries];
    Chain buckets[kArpBuckets];
    Chain age;    // head = oldest
    Entry* free;  // singly linked through ageNext
};

ArpState g_arp;

void AgeAppend(Entry* e) {
    e->ageNext = nullptr;
    e->agePrev = g_arp.age.tail;
    if (g_arp.age.tail != nullptr) {
        g_arp.age.tail->ageNext = e;
    } else {
        g_arp.age.head = e;
    }
    g_arp.age.tail = e;
}

void AgeUnlink(Entry* e) {
    (e->agePrev != nullptr ? e->agePrev->ageNext : g_arp.age.head) = e->ageNext;
    (e->ageNext != nullptr ? e->ageNext->agePrev : g_arp.age.tail) = e->agePrev;
}

void BucketAppend(Entry* e) {
    Chain& chain  = g_arp.buckets[e->bucket];
    e->bucketNext = nullptr;
    e->bucketPrev = chain.tail;
    if (chain.tail != nullptr) {
        chain.tail->bucketNext = e;
    } else {
        chain.head = e;
    }
    chain.tail = e;
}

void BucketUnlink(Entry* e) {
    Chain& chain                                                        = g_arp.buckets[e->bucket];
    (e->bucketPrev != nullptr ? e->bucketPrev->bucketNext : chain.head) = e->bucketNext;
    (e->bucketNext != nullptr ? e->bucketNext->bucketPrev : chain.tail) = e->bucketPrev;
}

Entry* Lookup(std::uint32_t address) {
    for (Entry* e = g_arp.buckets[ArpHash(address)].head; e != nullptr; e = e->bucketNext) {
        if (e->ip == address) {
            return e;
        }
    }
    return nullptr;
}

// Takes a free entry, or recycles the oldest one: replacement is first-in first-out and
// lookups do not refresh an entry's age.
void Insert(std::uint32_t address, const std::uint8_t* mac) {
    Entry* e = g_arp.free;
    if (e != nullptr) {
        g_arp.free = e->ageNext;
    } else {
        e = g_arp.age.head;
        AgeUnlink(e);
        BucketUnlink(e);
    }
    e->ip     = address;
    e->bucket = static_cast<int>(ArpHash(address));
    std::memcpy(e->mac, mac, 6);
    BucketAppend(e);
    AgeAppend(e);
}

void Transmit(std::uint8_t* frame) {
    ++g_counters.arpOut;
    ++g_counters.framesOut;
    g_arp.sendFrame(frame, kArpPacketLen);
}

bool IsOutstanding(std::uint32_t address) {
    for (std::uint32_t& pending : g_arp.outstanding) {
        if (pending == address) {
            return true;
        }
    }
    return false;
}

void ForgetOutstanding(std::uint32_t address) {
    for (std::uint32_t& pending : g_arp.outstanding) {
        if (pending == address) {
            pending = 0;
        }
    }
}

void RememberOutstanding(std::uint32_t address) {
    if (!IsOutstanding(address)) {
        g_arp.outstanding[g_arp.nextOutstanding] = address;
        g_arp.nextOutstanding                    = (g_arp.nextOutstanding + 1) % kOutstanding;
    }
}

// Builds and sends one ARP packet from our MAC, in a frame to `destination`.
void Send(const std::uint8_t* destination, std::uint16_t operation, std::uint32_t senderIp,
          const std::uint8_t* targetMac, std::uint32_t targetIp) {
    std::uint8_t frame[kArpPacketLen] = {};
    EthernetWriteHeader(frame, destination, g_arp.ownMac, kEtherTypeArp);
    std::uint8_t* packet = frame + kEthHeaderLen;
    TnWrite16(packet + field::kHwType, kHwEthernet);
    TnWrite16(packet + field::kProtoType, kEtherTypeIpv4);
    packet[field::kHwLen]    = 6;
    packet[field::kProtoLen] = 4;
    TnWrite16(packet + field::kOperation, operation);
    std::memcpy(packet + field::kSenderMac, g_arp.ownMac, 6);
    TnWrite32(packet + field::kSenderIp, senderIp);
    std::memcpy(packet + field::kTargetMac, targetMac, 6);
    TnWrite32(packet + field::kTargetIp, targetIp);
    Transmit(frame);
}

void SendRequestFrom(std::uint32_t senderIp, std::uint32_t address) {
    constexpr std::uint8_t kUnknownMac[6] = {};
    Send(kBroadcastMac, kOpRequest, senderIp, kUnknownMac, address);
}

void SendRequest(std::uint32_t address) {
    RememberOutstanding(address);
    SendRequestFrom(g_arp.ownAddress, address);
}

// RFC 5227 §2.1.1: the address is in use when another station sends from it, and contested
// when another station probes for it at the same time. Our own frames, looped back by some
// links, are neither.
void CheckConflict(const ArpHeader& p) {
    const std::uint32_t watched = g_arp.watched;
    if (watched == 0 || std::memcmp(p.senderMac, g_arp.ownMac, 6) == 0) {
        return;
    }
    const bool inUse     = p.senderIp == watched;
    const bool contested = p.senderIp == 0 && p.targetIp == watched && p.operation == kOpRequest;
    if (inUse || contested) {
        const ArpConflictFn report = g_arp.onConflict;
        g_arp.watched              = 0;
        g_arp.onConflict           = nullptr;
        if (report != nullptr) {
            report(watched);
        }
    }
}

// Answers a request for our address, to the requester's MAC.
void Reply(const std::uint8_t* requesterMac, std::uint32_t requesterIp) {
    Send(requesterMac, kOpReply, g_arp.ownAddress, requesterMac, requesterIp);
}

}  // namespace

std::uint32_t ArpHash(std::uint32_t address) {
    std::uint32_t h = 0;
    for (int i = 0; i < 4; ++i) {
        h += (address >> (8 * i)) & 0xFF;
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h % kArpBuckets;
}

void ArpInit(std::uint32_t ownAddress, const std::uint8_t* ownMac, TnSendFrameFn sendFrame,
             TnLogTextFn logText, ArpLearnedFn learned) {
    if (ownMac == nullptr || sendFrame == nullptr || logText == nullptr) {
        return;
    }
    g_arp            = ArpState{};
    g_arp.ownAddress = ownAddress;
    std::memcpy(g_arp.ownMac, ownMac, 6);
    g_arp.sendFrame = sendFrame;
    g_arp.logText   = logText;
    g_arp.learned   = learned;
    for (int i = kArpEntries - 1; i >= 0; --i) {
        g_arp.entries[i].ageNext = g_arp.free;
        g_arp.free               = &g_arp.entries[i];
    }
    g_arp.initialised = true;
}

void ArpDeinit() {
    g_arp.initialised = false;
}

void ArpSetAddress(const std::uint32_t* address) {
    if (address != nullptr) {
        g_arp.ownAddress = *address;
    }
}

void ArpProbe(std::uint32_t address, ArpConflictFn onConflict) {
    g_arp.watched    = address;
    g_arp.onConflict = onConflict;
    if (g_arp.initialised && address != 0) {
        SendRequestFrom(0, address);
    }
}

int ArpResolve(std::uint32_t address, std::uint8_t* macOut) {
    if (!g_arp.initialised || address == 0 || macOut == nullptr) {
        return 0;
    }
    if (const Entry* e = Lookup(address)) {
        std::memcpy(macOut, e->mac, 6);
        return 1;
    }
    SendRequest(address);
    return 0;
}

bool ArpKnows(std::uint32_t address) {
    return g_arp.initialised && Lookup(address) != nullptr;
}

void ArpInput(const std::uint8_t* packet, std::uint32_t length) {
    if (!g_arp.initialised) {
        return;
    }
    const std::optional<ArpHeader> p = ArpHeader::Check(ByteView(packet, length));
    if (!p) {
        return;
    }
    ++g_counters.arpIn;
    CheckConflict(*p);

    // RFC 826 merge: refresh a known sender whatever the target; learn a new one only when the
    // packet is meant for us, or answers a request of ours.
    Entry* known = Lookup(p->senderIp);
    if (known != nullptr) {
        std::memcpy(known->mac, p->senderMac, 6);
    }
    const bool forUs = p->targetIp == g_arp.ownAddress;
    const bool answered =
        p->operation == kOpReply && p->senderIp != 0 && IsOutstanding(p->senderIp);
    if (!forUs && !answered) {
        ++g_counters.dropNotForUs;
        return;
    }
    if (known == nullptr) {
        Insert(p->senderIp, p->senderMac);
    }
    ForgetOutstanding(p->senderIp);
    if (forUs && p->operation == kOpRequest) {
        Reply(p->senderMac, p->senderIp);
    }
    // A datagram may be waiting for exactly this neighbour.
    if (g_arp.learned != nullptr) {
        g_arp.learned(p->senderIp);
    }
}

}  // namespace tarnet
