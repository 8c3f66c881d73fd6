// The output queue (see out_queue.h).
#include "out_queue.h"

namespace tarnet::netclient {

bool OutQueue::Add(const void* data, std::size_t length) {
    if (length == 0) {
        return true;
    }
    if (count_ == kPieces || length > UINT32_MAX) {
        return false;
    }
    pieces_[count_++] = {static_cast<const std::uint8_t*>(data),
                         static_cast<std::uint32_t>(length)};
    return true;
}

Flush OutQueue::Send(TnSockEndpoint* connection, std::uint32_t* taken) {
    std::uint32_t total = 0;
    Flush result        = Flush::kDone;
    while (index_ < count_) {
        const Piece& piece = pieces_[index_];
        std::uint32_t sent = 0;
        const int rc =
            TnSockTcpSend(connection, piece.data + offset_, piece.length - offset_, &sent);
        if (rc == TNSOCK_TRANSMITTER_BUSY) {
            result = Flush::kBlocked;
            break;
        }
        if (rc != TNSOCK_SUCCESS) {
            result = Flush::kLost;
            break;
        }
        total += sent;
        offset_ += sent;
        if (offset_ < piece.length) {
            result = Flush::kBlocked;
            break;
        }
        ++index_;
        offset_ = 0;
    }
    if (result == Flush::kDone) {
        Clear();
    }
    if (taken != nullptr) {
        *taken = total;
    }
    return result;
}

}  // namespace tarnet::netclient
