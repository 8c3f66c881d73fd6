// The firmware's LAN9118 driver against a scripted model of the controller's registers: what it
// writes (the order and values the controller's register description asks for) and what it
// makes of what it reads back, so a change to the driver fails here before anyone boots QEMU.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "lan9118.h"

namespace tarnet::firmware {
namespace {

namespace reg = lan9118_reg;
namespace bit = lan9118_bit;

// Directly addressed registers hold what was last written (or preset); FIFO ports hand out
// scripted words; the MAC's indirect registers answer through MAC_CSR_CMD and MAC_CSR_DATA, and
// the PHY's through the MAC's MII registers.
class RegisterModel {
  public:
    RegisterModel() {
        regs_[reg::kByteTest]           = bit::kByteTestValue;
        regs_[reg::kIdRev]              = 0x01180001;
        regs_[reg::kPmtCtrl]            = bit::kPmtReady;
        regs_[reg::kTxFifoInf]          = 4608;        // transmit data FIFO free, no status words
        mac_[lan9118_mac::kAddrL]       = 0x00544E02;  // 02:4e:54:00:85:03
        mac_[lan9118_mac::kAddrH]       = 0x0385;
        phy_[lan9118_phy::kBasicStatus] = 0x7809 | lan9118_phy::kLinkUp;
    }

    Lan9118Bus Bus() { return Lan9118Bus{Read, Write, reinterpret_cast<std::uintptr_t>(this)}; }

    // One received frame as the controller stores it: a status word and the data words
    // (frame, FCS, padding to a word).
    void Receive(const std::vector<std::uint8_t>& frame, bool error = false) {
        const auto wire = static_cast<std::uint32_t>(frame.size() + 4);
        rxStatus_.push_back((wire << 16) | (error ? bit::kRxStatusError : 0));
        std::vector<std::uint8_t> bytes = frame;
        bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF});
        for (std::size_t at = 0; at < bytes.size(); at += 4) {
            std::uint32_t word = 0;
            for (std::size_t i = 0; i < 4 && at + i < bytes.size(); ++i) {
                word |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
            }
            rxData_.push_back(word);
        }
    }

    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;  // (offset, value)
    std::map<std::uint32_t, std::uint32_t> regs_;
    std::map<std::uint32_t, std::uint32_t> mac_;
    std::map<std::uint32_t, std::uint32_t> phy_;
    std::deque<std::uint32_t> rxStatus_;
    std::deque<std::uint32_t> rxData_;
    std::vector<std::uint32_t> txData;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> phyWrites;  // (register, value)
    int resetReads    = 2;      // reads of HW_CFG before the soft reset bit clears
    bool csrStuckBusy = false;  // MAC_CSR_CMD never drops busy

  private:
    static std::uint32_t Read(std::uintptr_t context, std::uint32_t offset) {
        return reinterpret_cast<RegisterModel*>(context)->OnRead(offset);
    }
    static void Write(std::uintptr_t context, std::uint32_t offset, std::uint32_t value) {
        reinterpret_cast<RegisterModel*>(context)->OnWrite(offset, value);
    }

    std::uint32_t Pop(std::deque<std::uint32_t>& fifo) {
        if (fifo.empty()) {
            ADD_FAILURE() << "read from an empty FIFO";
            return 0;
        }
        const std::uint32_t v = fifo.front();
        fifo.pop_front();
        return v;
    }

    std::uint32_t OnRead(std::uint32_t offset) {
        switch (offset) {
            case reg::kRxStatusFifo:
                return Pop(rxStatus_);
            case reg::kRxDataFifo:
                return Pop(rxData_);
            case reg::kRxFifoInf:
                return static_cast<std::uint32_t>(rxStatus_.size() << 16 | rxData_.size() * 4);
            case reg::kHwCfg:
                if (resetReads > 0 && --resetReads == 0) {
                    regs_[reg::kHwCfg] &= ~bit::kHwCfgSoftReset;
                }
                return regs_[reg::kHwCfg];
            case reg::kMacCsrCmd:
                return csrStuckBusy ? bit::kCsrBusy : regs_[reg::kMacCsrCmd];
            default:
                return regs_[offset];
        }
    }

    void OnWrite(std::uint32_t offset, std::uint32_t value) {
        writes.emplace_back(offset, value);
        if (offset == reg::kTxDataFifo) {
            txData.push_back(value);
            return;
        }
        regs_[offset] = value;
        if (offset == reg::kMacCsrCmd && (value & bit::kCsrBusy) != 0 && !csrStuckBusy) {
            MacAccess(value);
        }
    }

