// Polled driver of the LAN9118 Ethernet controller (as on the MPS2 boards): reset, MAC address,
// PHY link, and one frame at a time through the transmit and receive FIFOs. No interrupts.
//
// The driver reaches the controller only through a register bus (read and write of a 32-bit
// register at a byte offset), so the same code runs on the board's memory-mapped registers and
// on a scripted register model in the host's unit tests. Every wait on the hardware is a bounded
// number of polls: a controller that never answers gives an error, never a hang.
#pragma once

#include <cstdint>

namespace tarnet::firmware {

struct Lan9118Bus {
    std::uint32_t (*read)(std::uintptr_t context, std::uint32_t offset);
    void (*write)(std::uintptr_t context, std::uint32_t offset, std::uint32_t value);
    std::uintptr_t context;
};

// Register offsets of the controller's directly addressed space.
namespace lan9118_reg {
inline constexpr std::uint32_t kRxDataFifo   = 0x00;
inline constexpr std::uint32_t kTxDataFifo   = 0x20;
inline constexpr std::uint32_t kRxStatusFifo = 0x40;
inline constexpr std::uint32_t kTxStatusFifo = 0x48;
inline constexpr std::uint32_t kIdRev        = 0x50;
inline constexpr std::uint32_t kIrqCfg       = 0x54;
inline constexpr std::uint32_t kIntSts       = 0x58;
inline constexpr std::uint32_t kIntEn        = 0x5C;
inline constexpr std::uint32_t kByteTest     = 0x64;
inline constexpr std::uint32_t kRxCfg        = 0x6C;
inline constexpr std::uint32_t kTxCfg        = 0x70;
inline constexpr std::uint32_t kHwCfg        = 0x74;
inline constexpr std::uint32_t kRxFifoInf    = 0x7C;
inline constexpr std::uint32_t kTxFifoInf    = 0x80;
inline constexpr std::uint32_t kPmtCtrl      = 0x84;
inline constexpr std::uint32_t kFreeRun      = 0x9C;
inline constexpr std::uint32_t kMacCsrCmd    = 0xA4;
inline constexpr std::uint32_t kMacCsrData   = 0xA8;
}  // namespace lan9118_reg

// Registers of the MAC, reached indirectly through kMacCsrCmd and kMacCsrData.
namespace lan9118_mac {
inline constexpr std::uint32_t kMacCr   = 1;
inline constexpr std::uint32_t kAddrH   = 2;
inline constexpr std::uint32_t kAddrL   = 3;
inline constexpr std::uint32_t kMiiAcc  = 6;
inline constexpr std::uint32_t kMiiData = 7;
}  // namespace lan9118_mac

// Bits the driver uses.
namespace lan9118_bit {
inline constexpr std::uint32_t kByteTestValue  = 0x87654321;
inline constexpr std::uint32_t kHwCfgSoftReset = 1u << 0;
inline constexpr std::uint32_t kHwCfgMustBeOne = 1u << 20;
inline constexpr std::uint32_t kPmtReady       = 1u << 0;
inline constexpr std::uint32_t kCsrBusy        = 1u << 31;
inline constexpr std::uint32_t kCsrRead        = 1u << 30;
inline constexpr std::uint32_t kMacTxEnable    = 1u << 3;
inline constexpr std::uint32_t kMacRxEnable    = 1u << 2;
inline constexpr std::uint32_t kMacFullDuplex  = 1u << 20;
inline constexpr std::uint32_t kMiiBusy        = 1u << 0;
inline constexpr std::uint32_t kMiiWrite       = 1u << 1;
inline constexpr std::uint32_t kTxOn           = 1u << 1;
inline constexpr std::uint32_t kTxFirstSegment = 1u << 13;
inline constexpr std::uint32_t kTxLastSegment  = 1u << 12;
inline constexpr std::uint32_t kRxStatusError  = 1u << 15;
inline constexpr std::uint32_t kTxStatusError  = 1u << 15;
}  // namespace lan9118_bit

// The internal PHY at MII address 1 and its registers.
namespace lan9118_phy {
inline constexpr std::uint32_t kAddress        = 1;
inline constexpr std::uint32_t kBasicControl   = 0;
inline constexpr std::uint32_t kBasicStatus    = 1;
inline constexpr std::uint32_t kAutoNegEnable  = 1u << 12;
inline constexpr std::uint32_t kAutoNegRestart = 1u << 9;
inline constexpr std::uint32_t kLinkUp         = 1u << 2;
}  // namespace lan9118_phy

enum class Lan9118Result {
    kOk,
    kNoDevice,      // the byte-order test register did not read back its fixed pattern
    kResetTimeout,  // the soft reset or the power-management ready bit never settled
    kBusTimeout,    // a MAC or MII register access stayed busy
    kBadLength,     // a frame outside 14..1514 bytes
    kNoRoom,        // the transmit FIFO stayed too full for the frame
};

class Lan9118 {
  public:
    // Largest frame handed in or out: Ethernet header and payload, no FCS.
    static constexpr std::uint32_t kMaxFrame = 1514;
    static constexpr std::uint32_t kMinFrame = 14;
    // Polls of a busy or not-ready bit before an operation gives up.
    static constexpr std::uint32_t kPollLimit = 100000;

    explicit Lan9118(Lan9118Bus bus) : bus_(bus) {}

    // Checks the controller is there, resets it, reads the MAC address it loaded, restarts
    // auto-negotiation and enables the transmitter and the receiver.
    Lan9118Result Init();
    // The MAC address read at Init, or the one set since.
    const std::uint8_t* Mac() const { return mac_; }
    // Programs the station address the receive filter accepts.
    Lan9118Result SetMac(const std::uint8_t mac[6]);
    // The PHY reports a link.
    bool LinkUp();
    // Chip identification (upper half the part number).
    std::uint32_t Id() const { return id_; }
    // The controller's free-running 25 MHz counter, a source of timing jitter.
    std::uint32_t FreeRunningCount() const { return Read(lan9118_reg::kFreeRun); }

    // Queues one frame for transmission; it is copied into the FIFO before the call returns.
    Lan9118Result Send(const std::uint8_t* frame, std::uint32_t length);
    // Takes the next received frame into buffer and returns its length without the FCS, or 0
    // when none waits. A frame with an error or longer than capacity is read out of the FIFO,
    // counted and dropped, and also gives 0: the caller polls again on its next pass.
    std::uint32_t Receive(std::uint8_t* buffer, std::uint32_t capacity);

    std::uint32_t RxDropped() const { return rxDropped_; }
    std::uint32_t TxErrors() const { return txErrors_; }

  private:
    std::uint32_t Read(std::uint32_t offset) const { return bus_.read(bus_.context, offset); }
    void Write(std::uint32_t offset, std::uint32_t value) {
        bus_.write(bus_.context, offset, value);
    }
    bool WaitClear(std::uint32_t offset, std::uint32_t mask);
    bool WaitSet(std::uint32_t offset, std::uint32_t mask);
    Lan9118Result MacRead(std::uint32_t reg, std::uint32_t* value);
    Lan9118Result MacWrite(std::uint32_t reg, std::uint32_t value);
    Lan9118Result PhyRead(std::uint32_t reg, std::uint32_t* value);
    Lan9118Result PhyWrite(std::uint32_t reg, std::uint32_t value);
    void DrainTxStatus();

    Lan9118Bus bus_;
    std::uint8_t mac_[6]     = {};
    std::uint32_t id_        = 0;
    std::uint32_t rxDropped_ = 0;
    std::uint32_t txErrors_  = 0;
    std::uint16_t txTag_     = 0;
};

}  // namespace tarnet::firmware
