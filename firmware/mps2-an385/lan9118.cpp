#include "lan9118.h"

namespace tarnet::firmware {

namespace {

namespace reg = lan9118_reg;
namespace mac = lan9118_mac;
namespace bit = lan9118_bit;
namespace phy = lan9118_phy;

// Used words of the status FIFOs (bits 23:16 of RX_FIFO_INF and TX_FIFO_INF) and free bytes of
// the transmit data FIFO (bits 15:0 of TX_FIFO_INF).
constexpr std::uint32_t StatusUsed(std::uint32_t fifoInf) {
    return (fifoInf >> 16) & 0xFFu;
}
constexpr std::uint32_t TxDataFree(std::uint32_t fifoInf) {
    return fifoInf & 0xFFFFu;
}
// A receive status word carries the frame's length, FCS included, in bits 29:16.
constexpr std::uint32_t RxLength(std::uint32_t status) {
    return (status >> 16) & 0x3FFFu;
}
constexpr std::uint32_t kFcsLength = 4;

constexpr std::uint32_t Words(std::uint32_t bytes) {
    return (bytes + 3) / 4;
}

}  // namespace

bool Lan9118::WaitClear(std::uint32_t offset, std::uint32_t mask) {
    for (std::uint32_t i = 0; i < kPollLimit; ++i) {
        if ((Read(offset) & mask) == 0) {
            return true;
        }
    }
    return false;
}

bool Lan9118::WaitSet(std::uint32_t offset, std::uint32_t mask) {
    for (std::uint32_t i = 0; i < kPollLimit; ++i) {
        if ((Read(offset) & mask) != 0) {
            return true;
        }
    }
    return false;
}

Lan9118Result Lan9118::MacRead(std::uint32_t reg, std::uint32_t* value) {
    if (!WaitClear(reg::kMacCsrCmd, bit::kCsrBusy)) {
        return Lan9118Result::kBusTimeout;
    }
    Write(reg::kMacCsrCmd, bit::kCsrBusy | bit::kCsrRead | reg);
    if (!WaitClear(reg::kMacCsrCmd, bit::kCsrBusy)) {
        return Lan9118Result::kBusTimeout;
    }
    *value = Read(reg::kMacCsrData);
    return Lan9118Result::kOk;
}

Lan9118Result Lan9118::MacWrite(std::uint32_t reg, std::uint32_t value) {
    if (!WaitClear(reg::kMacCsrCmd, bit::kCsrBusy)) {
        return Lan9118Result::kBusTimeout;
    }
    Write(reg::kMacCsrData, value);
    Write(reg::kMacCsrCmd, bit::kCsrBusy | reg);
    return WaitClear(reg::kMacCsrCmd, bit::kCsrBusy) ? Lan9118Result::kOk
                                                     : Lan9118Result::kBusTimeout;
}

// The PHY is reached through the MAC's MII access register: address and register index, then
// busy, which the MAC clears when the management frame is done.
Lan9118Result Lan9118::PhyRead(std::uint32_t reg, std::uint32_t* value) {
    const std::uint32_t access = (phy::kAddress << 11) | ((reg & 0x1Fu) << 6) | bit::kMiiBusy;
    if (Lan9118Result r = MacWrite(mac::kMiiAcc, access); r != Lan9118Result::kOk) {
        return r;
    }
    for (std::uint32_t i = 0; i < kPollLimit; ++i) {
        std::uint32_t state = 0;
        if (Lan9118Result r = MacRead(mac::kMiiAcc, &state); r != Lan9118Result::kOk) {
            return r;
        }
        if ((state & bit::kMiiBusy) == 0) {
            return MacRead(mac::kMiiData, value);
        }
    }
    return Lan9118Result::kBusTimeout;
}

Lan9118Result Lan9118::PhyWrite(std::uint32_t reg, std::uint32_t value) {
    if (Lan9118Result r = MacWrite(mac::kMiiData, value); r != Lan9118Result::kOk) {
        return r;
    }
    const std::uint32_t access =
        (phy::kAddress << 11) | ((reg & 0x1Fu) << 6) | bit::kMiiWrite | bit::kMiiBusy;
    if (Lan9118Result r = MacWrite(mac::kMiiAcc, access); r != Lan9118Result::kOk) {
        return r;
    }
    for (std::uint32_t i = 0; i < kPollLimit; ++i) {
        std::uint32_t state = 0;
        if (Lan9118Result r = MacRead(mac::kMiiAcc, &state); r != Lan9118Result::kOk) {
            return r;
        }
        if ((state & bit::kMiiBusy) == 0) {
            return Lan9118Result::kOk;
        }
    }
    return Lan9118Result::kBusTimeout;
}

Lan9118Result Lan9118::Init() {
    // The byte-order test register reads a fixed pattern on every access width the bus offers;
    // anything else means no controller (or a bus with swapped bytes).
    if (Read(reg::kByteTest) != bit::kByteTestValue) {
        return Lan9118Result::kNoDevice;
    }
    id_ = Read(reg::kIdRev);
    Write(reg::kHwCfg, bit::kHwCfgSoftReset | bit::kHwCfgMustBeOne);
    if (!WaitClear(reg::kHwCfg, bit::kHwCfgSoftReset) || !WaitSet(reg::kPmtCtrl, bit::kPmtReady)) {
        return Lan9118Result::kResetTimeout;
    }
    // Polled operation: no interrupt line, every pending status cleared.
    Write(reg::kIntEn, 0);
    Write(reg::kIntSts, 0xFFFFFFFFu);
    Write(reg::kIrqCfg, 0);

    // After reset the MAC holds the address the controller loaded from its EEPROM.
    std::uint32_t low  = 0;
    std::uint32_t high = 0;
    if (Lan9118Result r = MacRead(mac::kAddrL, &low); r != Lan9118Result::kOk) {
        return r;
    }
    if (Lan9118Result r = MacRead(mac::kAddrH, &high); r != Lan9118Result::kOk) {
        return r;
    }
    for (int i = 0; i < 4; ++i) {
        mac_[i] = static_cast<std::uint8_t>(low >> (8 * i));
    }
    mac_[4] = static_cast<std::uint8_t>(high);
    mac_[5] = static_cast<std::uint8_t>(high >> 8);

    if (Lan9118Result r = PhyWrite(phy::kBasicControl, phy::kAutoNegEnable | phy::kAutoNegRestart);
        r != Lan9118Result::kOk) {
        return r;
    }
    Write(reg::kRxCfg, 0);  // frames start at the first word of the data FIFO
    Write(reg::kTxCfg, bit::kTxOn);
    // Station address and broadcast only: the reset value leaves the filter promiscuous.
    return MacWrite(mac::kMacCr, bit::kMacTxEnable | bit::kMacRxEnable | bit::kMacFullDuplex);
}

Lan9118Result Lan9118::SetMac(const std::uint8_t address[6]) {
    const std::uint32_t low = static_cast<std::uint32_t>(address[0]) |
                              (static_cast<std::uint32_t>(address[1]) << 8) |
                              (static_cast<std::uint32_t>(address[2]) << 16) |
                              (static_cast<std::uint32_t>(address[3]) << 24);
    const std::uint32_t high =
        static_cast<std::uint32_t>(address[4]) | (static_cast<std::uint32_t>(address[5]) << 8);
    if (Lan9118Result r = MacWrite(mac::kAddrL, low); r != Lan9118Result::kOk) {
        return r;
    }
    if (Lan9118Result r = MacWrite(mac::kAddrH, high); r != Lan9118Result::kOk) {
        return r;
    }
    for (int i = 0; i < 6; ++i) {
        mac_[i] = address[i];
    }
    return Lan9118Result::kOk;
}

bool Lan9118::LinkUp() {
    std::uint32_t status = 0;
    return PhyRead(phy::kBasicStatus, &status) == Lan9118Result::kOk &&
           (status & phy::kLinkUp) != 0;
}

// Each transmitted frame leaves a status word; reading them keeps the status FIFO from filling
// (a full one stops the transmitter) and counts the frames the MAC could not send.
void Lan9118::DrainTxStatus() {
    for (std::uint32_t used = StatusUsed(Read(reg::kTxFifoInf)); used > 0; --used) {
        if ((Read(reg::kTxStatusFifo) & bit::kTxStatusError) != 0) {
            ++txErrors_;
        }
    }
}

Lan9118Result Lan9118::Send(const std::uint8_t* frame, std::uint32_t length) {
    if (frame == nullptr || length < kMinFrame || length > kMaxFrame) {
        return Lan9118Result::kBadLength;
    }
    DrainTxStatus();
    // Two command words and the data, padded to whole words.
    const std::uint32_t needed = 8 + Words(length) * 4;
    std::uint32_t polls        = 0;
    while (TxDataFree(Read(reg::kTxFifoInf)) < needed) {
        if (++polls >= kPollLimit) {
            return Lan9118Result::kNoRoom;
        }
    }
    // Command A: one buffer that is the first and the last segment, word aligned at both ends.
    Write(reg::kTxDataFifo, bit::kTxFirstSegment | bit::kTxLastSegment | length);
    // Command B: a tag that comes back in the status word, and the frame's length.
    Write(reg::kTxDataFifo, (static_cast<std::uint32_t>(++txTag_) << 16) | length);
    for (std::uint32_t at = 0; at < length; at += 4) {
        std::uint32_t word = 0;
        for (std::uint32_t i = 0; i < 4 && at + i < length; ++i) {
            word |= static_cast<std::uint32_t>(frame[at + i]) << (8 * i);
        }
        Write(reg::kTxDataFifo, word);
    }
    return Lan9118Result::kOk;
}

std::uint32_t Lan9118::Receive(std::uint8_t* buffer, std::uint32_t capacity) {
    if (StatusUsed(Read(reg::kRxFifoInf)) == 0) {
        return 0;
    }
    const std::uint32_t status = Read(reg::kRxStatusFifo);
    const std::uint32_t wire   = RxLength(status);
    // The data FIFO holds the frame and its FCS in whole words; all of them must be read, even
    // for a frame that is dropped, or the next frame would start inside this one.
    const bool keep = (status & bit::kRxStatusError) == 0 && wire >= kMinFrame + kFcsLength &&
                      wire - kFcsLength <= capacity && buffer != nullptr;
    const std::uint32_t length = keep ? wire - kFcsLength : 0;
    for (std::uint32_t at = 0; at < Words(wire) * 4; at += 4) {
        const std::uint32_t word = Read(reg::kRxDataFifo);
        for (std::uint32_t i = 0; i < 4 && at + i < length; ++i) {
            buffer[at + i] = static_cast<std::uint8_t>(word >> (8 * i));
        }
    }
    if (!keep) {
        ++rxDropped_;
    }
    return length;
}

}  // namespace tarnet::firmware