    void MacAccess(std::uint32_t command) {
        const std::uint32_t index = command & 0xFFu;
        if ((command & bit::kCsrRead) != 0) {
            regs_[reg::kMacCsrData] = mac_[index];
        } else {
            mac_[index] = regs_[reg::kMacCsrData];
            if (index == lan9118_mac::kMiiAcc) {
                PhyAccess(regs_[reg::kMacCsrData]);
            }
        }
        regs_[reg::kMacCsrCmd] = command & ~bit::kCsrBusy;
    }

    void PhyAccess(std::uint32_t access) {
        EXPECT_EQ(access >> 11 & 0x1Fu, lan9118_phy::kAddress);
        const std::uint32_t index = access >> 6 & 0x1Fu;
        if ((access & bit::kMiiWrite) != 0) {
            phyWrites.emplace_back(index, mac_[lan9118_mac::kMiiData]);
        } else {
            mac_[lan9118_mac::kMiiData] = phy_[index];
        }
        mac_[lan9118_mac::kMiiAcc] = access & ~bit::kMiiBusy;
    }
};

TEST(Lan9118, InitResetsReadsTheMacAndEnablesOnlyWhatItNeeds) {
    RegisterModel model;
    model.regs_[reg::kHwCfg] = bit::kHwCfgSoftReset;  // set by the driver's write below
    Lan9118 eth(model.Bus());
    ASSERT_EQ(eth.Init(), Lan9118Result::kOk);

    EXPECT_EQ(eth.Id(), 0x01180001u);
    const std::uint8_t expected[6] = {0x02, 0x4E, 0x54, 0x00, 0x85, 0x03};
    EXPECT_EQ(std::vector<std::uint8_t>(eth.Mac(), eth.Mac() + 6),
              std::vector<std::uint8_t>(expected, expected + 6));
    // The soft reset comes first, before any other register is written.
    ASSERT_FALSE(model.writes.empty());
    EXPECT_EQ(model.writes[0].first, reg::kHwCfg);
    EXPECT_NE(model.writes[0].second & bit::kHwCfgSoftReset, 0u);
    EXPECT_EQ(model.regs_[reg::kIntEn], 0u);
    EXPECT_EQ(model.regs_[reg::kTxCfg], bit::kTxOn);
    // Transmitter and receiver on, full duplex, and the reset's promiscuous filter cleared.
    EXPECT_EQ(model.mac_[lan9118_mac::kMacCr],
              bit::kMacTxEnable | bit::kMacRxEnable | bit::kMacFullDuplex);
    ASSERT_EQ(model.phyWrites.size(), 1u);
    EXPECT_EQ(model.phyWrites[0],
              std::make_pair(lan9118_phy::kBasicControl,
                             lan9118_phy::kAutoNegEnable | lan9118_phy::kAutoNegRestart));
    EXPECT_TRUE(eth.LinkUp());
    model.phy_[lan9118_phy::kBasicStatus] = 0x7809;
    EXPECT_FALSE(eth.LinkUp());
}

TEST(Lan9118, InitReportsAControllerThatDoesNotAnswer) {
    struct Case {
        const char* name;
        void (*spoil)(RegisterModel&);
        Lan9118Result expected;
    };
    const Case cases[] = {
        {"byte test pattern wrong",        [](RegisterModel& m) { m.regs_[reg::kByteTest] = 0x43218765; },
         Lan9118Result::kNoDevice    },
        {"soft reset never clears",        [](RegisterModel& m) { m.resetReads = -1; },
         Lan9118Result::kResetTimeout},
        {"never ready after reset",        [](RegisterModel& m) { m.regs_[reg::kPmtCtrl] = 0; },
         Lan9118Result::kResetTimeout},
        {"MAC register access stays busy", [](RegisterModel& m) { m.csrStuckBusy = true; },
         Lan9118Result::kBusTimeout  },
    };
    for (const Case& c : cases) {
        RegisterModel model;
        c.spoil(model);
        if (model.resetReads < 0) {
            model.regs_[reg::kHwCfg] = bit::kHwCfgSoftReset;
            model.resetReads         = 0;
        }
        Lan9118 eth(model.Bus());
        EXPECT_EQ(eth.Init(), c.expected) << c.name;
    }
}

