// The output queue of the command-and-reply clients: pieces of text waiting for a TCP
// connection, in order. What TCP does not take now stays, from the byte it stopped at, for the
// next flush, so a full send ring delays text but never loses or reorders it. The queue holds
// pointers: each piece must stay where it is until it has gone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarnet/tnsock.h"

namespace tarnet::netclient {

enum class Flush : std::uint8_t {
    kDone,     // every piece has gone to TCP; the queue is empty
    kBlocked,  // TCP takes no more for now; the rest waits
    kLost,     // the connection cannot send any more
};

class OutQueue {
  public:
    static constexpr int kPieces = 4;

    bool Empty() const { return index_ == count_; }
    // Adds a piece; false (nothing added) when the queue is full. An empty piece is no piece.
    bool Add(const void* data, std::size_t length);
    // Hands pieces to TCP until it takes no more. *taken (when given) gets the bytes it took.
    Flush Send(TnSockEndpoint* connection, std::uint32_t* taken = nullptr);
    void Clear() { *this = OutQueue{}; }

  private:
    struct Piece {
        const std::uint8_t* data;
        std::uint32_t length;
    };
    Piece pieces_[kPieces]{};
    int count_            = 0;
    int index_            = 0;
    std::uint32_t offset_ = 0;  // bytes of pieces_[index_] already taken
};

}  // namespace tarnet::netclient
