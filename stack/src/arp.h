// ARP for IPv4 over Ethernet (RFC 826): a 50-entry cache in 256 hash buckets with first-in
// first-out replacement, answers for our own address, requests on behalf of IPv4 output.
#pragma once

#include <cstdint>

#include "tarnet/tnsock.h"

namespace tarnet {

inline constexpr int kArpEntries             = TARNET_ARP_ENTRIES;
inline constexpr int kArpBuckets             = TARNET_ARP_BUCKETS;
inline constexpr std::uint32_t kArpPacketLen = 42;

// Called when the cache has learned (or refreshed from an answer) the hardware address of
// `address`, so that the layer above can send what waits for that neighbour.
using ArpLearnedFn = void (*)(std::uint32_t address);

// Clears the cache and copies the MAC. Does nothing unless ownMac, sendFrame and logText are
// given; `learned` may be null.
void ArpInit(std::uint32_t ownAddress, const std::uint8_t* ownMac, TnSendFrameFn sendFrame,
             TnLogTextFn logText, ArpLearnedFn learned);
void ArpDeinit();
void ArpSetAddress(const std::uint32_t* address);
// 1 and the MAC when cached; 0 otherwise, after sending one request for a nonzero address.
int ArpResolve(std::uint32_t address, std::uint8_t* macOut);
// `packet` is the ARP packet behind the Ethernet header, `length` bytes of it.
void ArpInput(const std::uint8_t* packet, std::uint32_t length);
// The cache holds a hardware address for `address` (a read-only look, no request sent).
bool ArpKnows(std::uint32_t address);

// Address conflict detection for an address about to be taken (RFC 5227 in spirit): sends one
// probe for `address` (sender address 0, so no cache learns anything from it) and watches for
// another station that uses the address, as the sender of any ARP packet, or probes for it too.
// The first such packet is reported once through `onConflict` and ends the watch. A new probe
// replaces the watch; address 0 ends it without a probe.
using ArpConflictFn = void (*)(std::uint32_t address);
void ArpProbe(std::uint32_t address, ArpConflictFn onConflict);

// Jenkins one-at-a-time hash of the host-order address, least significant byte first, mod 256.
std::uint32_t ArpHash(std::uint32_t address);

}  // namespace tarnet