TEST(Lan9118, SetMacProgramsTheStationAddress) {
    RegisterModel model;
    Lan9118 eth(model.Bus());
    const std::uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    ASSERT_EQ(eth.SetMac(mac), Lan9118Result::kOk);
    EXPECT_EQ(model.mac_[lan9118_mac::kAddrL], 0x33221102u);
    EXPECT_EQ(model.mac_[lan9118_mac::kAddrH], 0x5544u);
    EXPECT_EQ(eth.Mac()[5], 0x55);
}

TEST(Lan9118, SendWritesBothCommandWordsAndTheFrameInLittleEndianWords) {
    RegisterModel model;
    Lan9118 eth(model.Bus());
    std::vector<std::uint8_t> frame(61);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i + 1);
    }
    ASSERT_EQ(eth.Send(frame.data(), 61), Lan9118Result::kOk);
    ASSERT_EQ(model.txData.size(), 2u + 16u);
    EXPECT_EQ(model.txData[0], bit::kTxFirstSegment | bit::kTxLastSegment | 61u);
    EXPECT_EQ(model.txData[1] & 0xFFFFu, 61u);
    EXPECT_EQ(model.txData[2], 0x04030201u);
    EXPECT_EQ(model.txData[17], 0x0000003Du);  // the last byte, padded with zeros

    // Each frame has its own tag, so the status words can be told apart.
    ASSERT_EQ(eth.Send(frame.data(), 14), Lan9118Result::kOk);
    EXPECT_NE(model.txData[18 + 1] >> 16, model.txData[1] >> 16);
}

TEST(Lan9118, SendRefusesBadLengthsAndAFullFifoWithoutWriting) {
    const struct {
        std::uint32_t length;
        std::uint32_t fifoFree;
        Lan9118Result expected;
    } cases[] = {
        {13,   4608, Lan9118Result::kBadLength},
        {1515, 4608, Lan9118Result::kBadLength},
        {1514, 1520, Lan9118Result::kNoRoom   }, // 8 command bytes + 1516 data bytes needed
        {1514, 1524, Lan9118Result::kOk       },
    };
    std::vector<std::uint8_t> frame(1515, 0xAB);
    for (const auto& c : cases) {
        RegisterModel model;
        model.regs_[reg::kTxFifoInf] = c.fifoFree;
        Lan9118 eth(model.Bus());
        EXPECT_EQ(eth.Send(frame.data(), c.length), c.expected) << c.length;
        EXPECT_EQ(model.txData.empty(), c.expected != Lan9118Result::kOk) << c.length;
    }
}

TEST(Lan9118, SendDrainsTransmitStatusAndCountsErrors) {
    RegisterModel model;
    model.regs_[reg::kTxFifoInf]    = (2u << 16) | 4608;
    model.regs_[reg::kTxStatusFifo] = bit::kTxStatusError;
    Lan9118 eth(model.Bus());
    std::vector<std::uint8_t> frame(60, 1);
    ASSERT_EQ(eth.Send(frame.data(), 60), Lan9118Result::kOk);
    EXPECT_EQ(eth.TxErrors(), 2u);
}

TEST(Lan9118, ReceiveStripsTheFcsAndDropsBadFramesWithoutLosingStep) {
    RegisterModel model;
    Lan9118 eth(model.Bus());
    auto frameOf = [](std::size_t size, std::uint8_t seed) {
        std::vector<std::uint8_t> f(size);
        for (std::size_t i = 0; i < size; ++i) {
            f[i] = static_cast<std::uint8_t>(seed + i);
        }
        return f;
    };
    const auto good1    = frameOf(60, 1);
    const auto errored  = frameOf(70, 2);
    const auto tooShort = frameOf(13, 3);
    const auto tooLong  = frameOf(200, 4);  // longer than the buffer given below
    const auto good2    = frameOf(63, 5);
    model.Receive(good1);
    model.Receive(errored, true);
    model.Receive(tooShort);
    model.Receive(tooLong);
    model.Receive(good2);

    std::uint8_t buffer[128];
    ASSERT_EQ(eth.Receive(buffer, sizeof buffer), 60u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 60), good1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(eth.Receive(buffer, sizeof buffer), 0u) << "bad frame " << i;
    }
    EXPECT_EQ(eth.RxDropped(), 3u);
    ASSERT_EQ(eth.Receive(buffer, sizeof buffer), 63u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 63), good2);
    EXPECT_TRUE(model.rxData_.empty());
    EXPECT_EQ(eth.Receive(buffer, sizeof buffer), 0u);  // nothing waits
}

}  // namespace
}  // namespace tarnet::firmware
